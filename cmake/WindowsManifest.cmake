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

    # The numeric version has 16-bit parts; the text keeps the number whole.
    if(VELM_RELEASE_NUMBER GREATER_EQUAL 0 AND VELM_RELEASE_NUMBER LESS_EQUAL 65535)
        set(velm_file_version "${VELM_RELEASE_NUMBER},0,0,0")
    else()
        set(velm_file_version "0,0,0,0")
    endif()
    set(velm_description "${description}")
    configure_file("${dir}/velm-version.rc.in" "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc" @ONLY)
    target_sources(${target} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc")
endfunction()
