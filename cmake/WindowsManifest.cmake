# The numeric file version of the programs and the installer has 16-bit
# parts: a release number beyond them shows there as 0, while the text
# versions keep it whole.
if(VELM_RELEASE_NUMBER GREATER_EQUAL 0 AND VELM_RELEASE_NUMBER LESS_EQUAL 65535)
    set(VELM_FILE_VERSION ${VELM_RELEASE_NUMBER})
else()
    set(VELM_FILE_VERSION 0)
endif()

# Embeds the application manifest (asInvoker, common controls 6) and the
# release number as file version into a Windows program. MSVC merges
# .manifest sources itself; other toolchains (MinGW) get the manifest
# through a resource script.
function(velm_embed_windows_manifest target description)
    if(NOT WIN32)
        return()
    endif()
    set(dir "${PROJECT_SOURCE_DIR}/cmake/windows")
    if(MSVC)
        target_sources(${target} PRIVATE "${dir}/velm.manifest")
    else()
        target_sources(${target} PRIVATE "${dir}/velm-manifest.rc")
    endif()

    set(velm_description "${description}")
    configure_file("${dir}/velm-version.rc.in" "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc" @ONLY)
    target_sources(${target} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc")
endfunction()
