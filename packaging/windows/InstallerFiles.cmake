# Run by CPack once the folder that ships is staged, before makensis: with
# a certificate, both programs are signed (Sign.cmake), and so are the
# uninstaller and the installer as makensis finishes them; then the
# installer's list of its files (see NSIS.template.in) and its size, for
# "Apps" / "Programs and Features" and the check of free space.
set(staged "${CPACK_TEMPORARY_DIRECTORY}")
set(CPACK_VELM_SIGN_FINALLY "")
if(CPACK_VELM_SIGN)
    foreach(program OperatorVelm.exe Updater.exe)
        execute_process(COMMAND "${CMAKE_COMMAND}" ${CPACK_VELM_SIGN} "-DFILE=${staged}/${program}"
            -P "${CMAKE_CURRENT_LIST_DIR}/Sign.cmake" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    list(JOIN CPACK_VELM_SIGN "\" \"" arguments)
    set(command "\"${CMAKE_COMMAND}\" \"${arguments}\" \"-DFILE=%1\" -P \"${CMAKE_CURRENT_LIST_DIR}/Sign.cmake\"")
    set(CPACK_VELM_SIGN_FINALLY "!finalize '${command}'\n!uninstfinalize '${command}'")
endif()
file(GLOB_RECURSE paths RELATIVE "${staged}" "${staged}/*")
list(SORT paths)
# In the order the installer switches them: libraries and plugins, then the
# programs that load them, version.json last.
set(libraries "")
set(programs "")
set(bytes 0)
foreach(path IN LISTS paths)
    string(REPLACE "/" "\\" windows_path "${path}")
    set(line "    !insertmacro \${MACRO} \"${windows_path}\"\n")
    if(path MATCHES "\\.exe$")
        string(APPEND programs "${line}")
    elseif(NOT path STREQUAL "version.json")
        string(APPEND libraries "${line}")
    endif()
    file(SIZE "${staged}/${path}" size)
    math(EXPR bytes "${bytes} + ${size}")
endforeach()
set(CPACK_VELM_EACH_FILE "${libraries}${programs}    !insertmacro \${MACRO} \"version.json\"\n")
math(EXPR CPACK_VELM_SIZE_KB "(${bytes} + 1023) / 1024")
# The uninstaller and the disk's clusters come on top.
math(EXPR CPACK_VELM_SIZE_MB "(${bytes} + 1048575) / 1048576 + 1")
