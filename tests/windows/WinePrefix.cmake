# Makes the Wine prefix that tests run in (WINEPREFIX) anew, or with
# -DEND=ON ends whatever still runs in it. Wine hands no QT_* variable from
# here to a Windows program: the prefix's user environment carries Qt's
# logging to standard error, where the tests read it, and with
# -DOFFSCREEN=1 the offscreen platform and a font folder. Without the font
# folder the offscreen platform looks in Qt's own lib/fonts, and warns
# once, in whichever test first lays out text.
if(END)
    execute_process(COMMAND wineserver -k TIMEOUT 30 ERROR_QUIET)
    return()
endif()
file(REMOVE_RECURSE "$ENV{WINEPREFIX}")
execute_process(COMMAND wineboot -i TIMEOUT 180 OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
set(settings "QT_FORCE_STDERR_LOGGING=1")
if(OFFSCREEN)
    list(APPEND settings "QT_QPA_PLATFORM=offscreen" "QT_QPA_FONTDIR=Z:\\usr\\share\\fonts\\truetype\\dejavu")
endif()
foreach(setting IN LISTS settings)
    string(REGEX MATCH "^([^=]+)=(.*)$" setting "${setting}")
    execute_process(COMMAND wine reg add "HKCU\\Environment" /v ${CMAKE_MATCH_1} /t REG_SZ /d "${CMAKE_MATCH_2}" /f
        OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND wineserver -w TIMEOUT 120 COMMAND_ERROR_IS_FATAL ANY)
