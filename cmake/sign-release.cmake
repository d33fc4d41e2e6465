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
    if("$ENV{VIZAD_SIGN_URL}" STREQUAL "")
        set(ENV{VIZAD_SIGN_URL} "${CPACK_VIZAD_URL}")
    endif()
    execute_process(COMMAND sh ${CPACK_VIZAD_SIGN} ${unsigned_sums} vizad.exe example/bin/sample_server.exe
        WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY} RESULT_VARIABLE failed)
    if(failed)
        vizad_refuse_release("Not signed, no release made (cmake/sign.sh said why)")
    endif()
endif()
