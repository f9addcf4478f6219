# Embeds the application manifest (asInvoker, common controls 6) into a
# Windows program. MSVC merges .manifest sources itself; other toolchains
# (MinGW) get it through a resource script.
function(velm_embed_windows_manifest target)
    if(NOT WIN32)
        return()
    endif()
    set(dir "${PROJECT_SOURCE_DIR}/cmake/windows")
    if(MSVC)
        target_sources(${target} PRIVATE "${dir}/velm.manifest")
    else()
        target_sources(${target} PRIVATE "${dir}/velm-manifest.rc")
    endif()
endfunction()
