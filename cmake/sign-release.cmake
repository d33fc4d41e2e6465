# Run by cpack on the staged files, before the zip is made. Given a
# certificate in the package command's environment (cmake/sign.sh says
# which variables), signs the programs there, so that the zip carries them
# signed, and writes their unsigned SHA-256 to SHA256SUMS.unsigned beside
# the zip. Without one the release is made as ever, unsigned.
include(${CMAKE_CURRENT_LIST_DIR}/release-set.cmake)
set(unsigned_sums ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS.unsigned)
file(REMOVE ${unsigned_sums})
if("$ENV{VIZAD_SIGN_PKCS12}" STREQUAL "" AND "$ENV{VIZAD_SIGN_PKCS11_URI}" STREQUAL "")
    message(STATUS "Unsigned release: no certificate given (VIZAD_SIGN_PKCS12 or VIZAD_SIGN_PKCS11_URI)")
else()
    # A signed release is a released version: its changelog has that
    # version's dated section and no "Unreleased" one, so that no two
    # releases share a version, nor with it a product code.
    # CPACK_VIZAD_CHANGELOG (cpack -D) names another changelog to check.
    if(NOT CPACK_VIZAD_CHANGELOG)
        set(CPACK_VIZAD_CHANGELOG ${CPACK_TEMPORARY_DIRECTORY}/CHANGELOG.md)
    endif()
    file(STRINGS ${CPACK_VIZAD_CHANGELOG} sections REGEX "^## ")
    string(REPLACE "." "\\." version_pattern "${CPACK_VIZAD_VERSION}")
    if(sections MATCHES "(^|;)## Unreleased")
        vizad_refuse_release("${CPACK_VIZAD_CHANGELOG} has an \"Unreleased\" section: no release made")
    elseif(NOT sections MATCHES "(^|;)## ${version_pattern} \\([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\\)")
        vizad_refuse_release("${CPACK_VIZAD_CHANGELOG} has no dated section \"## ${CPACK_VIZAD_VERSION} (YYYY-MM-DD)\": no release made")
    endif()
    if("$ENV{VIZAD_SIGN_URL}" STREQUAL "")
        set(ENV{VIZAD_SIGN_URL} "${CPACK_VIZAD_URL}")
    endif()
    execute_process(COMMAND sh ${CPACK_VIZAD_SIGN} ${unsigned_sums} vizad.exe example/bin/sample_server.exe
        WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY} RESULT_VARIABLE failed)
    if(failed)
        vizad_refuse_release("Not signed, no release made (cmake/sign.sh said why)")
    endif()
endif()
