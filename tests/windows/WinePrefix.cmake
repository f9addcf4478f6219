# Makes the Wine prefix that tests run in (WINEPREFIX) anew, or with
# -DEND=ON ends whatever still runs in it. Qt's settings reach a Windows
# program through the tests' environment: Wine hands a QT_* variable on only
# when it is given as WINEQT_* (Wine.cmake).
if(END)
    execute_process(COMMAND wineserver -k TIMEOUT 30 ERROR_QUIET)
    return()
endif()
file(REMOVE_RECURSE "$ENV{WINEPREFIX}")
execute_process(COMMAND wineboot -i TIMEOUT 180 OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND wineserver -w TIMEOUT 120 COMMAND_ERROR_IS_FATAL ANY)
