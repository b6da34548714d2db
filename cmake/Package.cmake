# The release package: ReginDetector-<version>-win64.zip beside the program,
# holding ReginDetector.exe, README.txt (CRLF line ends), SHA256SUMS and
# TOOLCHAIN.txt (the Debian package versions of the tools that built it, see
# ToolchainRecord.cmake).
#
#     cmake --build --preset mingw --target package_zip
#
# Signing: when the build's environment names a certificate, the exe in the zip
# is signed with Authenticode (osslsigncode, SHA-256, with the program's name and
# web address), and SHA256SUMS lists the signed exe:
#   REGIN_SIGN_PKCS12         the PKCS#12 file (certificate and private key);
#   REGIN_SIGN_PASSWORD_FILE  a file holding its password (read by osslsigncode
#                             itself: it is never on a command line or printed);
#   REGIN_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamping service.
# Without them the zip holds the unsigned exe, and the build says so. The signed
# exe is always the built exe plus a signature: the step checks that removing
# the signature gives back the built exe byte for byte. The environment is read
# when the target runs (it always runs), not when the build is configured.
#
# The version is the project's (project(... VERSION)), the same that the version
# resource gets through Version.h. The zip is reproducible: the same program
# gives the same zip, byte for byte. Every entry has the same fixed time (taken
# in UTC, as zip stores local time), fixed permissions and no owner or other
# extra fields (zip -X), in a fixed order, and there are no directory entries.
#
# Included from the top-level CMakeLists.txt, this file defines the target; the
# target runs it again with cmake -P to make the zip.

# The time of every file in the zip: 2026-01-01 00:00:00 UTC.
set(PACKAGE_FILE_TIME 1767225600)
set(PACKAGE_FILES ReginDetector.exe README.txt SHA256SUMS TOOLCHAIN.txt)

# The program's name and web address in the signature (Windows shows them in
# the User Account Control prompt and the file's Digital Signatures).
set(PACKAGE_SIGN_NAME "Velmora Regin Detector")
set(PACKAGE_SIGN_URL "https://www.velmora.example/")

# regin_sign(<exe> <signed exe>): signs a copy with the environment's certificate.
# Sets `signed` in the caller to a short description. The password goes from its
# file to osslsigncode by name (-readpass); nothing here reads or prints it.
function(regin_sign exe out)
    foreach(variable REGIN_SIGN_PKCS12 REGIN_SIGN_PASSWORD_FILE)
        if("$ENV{${variable}}" STREQUAL "")
            message(FATAL_ERROR "Package.cmake: signing needs both REGIN_SIGN_PKCS12 and "
                "REGIN_SIGN_PASSWORD_FILE; ${variable} is not set")
        endif()
        if(NOT EXISTS "$ENV{${variable}}" OR IS_DIRECTORY "$ENV{${variable}}")
            message(FATAL_ERROR "Package.cmake: ${variable}: no such file: $ENV{${variable}}")
        endif()
    endforeach()
    find_program(osslsigncode osslsigncode)
    if(NOT osslsigncode)
        message(FATAL_ERROR "Package.cmake: signing needs osslsigncode "
            "(scripts/setup-debian.sh installs it)")
    endif()
    set(timestamp "")
    set(how "signed")
    if(NOT "$ENV{REGIN_SIGN_TIMESTAMP_URL}" STREQUAL "")
        set(timestamp -ts "$ENV{REGIN_SIGN_TIMESTAMP_URL}")
        set(how "signed and time-stamped")
    endif()
    get_filename_component(work "${out}" DIRECTORY)
    set(unsigned_again "${work}/signature-removed.exe")
    file(REMOVE "${out}" "${unsigned_again}")
    execute_process(
        COMMAND "${osslsigncode}" sign
            -pkcs12 "$ENV{REGIN_SIGN_PKCS12}" -readpass "$ENV{REGIN_SIGN_PASSWORD_FILE}"
            -h sha256 -n "${PACKAGE_SIGN_NAME}" -i "${PACKAGE_SIGN_URL}" ${timestamp}
            -in "${exe}" -out "${out}"
        RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(failed OR NOT EXISTS "${out}")
        file(REMOVE "${out}")
        message(FATAL_ERROR "Package.cmake: osslsigncode could not sign ${exe} (${failed}):\n${log}")
    endif()
    # What is published must be the reproducible build plus a signature, nothing else.
    execute_process(
        COMMAND "${osslsigncode}" remove-signature -in "${out}" -out "${unsigned_again}"
        RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(NOT failed)
        file(SHA256 "${exe}" built)
        file(SHA256 "${unsigned_again}" recovered)
    endif()
    file(REMOVE "${unsigned_again}")
    if(failed OR NOT built STREQUAL recovered)
        file(REMOVE "${out}")
        message(FATAL_ERROR "Package.cmake: the signed exe without its signature is not "
            "${exe} byte for byte (${failed}):\n${log}")
    endif()
    set(signed "${how} with $ENV{REGIN_SIGN_PKCS12}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    foreach(input EXE README ZIP_TOOL STAGE OUTPUT)
        if(NOT DEFINED ${input})
            message(FATAL_ERROR "Package.cmake: -D${input}=... is missing")
        endif()
    endforeach()

    # zip adds to an existing archive: always start from none. A failed step
    # leaves no zip behind, not even an older one.
    file(REMOVE "${OUTPUT}")
    file(REMOVE_RECURSE "${STAGE}")
    file(MAKE_DIRECTORY "${STAGE}")
    if("$ENV{REGIN_SIGN_PKCS12}" STREQUAL "" AND "$ENV{REGIN_SIGN_PASSWORD_FILE}" STREQUAL "")
        file(COPY_FILE "${EXE}" "${STAGE}/ReginDetector.exe")
        set(signed "unsigned: set REGIN_SIGN_PKCS12 and REGIN_SIGN_PASSWORD_FILE to sign")
    else()
        regin_sign("${EXE}" "${STAGE}/ReginDetector.exe")
    endif()
    file(COPY_FILE "${README}" "${STAGE}/README.txt")
    file(SHA256 "${STAGE}/ReginDetector.exe" digest)
    # sha256sum's own format: digest, two spaces, name.
    file(WRITE "${STAGE}/SHA256SUMS" "${digest}  ReginDetector.exe\n")
    include(${CMAKE_CURRENT_LIST_DIR}/ToolchainRecord.cmake)
    regin_toolchain_record("${STAGE}/TOOLCHAIN.txt")

    file(CHMOD "${STAGE}/ReginDetector.exe" PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(CHMOD "${STAGE}/README.txt" "${STAGE}/SHA256SUMS" "${STAGE}/TOOLCHAIN.txt" PERMISSIONS
        OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    execute_process(COMMAND touch -d @${PACKAGE_FILE_TIME} ${PACKAGE_FILES}
        WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Package.cmake: could not set the file times (${failed})")
    endif()

    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
            "${ZIP_TOOL}" -X -D -q -9 "${OUTPUT}" ${PACKAGE_FILES}
        WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE failed)
    if(failed)
        file(REMOVE "${OUTPUT}")
        message(FATAL_ERROR "Package.cmake: zip failed (${failed})")
    endif()
    file(REMOVE_RECURSE "${STAGE}")
    message(STATUS "${OUTPUT}: ${digest}  ReginDetector.exe (${signed})")
    return()
endif()

set(PACKAGE_NAME ReginDetector-${PROJECT_VERSION}-win64)
set(PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${PACKAGE_NAME}.zip)
set(PACKAGE_WORK ${CMAKE_BINARY_DIR}/package)
configure_file(${PROJECT_SOURCE_DIR}/res/README.txt.in ${PACKAGE_WORK}/README.txt
    @ONLY NEWLINE_STYLE CRLF)

find_program(PACKAGE_ZIP_TOOL zip)
if(PACKAGE_ZIP_TOOL)
    # Runs every time: whether to sign comes from the environment of the build.
    add_custom_target(package_zip
        COMMAND ${CMAKE_COMMAND}
            -DEXE=$<TARGET_FILE:ReginDetector>
            -DREADME=${PACKAGE_WORK}/README.txt
            -DZIP_TOOL=${PACKAGE_ZIP_TOOL}
            -DSTAGE=${PACKAGE_WORK}/stage
            -DOUTPUT=${PACKAGE_ZIP}
            -P ${CMAKE_CURRENT_LIST_FILE}
        BYPRODUCTS ${PACKAGE_ZIP}
        COMMENT "Packaging ${PACKAGE_NAME}.zip"
        VERBATIM)
    add_dependencies(package_zip ReginDetector)
else()
    add_custom_target(package_zip
        COMMAND ${CMAKE_COMMAND} -E echo "package_zip needs zip (scripts/setup-debian.sh installs it)"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
endif()
