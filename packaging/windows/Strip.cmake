# Run at install (CMakeLists.txt beside it): every program and DLL of the
# folder loses its debug sections, with the build's one time in its header.
set(ENV{SOURCE_DATE_EPOCH} "${VELM_EPOCH}")
file(GLOB_RECURSE binaries "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.exe" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.dll")
foreach(binary IN LISTS binaries)
    execute_process(COMMAND "${VELM_STRIP}" --strip-unneeded "${binary}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
