# Included by the scripts that cpack runs around the zip: the files that a
# release ships from the package folder, and the end of a refused release.
# A refusal takes them all away, this run's and whatever an earlier run left,
# with the staged files, which may be signed by then: nothing that is left
# can be taken for a release.
set(vizad_release_set
    ${CPACK_OUTPUT_FILE_PREFIX}/${CPACK_PACKAGE_FILE_NAME}.zip
    ${CPACK_OUTPUT_FILE_PREFIX}/vizad-${CPACK_VIZAD_VERSION}.msi
    ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS
    ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS.unsigned)

# vizad_refuse_release(WHY): no release, and WHY as cpack's error.
macro(vizad_refuse_release why)
    file(REMOVE ${vizad_release_set} ${CPACK_PACKAGE_FILES})
    if(CPACK_TEMPORARY_DIRECTORY)
        file(REMOVE_RECURSE ${CPACK_TEMPORARY_DIRECTORY})
    endif()
    message(FATAL_ERROR "${why}")
endmacro()
