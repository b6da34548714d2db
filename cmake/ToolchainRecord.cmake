# The toolchain record: the Debian package versions of the tools that build the
# release program, one "<package> <version>" line each, in a fixed order. The
# release zip holds it as TOOLCHAIN.txt; tests/release/check-source.sh writes
# its own to set beside it when its build differs from a release.
#
#     cmake -DOUTPUT=<file> -P cmake/ToolchainRecord.cmake
#
# A package that dpkg-query does not know as installed (no Debian, or another
# compiler) is recorded as "<package> none". The record depends on nothing but
# the installed packages, so the same machine gives the same zip.

set(TOOLCHAIN_PACKAGES
    g++-mingw-w64-x86-64-posix # the compiler
    binutils-mingw-w64-x86-64 # assembler, linker, windres
    mingw-w64-x86-64-dev # the MinGW-w64 headers and libraries
    cmake)

# regin_toolchain_record(<file>): writes the record.
function(regin_toolchain_record file)
    find_program(dpkg_query dpkg-query)
    set(record "")
    foreach(package IN LISTS TOOLCHAIN_PACKAGES)
        set(version "")
        if(dpkg_query)
            execute_process(
                COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C
                    "${dpkg_query}" -W "-f=\${db:Status-Status} \${Version}" ${package}
                RESULT_VARIABLE failed OUTPUT_VARIABLE found ERROR_QUIET)
            if(NOT failed AND found MATCHES "^installed ([^ ]+)$")
                set(version "${CMAKE_MATCH_1}")
            endif()
        endif()
        if(version STREQUAL "")
            set(version none)
        endif()
        string(APPEND record "${package} ${version}\n")
    endforeach()
    file(WRITE "${file}" "${record}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(NOT DEFINED OUTPUT)
        message(FATAL_ERROR "ToolchainRecord.cmake: -DOUTPUT=... is missing")
    endif()
    regin_toolchain_record("${OUTPUT}")
endif()
