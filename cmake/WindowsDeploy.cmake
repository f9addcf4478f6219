# What the programs need beside them on a Windows PC without Qt. With Qt's
# own windeployqt (an MSVC or MinGW Qt on Windows) its deployment script does
# it; a cross build from Linux has no windeployqt, so the few Qt DLLs, the
# plugins Qt loads at run time and the MinGW runtime are installed directly.
function(velm_install_windows_runtime)
    if(NOT WIN32)
        return()
    endif()
    # libgcrypt and libgpg-error, which both programs load.
    install(FILES ${Gcrypt_RUNTIME_DLLS} DESTINATION .)
    if(TARGET Qt6::windeployqt)
        foreach(program IN LISTS ARGN)
            if(Qt6_VERSION VERSION_LESS 6.5)
                qt_generate_deploy_app_script(TARGET ${program}
                    FILENAME_VARIABLE deploy_script NO_UNSUPPORTED_PLATFORM_ERROR)
            else()
                qt_generate_deploy_app_script(TARGET ${program}
                    OUTPUT_SCRIPT deploy_script NO_UNSUPPORTED_PLATFORM_ERROR)
            endif()
            install(SCRIPT "${deploy_script}")
        endforeach()
        return()
    endif()

    foreach(module Core Gui Widgets Network)
        install(FILES "$<TARGET_FILE:Qt6::${module}>" DESTINATION .)
    endforeach()
    # The plugins Qt loads at run time, in the folders it looks for them in.
    set(plugin_dir "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
    foreach(plugin platforms/qwindows.dll styles/qmodernwindowsstyle.dll tls/qschannelbackend.dll)
        if(EXISTS "${plugin_dir}/${plugin}")
            get_filename_component(folder "${plugin}" DIRECTORY)
            install(FILES "${plugin_dir}/${plugin}" DESTINATION ${folder})
        else()
            message(WARNING "Qt plugin ${plugin} not found in ${plugin_dir}; the folder will lack it")
        endif()
    endforeach()
    if(MINGW)
        foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
            execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(IS_ABSOLUTE "${dll_path}" AND EXISTS "${dll_path}")
                install(FILES "${dll_path}" DESTINATION .)
            else()
                message(WARNING "${dll} not found beside ${CMAKE_CXX_COMPILER}; the folder will lack it")
            endif()
        endforeach()
    endif()
    # Installed with --strip (as CPack does), the programs lose their debug
    # sections; these DLLs carry them too, and no operator needs them.
    install(CODE "set(VELM_STRIP \"${CMAKE_STRIP}\")")
    install(SCRIPT "${PROJECT_SOURCE_DIR}/cmake/windows/StripLibraries.cmake")
endfunction()
