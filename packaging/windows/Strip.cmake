# Run at install (CMakeLists.txt beside it): every program and DLL of the
# folder loses its debug sections. Stripping writes SOURCE_DATE_EPOCH as the
# time in a binary's PE header: our programs get the build's time
# (VELM_EPOCH, a release's commit time), a DLL keeps the time it came with,
# so that a DLL that did not change is the same in every release.

# velm_read_le32(<file> <offset> <variable>): the little-endian 32-bit number there.
function(velm_read_le32 file offset variable)
    file(READ "${file}" bytes OFFSET ${offset} LIMIT 4 HEX)
    string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" bytes "${bytes}")
    math(EXPR number "0x${bytes}")
    set(${variable} ${number} PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE binaries "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.exe" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.dll")
foreach(binary IN LISTS binaries)
    set(epoch ${VELM_EPOCH})
    if(binary MATCHES "\\.dll$")
        # The PE header starts where the DOS header's e_lfanew says; its time
        # stamp is 8 bytes in.
        velm_read_le32("${binary}" 60 header)
        math(EXPR header "${header} + 8")
        velm_read_le32("${binary}" ${header} epoch)
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
    execute_process(COMMAND "${VELM_STRIP}" --strip-unneeded "${binary}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
