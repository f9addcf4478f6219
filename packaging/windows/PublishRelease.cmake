# Run by CPack after the installer: it goes into the emptied release
# folder, with the zip of the same folder and the manifest that offers it.
# The zip holds its files in a fixed order, each with the release's time,
# so that it is the same bytes whenever it is made. The address pins the
# installer by its SHA-256, and each signing key signs "<N>\n<address>"
# (Ed25519, base64), as the update check verifies it: one signature as a
# string, several as a list.
# The installer is checked as the programs are (CheckPrograms.cmake) first.
execute_process(COMMAND "${CMAKE_COMMAND}" "-DPROGRAMS=${CPACK_PACKAGE_FILES}"
    -P "${CMAKE_CURRENT_LIST_DIR}/CheckPrograms.cmake" COMMAND_ERROR_IS_FATAL ANY)
set(folder "${CPACK_VELM_RELEASE_FOLDER}")
file(REMOVE_RECURSE "${folder}")
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${folder}")

set(zip "${CPACK_TOPLEVEL_DIRECTORY}/zip")
file(REMOVE_RECURSE "${zip}")
file(COPY "${CPACK_TEMPORARY_DIRECTORY}/" DESTINATION "${zip}/OperatorVelm")
file(GLOB_RECURSE files RELATIVE "${zip}" "${zip}/*")
list(SORT files)
list(JOIN files "\n" listed)
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/zip-files" "${listed}\n")
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_VELM_EPOCH}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${folder}/OperatorVelm-${CPACK_VELM_RELEASE_NUMBER}.zip"
        --format=zip "--files-from=${CPACK_TOPLEVEL_DIRECTORY}/zip-files"
    WORKING_DIRECTORY "${zip}" COMMAND_ERROR_IS_FATAL ANY)

get_filename_component(setup "${CPACK_PACKAGE_FILES}" NAME)
file(SHA256 "${CPACK_PACKAGE_FILES}" digest)
set(url "${CPACK_VELM_RELEASE_URL}${setup}#sha256=${digest}")
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/signed" "${CPACK_VELM_RELEASE_NUMBER}\n${url}")
set(signatures "")
foreach(key IN LISTS CPACK_VELM_SIGNING_KEYS)
    execute_process(COMMAND openssl pkeyutl -sign -rawin -inkey "${key}" -in "${CPACK_TOPLEVEL_DIRECTORY}/signed"
        COMMAND openssl base64 -A
        OUTPUT_VARIABLE signature COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND signatures "\"${signature}\"")
endforeach()
list(LENGTH signatures count)
list(JOIN signatures ", " signature)
if(count GREATER 1)
    set(signature "[${signature}]")
endif()
set(manifest "{\"Version\": ${CPACK_VELM_RELEASE_NUMBER}, \"URL\": \"${url}\"")
if(count GREATER 0)
    string(APPEND manifest ", \"Signature\": ${signature}")
endif()
file(WRITE "${folder}/Version.json" "${manifest}}\n")

# What made it, for whoever rebuilds it to compare: no time of the build,
# no host name and no path. The toolchain is the chroot's packages.
execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version}\n" g++-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 nsis cmake osslsigncode OUTPUT_VARIABLE toolchain COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS /etc/debian_version debian)
string(REPLACE "\n" ";" toolchain "Debian ${debian}\n${toolchain}")
list(TRANSFORM toolchain PREPEND "toolchain: ")
set(info "OperatorVelm release ${CPACK_VELM_RELEASE_NUMBER}" ${CPACK_VELM_BUILD_INFO} ${toolchain})
foreach(file IN LISTS files)
    file(SHA256 "${zip}/${file}" digest)
    list(APPEND info "${digest}  ${file}")
endforeach()
foreach(file ${setup} OperatorVelm-${CPACK_VELM_RELEASE_NUMBER}.zip Version.json)
    file(SHA256 "${folder}/${file}" digest)
    list(APPEND info "${digest}  ${file}")
endforeach()
list(FILTER info EXCLUDE REGEX "^toolchain: $")
list(JOIN info "\n" info)
file(WRITE "${folder}/build-info.txt" "${info}\n")
