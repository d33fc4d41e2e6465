# Run by cpack once the zip is made, before it is copied to the package
# folder. Sets what the zip took from this machine and this moment (entry
# times, order, owners, permission bits) to fixed values, with the release
# date as every entry's time, builds the Windows Installer package from the
# same files (and signs it when the programs were signed), and writes
# SHA256SUMS for the zip, the package and the vizad.exe inside them.
include(${CMAKE_CURRENT_LIST_DIR}/release-set.cmake)
find_program(strip_nondeterminism strip-nondeterminism)
set(sums "")
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
    if(strip_nondeterminism)
        execute_process(COMMAND ${strip_nondeterminism} --type zip --timestamp ${CPACK_VIZAD_EPOCH} ${zip}
            RESULT_VARIABLE failed)
    else()
        set(failed "strip-nondeterminism not found (scripts/setup.sh installs it)")
    endif()
    if(failed)
        # Leave no zip that another build would not make byte for byte, nor
        # an earlier release beside it.
        vizad_refuse_release("Cannot fix the times and order in ${zip}: ${failed}")
    endif()
    file(SHA256 ${zip} hash)
    get_filename_component(name ${zip} NAME)
    string(APPEND sums "${hash}  ${name}\n")
endforeach()
# The Windows Installer package, from the files the zip holds.
if(CPACK_VIZAD_MSI_SCRIPT)
    set(msi ${CPACK_OUTPUT_FILE_PREFIX}/vizad-${CPACK_VIZAD_VERSION}.msi)
    execute_process(COMMAND sh ${CPACK_VIZAD_MSI_SCRIPT} ${CPACK_TEMPORARY_DIRECTORY}
            ${CPACK_VIZAD_MSI_ACTIONS} ${CPACK_VIZAD_VERSION} ${CPACK_VIZAD_EPOCH} ${msi}
        RESULT_VARIABLE failed)
    if(failed)
        vizad_refuse_release("Cannot build ${msi}")
    endif()
    # Signed once built when the programs in it were: cmake/sign-release.cmake
    # then wrote their unsigned sums, and set the URL the signatures carry.
    if(EXISTS ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS.unsigned)
        execute_process(COMMAND sh ${CPACK_VIZAD_SIGN} ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS.unsigned ${msi}
            RESULT_VARIABLE failed)
        if(failed)
            # No unsigned package beside the signed zip, nor the sums of either.
            vizad_refuse_release("${msi} not signed, no release made (cmake/sign.sh said why)")
        endif()
    endif()
    file(SHA256 ${msi} hash)
    string(APPEND sums "${hash}  vizad-${CPACK_VIZAD_VERSION}.msi\n")
endif()
file(SHA256 ${CPACK_TEMPORARY_DIRECTORY}/vizad.exe hash)
string(APPEND sums "${hash}  vizad.exe\n")
file(WRITE ${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS "${sums}")
