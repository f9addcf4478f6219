# A release as operators get it (the windows-release presets, with the
# variables the README explains under "Releasing an update"): CPack makes the
# installer (NSIS.template.in) and the zip of the folder that ships, and
# both land with the manifest that offers them (PublishRelease.cmake) in
# <VELM_RELEASE_DIR>/<N>/. Everything is checked here, before anything is
# built. A signing key also decides VELM_UPDATE_KEY, the public key built
# into the programs, so that the two cannot disagree.

set(VELM_RELEASE_URL "" CACHE STRING
    "Address the release files are published under; empty for https://<host>/files/Velm/")
set(VELM_RELEASE_DIR "" CACHE PATH "Where release/<N>/ goes; empty for build-windows/release")
set(VELM_SIGNING_KEY "" CACHE FILEPATH "The publisher's Ed25519 private key (PEM) that signs Version.json; empty for none")

# The update check reads "Version" as a signed 32-bit number.
string(LENGTH "${VELM_RELEASE_NUMBER}" digits)
if(NOT VELM_RELEASE_NUMBER MATCHES "^[1-9][0-9]*$" OR digits GREATER 10
   OR VELM_RELEASE_NUMBER GREATER 2147483647)
    message(FATAL_ERROR "VELM_RELEASE_NUMBER must be a positive whole number (at most 2147483647), "
        "got '${VELM_RELEASE_NUMBER}'")
endif()
if(NOT VELM_UPDATE_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9][0-9]?[0-9]?[0-9]?[0-9]?)?$")
    message(FATAL_ERROR "VELM_UPDATE_HOST must be a host name, optionally with :port, got '${VELM_UPDATE_HOST}'")
endif()
if(VELM_UPDATE_HOST STREQUAL "updates.velm.invalid")
    message(FATAL_ERROR "VELM_UPDATE_HOST is the placeholder updates.velm.invalid: "
        "such a release would never find an update")
endif()

set(release_url "${VELM_RELEASE_URL}")
if(release_url STREQUAL "")
    set(release_url "https://${VELM_UPDATE_HOST}/files/Velm/")
elseif(NOT release_url MATCHES "/$")
    string(APPEND release_url "/")
endif()
# Absolute https with a host; the installer's name is appended as it is, so
# no query, fragment, quote, backslash or white space.
string(TOLOWER "${release_url}" url_lower)
if(NOT url_lower MATCHES "^https://[^/?#@ \t\r\n\"\\\\]+/[^?# \t\r\n\"\\\\]*$")
    message(FATAL_ERROR "VELM_RELEASE_URL must be an absolute https address with a host and no query, "
        "got '${release_url}'")
endif()

set(release_dir "${VELM_RELEASE_DIR}")
if(release_dir STREQUAL "")
    set(release_dir "${PROJECT_SOURCE_DIR}/build-windows/release")
endif()
if(VELM_SIGNING_KEY)
    # Its public key: the PEM of an Ed25519 key holds a fixed prefix, then
    # the 32 bytes, in base64.
    execute_process(COMMAND openssl pkey -in "${VELM_SIGNING_KEY}" -pubout
        OUTPUT_VARIABLE public_pem ERROR_VARIABLE openssl_error RESULT_VARIABLE failed)
    if(failed OR NOT public_pem MATCHES "\nMCowBQYDK2VwAyEA([A-Za-z0-9+/]+=)\n")
        message(FATAL_ERROR "VELM_SIGNING_KEY must name an Ed25519 private key in PEM, as "
            "openssl genpkey -algorithm ed25519 writes it: ${VELM_SIGNING_KEY} ${openssl_error}")
    endif()
    if(VELM_UPDATE_KEY AND NOT VELM_UPDATE_KEY STREQUAL CMAKE_MATCH_1)
        message(FATAL_ERROR "VELM_UPDATE_KEY (${VELM_UPDATE_KEY}) is not the public key of VELM_SIGNING_KEY "
            "(${CMAKE_MATCH_1}): the programs would refuse the manifests this release signs")
    endif()
    set(VELM_UPDATE_KEY "${CMAKE_MATCH_1}")
    message(STATUS "Version.json is signed; the programs check it with ${VELM_UPDATE_KEY}")
endif()
message(STATUS "Release ${VELM_RELEASE_NUMBER} for ${VELM_UPDATE_HOST}, published under ${release_url}, "
    "made into ${release_dir}/${VELM_RELEASE_NUMBER}")

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME OperatorVelm)
set(CPACK_PACKAGE_VERSION ${VELM_RELEASE_NUMBER})
set(CPACK_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}") # NSIS.template.in
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/InstallerFiles.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PublishRelease.cmake")
# For the scripts above and the installer.
set(CPACK_VELM_RELEASE_NUMBER ${VELM_RELEASE_NUMBER})
set(CPACK_VELM_FILE_VERSION ${VELM_FILE_VERSION})
set(CPACK_VELM_RELEASE_URL "${release_url}")
set(CPACK_VELM_RELEASE_FOLDER "${release_dir}/${VELM_RELEASE_NUMBER}")
set(CPACK_VELM_SIGNING_KEY "${VELM_SIGNING_KEY}")
include(CPack)
