# Part of the install of a Windows build: with --strip, every DLL of the
# folder is stripped as well, as the programs are.
if(CMAKE_INSTALL_DO_STRIP AND VELM_STRIP)
    file(GLOB_RECURSE libraries "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.dll")
    foreach(library IN LISTS libraries)
        execute_process(COMMAND "${VELM_STRIP}" --strip-unneeded "${library}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()
