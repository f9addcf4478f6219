# Run by CPack after each package: it goes into the release folder, and the
# installer, made first, empties that folder and writes beside it the
# manifest that offers it.
if(CPACK_GENERATOR STREQUAL "NSIS")
    file(REMOVE_RECURSE "${CPACK_VELM_RELEASE_FOLDER}")
endif()
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${CPACK_VELM_RELEASE_FOLDER}")
if(CPACK_GENERATOR STREQUAL "NSIS")
    get_filename_component(setup "${CPACK_PACKAGE_FILES}" NAME)
    file(WRITE "${CPACK_VELM_RELEASE_FOLDER}/Version.json"
        "{\"Version\": ${CPACK_VELM_RELEASE_NUMBER}, \"URL\": \"${CPACK_VELM_RELEASE_URL}${setup}\"}\n")
endif()
