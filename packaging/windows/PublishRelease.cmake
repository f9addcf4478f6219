# Run by CPack after each package: it goes into the release folder, and the
# installer, made first, empties that folder and writes beside it the
# manifest that offers it. The address pins the installer by its SHA-256,
# and with a signing key the manifest carries the Ed25519 signature of
# "<N>\n<address>" in base64, as the update check verifies it.
if(CPACK_GENERATOR STREQUAL "NSIS")
    file(REMOVE_RECURSE "${CPACK_VELM_RELEASE_FOLDER}")
endif()
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_VELM_RELEASE_FOLDER}")
if(CPACK_GENERATOR STREQUAL "NSIS")
    get_filename_component(setup "${CPACK_PACKAGE_FILES}" NAME)
    file(SHA256 "${CPACK_PACKAGE_FILES}" digest)
    set(url "${CPACK_VELM_RELEASE_URL}${setup}#sha256=${digest}")
    set(manifest "{\"Version\": ${CPACK_VELM_RELEASE_NUMBER}, \"URL\": \"${url}\"")
    if(CPACK_VELM_SIGNING_KEY)
        file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/signed" "${CPACK_VELM_RELEASE_NUMBER}\n${url}")
        execute_process(COMMAND openssl pkeyutl -sign -rawin -inkey "${CPACK_VELM_SIGNING_KEY}"
                                -in "${CPACK_TOPLEVEL_DIRECTORY}/signed"
            COMMAND openssl base64 -A
            OUTPUT_VARIABLE signature COMMAND_ERROR_IS_FATAL ANY)
        string(APPEND manifest ", \"Signature\": \"${signature}\"")
    endif()
    file(WRITE "${CPACK_VELM_RELEASE_FOLDER}/Version.json" "${manifest}}\n")
endif()
