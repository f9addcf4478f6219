# Checks Windows programs that ship, and the folder they ship in:
#   cmake -DPROGRAMS=<exe>[;<exe>...] -P CheckPrograms.cmake
#   cmake -DZIP=<release zip> -DFOLDER=<folder> -DSYSTEM32=<dir> -P CheckPrograms.cmake
# (absolute paths). With ZIP, the folder is the release's zip unpacked anew,
# as it ships, with a copy of the zip as <folder>.zip beside it, and its two
# programs are checked.
# Each program must be x86-64 and GUI-subsystem, with an embedded manifest
# asking for asInvoker and common controls 6.0.0.0. With FOLDER, every DLL
# that a program or DLL of the folder imports must be in the folder or in
# SYSTEM32 (a Wine prefix's system32 stands in for a clean Windows). Each
# problem is printed on a line of its own, and any fails the run.
cmake_minimum_required(VERSION 3.21)
if(ZIP)
    # The zip holds OperatorVelm/, the folder's own name.
    file(REMOVE_RECURSE "${FOLDER}")
    get_filename_component(parent "${FOLDER}" DIRECTORY)
    file(ARCHIVE_EXTRACT INPUT "${ZIP}" DESTINATION "${parent}")
    file(COPY_FILE "${ZIP}" "${FOLDER}.zip")
    set(PROGRAMS "${FOLDER}/OperatorVelm.exe" "${FOLDER}/Updater.exe")
endif()
set(objdump x86_64-w64-mingw32-objdump)
set(problems "")

foreach(program IN LISTS PROGRAMS)
    get_filename_component(name "${program}" NAME)
    execute_process(COMMAND ${objdump} -f -p "${program}" OUTPUT_VARIABLE headers ERROR_VARIABLE headers)
    if(NOT headers MATCHES "file format pei-x86-64")
        list(APPEND problems "${name} is not an x86-64 program")
    endif()
    if(NOT headers MATCHES "\nSubsystem[ \t]+0+2[ \t]+\\(Windows GUI\\)")
        list(APPEND problems "${name} is not a GUI-subsystem program")
    endif()
    # The manifest is embedded as it is written, so its text is in the file.
    file(STRINGS "${program}" manifest REGEX "asInvoker|Common-Controls|version=\"6\\.0\\.0\\.0\"")
    if(NOT manifest MATCHES "level=\"asInvoker\"")
        list(APPEND problems "${name}: no asInvoker manifest")
    endif()
    if(NOT manifest MATCHES "Microsoft\\.Windows\\.Common-Controls\".*version=\"6\\.0\\.0\\.0\"")
        list(APPEND problems "${name}: manifest does not ask for common controls 6.0.0.0")
    endif()
endforeach()

if(FOLDER)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM "windows+pe")
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${objdump})
    file(GLOB_RECURSE executables "${FOLDER}/*.exe")
    file(GLOB_RECURSE libraries "${FOLDER}/*.dll")
    # Each binary of the folder is read itself; names are looked up without
    # regard to case, as Windows does. API sets (api-ms-win-*) are the
    # loader's own.
    file(GET_RUNTIME_DEPENDENCIES EXECUTABLES ${executables} LIBRARIES ${libraries}
        PRE_EXCLUDE_REGEXES "^api-ms-win-" "^ext-ms-win-"
        UNRESOLVED_DEPENDENCIES_VAR imported)
    file(GLOB present RELATIVE "${FOLDER}" "${FOLDER}/*.dll")
    file(GLOB system RELATIVE "${SYSTEM32}" "${SYSTEM32}/*")
    string(TOLOWER "${present};${system}" present)
    foreach(dll IN LISTS imported)
        string(TOLOWER "${dll}" lower)
        if(NOT lower IN_LIST present)
            list(APPEND problems "the folder lacks ${dll}")
        endif()
    endforeach()
endif()

foreach(problem IN LISTS problems)
    message("${problem}")
endforeach()
list(LENGTH problems count)
if(count GREATER 0)
    message(FATAL_ERROR "${count} problem(s) with the Windows programs")
endif()
