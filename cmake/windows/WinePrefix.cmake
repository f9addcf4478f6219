# Makes the Wine prefix that the tests run in (WINEPREFIX) anew, or with
# -DEND=ON ends whatever still runs in it. Wine hands
# no QT_* variable from here to a Windows program: the platform, the logging
# and a font folder go into the prefix's user environment instead. Without
# the font folder the offscreen platform looks in Qt's own lib/fonts, and
# warns once, in whichever test first lays out text.
if(END)
    execute_process(COMMAND wineserver -k TIMEOUT 30 ERROR_QUIET)
    return()
endif()
file(REMOVE_RECURSE "$ENV{WINEPREFIX}")
execute_process(COMMAND wineboot -i TIMEOUT 180 OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
foreach(setting
        "QT_QPA_PLATFORM=offscreen"
        "QT_FORCE_STDERR_LOGGING=1"
        "QT_QPA_FONTDIR=Z:\\usr\\share\\fonts\\truetype\\dejavu")
    string(FIND "${setting}" "=" at)
    string(SUBSTRING "${setting}" 0 ${at} name)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${setting}" ${at} -1 value)
    execute_process(COMMAND wine reg add "HKCU\\Environment" /v ${name} /t REG_SZ /d "${value}" /f
        OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND wineserver -w TIMEOUT 120 COMMAND_ERROR_IS_FATAL ANY)
