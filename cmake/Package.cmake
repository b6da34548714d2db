# The release package: ReginDetector-<version>-win64.zip beside the program,
# holding ReginDetector.exe, README.txt (CRLF line ends) and SHA256SUMS.
#
#     cmake --build --preset mingw --target package_zip
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
set(PACKAGE_FILES ReginDetector.exe README.txt SHA256SUMS)

if(CMAKE_SCRIPT_MODE_FILE)
    foreach(input EXE README ZIP_TOOL STAGE OUTPUT)
        if(NOT DEFINED ${input})
            message(FATAL_ERROR "Package.cmake: -D${input}=... is missing")
        endif()
    endforeach()

    file(REMOVE_RECURSE "${STAGE}")
    file(MAKE_DIRECTORY "${STAGE}")
    file(COPY_FILE "${EXE}" "${STAGE}/ReginDetector.exe")
    file(COPY_FILE "${README}" "${STAGE}/README.txt")
    file(SHA256 "${STAGE}/ReginDetector.exe" digest)
    # sha256sum's own format: digest, two spaces, name.
    file(WRITE "${STAGE}/SHA256SUMS" "${digest}  ReginDetector.exe\n")

    file(CHMOD "${STAGE}/ReginDetector.exe" PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(CHMOD "${STAGE}/README.txt" "${STAGE}/SHA256SUMS" PERMISSIONS
        OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    execute_process(COMMAND touch -d @${PACKAGE_FILE_TIME} ${PACKAGE_FILES}
        WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Package.cmake: could not set the file times (${failed})")
    endif()

    # zip adds to an existing archive: always start from none.
    file(REMOVE "${OUTPUT}")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
            "${ZIP_TOOL}" -X -D -q -9 "${OUTPUT}" ${PACKAGE_FILES}
        WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE failed)
    if(failed)
        file(REMOVE "${OUTPUT}")
        message(FATAL_ERROR "Package.cmake: zip failed (${failed})")
    endif()
    file(REMOVE_RECURSE "${STAGE}")
    message(STATUS "${OUTPUT}: ${digest}  ReginDetector.exe")
    return()
endif()

set(PACKAGE_NAME ReginDetector-${PROJECT_VERSION}-win64)
set(PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${PACKAGE_NAME}.zip)
set(PACKAGE_WORK ${CMAKE_BINARY_DIR}/package)
configure_file(${PROJECT_SOURCE_DIR}/res/README.txt.in ${PACKAGE_WORK}/README.txt
    @ONLY NEWLINE_STYLE CRLF)

find_program(PACKAGE_ZIP_TOOL zip)
if(PACKAGE_ZIP_TOOL)
    add_custom_command(OUTPUT ${PACKAGE_ZIP}
        COMMAND ${CMAKE_COMMAND}
            -DEXE=$<TARGET_FILE:ReginDetector>
            -DREADME=${PACKAGE_WORK}/README.txt
            -DZIP_TOOL=${PACKAGE_ZIP_TOOL}
            -DSTAGE=${PACKAGE_WORK}/stage
            -DOUTPUT=${PACKAGE_ZIP}
            -P ${CMAKE_CURRENT_LIST_FILE}
        DEPENDS ReginDetector ${PACKAGE_WORK}/README.txt ${CMAKE_CURRENT_LIST_FILE}
        COMMENT "Packaging ${PACKAGE_NAME}.zip"
        VERBATIM)
    add_custom_target(package_zip DEPENDS ${PACKAGE_ZIP})
else()
    add_custom_target(package_zip
        COMMAND ${CMAKE_COMMAND} -E echo "package_zip needs zip (scripts/setup-debian.sh installs it)"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
endif()
