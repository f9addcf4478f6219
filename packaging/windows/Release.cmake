# A release as operators get it (the windows-release presets, with the
# variables the README explains under "Releasing an update"): CPack makes the
# installer (NSIS.template.in), and the zip of the same folder and the
# manifest that offers both (PublishRelease.cmake) land in
# <VELM_RELEASE_DIR>/<N>/. Everything is checked here, before anything is
# built. The signing keys decide VELM_UPDATE_KEY, the public keys built into
# the programs, unless it is given: then it must hold each of theirs.

set(VELM_RELEASE_URL "" CACHE STRING
    "Address the release files are published under; empty for https://<host>/files/Velm/")
set(VELM_RELEASE_DIR "" CACHE PATH "Where release/<N>/ goes; empty for build-windows/release")
set(VELM_SIGNING_KEY "" CACHE STRING
    "The publisher's Ed25519 private keys (PEM files, comma-separated) that sign Version.json; empty for none")
set(VELM_AUTHENTICODE_CERT "" CACHE FILEPATH
    "Authenticode certificate chain (PEM), or a PKCS#12 file (.p12, .pfx); empty for unsigned programs")
set(VELM_AUTHENTICODE_KEY "" CACHE STRING
    "The certificate's private key (PEM), the PKCS#12 file's password file, or a token's key (pkcs11:...)")
set(VELM_AUTHENTICODE_TIMESTAMP_URL "" CACHE STRING "The RFC 3161 time-stamp server for Authenticode")
# And, as the README says: VELM_AUTHENTICODE_PKCS11_MODULE and _PIN_FILE for a
# key on a token, VELM_AUTHENTICODE_CA, VELM_AUTHENTICODE_NO_TIMESTAMP and VELM_UNSIGNED.
# Written down by scripts/release.sh for the build info and the programs.
set(VELM_COMMIT "" CACHE STRING "The commit a release is built from")
set(VELM_COMMIT_NOTE "" CACHE STRING "How the tree differed from the commit; empty for not at all")
set(VELM_WINDOWS_QT_ORIGIN "" CACHE STRING "Where the Windows Qt came from")

# VELM_RELEASE_NUMBER is checked with every build's (VelmProject.cmake).
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
# The list decides, not the string: "," names no key at all.
string(REPLACE "," ";" signing_keys "${VELM_SIGNING_KEY}")
string(REPLACE "," ";" update_keys "${VELM_UPDATE_KEY}")
list(TRANSFORM update_keys STRIP)
if(NOT VELM_SIGNING_KEY AND NOT VELM_UNSIGNED)
    message(FATAL_ERROR "release refused: no VELM_SIGNING_KEY=<Ed25519 private key in PEM>[,<another>] (README, "
        "\"Signed manifests\"); VELM_UNSIGNED=1 makes an unsigned release, whose programs offer any update")
elseif(NOT VELM_SIGNING_KEY)
    message(WARNING "an unsigned release (VELM_UNSIGNED=1): its programs offer any update the host names")
endif()
foreach(key IN LISTS signing_keys)
    # Its public key: the PEM of an Ed25519 key holds a fixed prefix, then
    # the 32 bytes, in base64.
    execute_process(COMMAND openssl pkey -in "${key}" -pubout
        OUTPUT_VARIABLE public_pem ERROR_VARIABLE openssl_error RESULT_VARIABLE failed)
    if(failed OR NOT public_pem MATCHES "\nMCowBQYDK2VwAyEA([A-Za-z0-9+/]+=)\n")
        message(FATAL_ERROR "release refused: VELM_SIGNING_KEY must name Ed25519 private keys in PEM, as openssl "
            "genpkey -algorithm ed25519 writes them, with no empty item; not so: '${key}' ${openssl_error}")
    endif()
    if(NOT VELM_UPDATE_KEY)
        list(APPEND update_keys "${CMAKE_MATCH_1}")
    elseif(NOT CMAKE_MATCH_1 IN_LIST update_keys)
        message(FATAL_ERROR "VELM_UPDATE_KEY (${VELM_UPDATE_KEY}) does not hold the public key of ${key} "
            "(${CMAKE_MATCH_1}): the programs would refuse the manifests it signs")
    endif()
endforeach()
list(JOIN update_keys "," VELM_UPDATE_KEY)
if(signing_keys)
    message(STATUS "Version.json is signed with ${VELM_SIGNING_KEY}; the programs check it with ${VELM_UPDATE_KEY}")
endif()
# The programs, the uninstaller and the installer carry the publisher's
# Authenticode signature (Sign.cmake), when a certificate is given, and a
# time stamp, without which they turn unsigned the day it expires.
set(sign "")
set(authenticode "none")
if(VELM_AUTHENTICODE_CERT OR VELM_AUTHENTICODE_KEY)
    # if() reads AND and OR from left to right: hence the inner parentheses.
    if(NOT EXISTS "${VELM_AUTHENTICODE_CERT}" OR NOT (EXISTS "${VELM_AUTHENTICODE_KEY}"
       OR (VELM_AUTHENTICODE_KEY MATCHES "^pkcs11:" AND EXISTS "${VELM_AUTHENTICODE_PKCS11_MODULE}")))
        message(FATAL_ERROR "VELM_AUTHENTICODE_CERT must name a file, VELM_AUTHENTICODE_KEY a file or a pkcs11: key "
            "of VELM_AUTHENTICODE_PKCS11_MODULE: '${VELM_AUTHENTICODE_CERT}' '${VELM_AUTHENTICODE_KEY}'")
    endif()
    set(stamped "yes, from ${VELM_AUTHENTICODE_TIMESTAMP_URL}")
    if(VELM_AUTHENTICODE_NO_TIMESTAMP)
        set(VELM_AUTHENTICODE_TIMESTAMP_URL "")
        set(stamped "no")
    elseif(NOT VELM_AUTHENTICODE_TIMESTAMP_URL)
        message(FATAL_ERROR "release refused: Authenticode without VELM_AUTHENTICODE_TIMESTAMP_URL, an RFC 3161 "
            "time-stamp server, turns invalid the day the certificate expires; VELM_AUTHENTICODE_NO_TIMESTAMP=1 "
            "signs without one, reproducibly, for checks")
    endif()
    # The certificate must be valid now; a month before it expires, say so.
    set(leaf "${VELM_AUTHENTICODE_CERT}")
    if(VELM_AUTHENTICODE_CERT MATCHES "\\.(p12|pfx)$")
        set(leaf "${PROJECT_BINARY_DIR}/authenticode-certificate.pem")
        execute_process(COMMAND openssl pkcs12 -in "${VELM_AUTHENTICODE_CERT}" -passin "file:${VELM_AUTHENTICODE_KEY}"
            -nokeys -clcerts -out "${leaf}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
    execute_process(COMMAND openssl verify -no-CAfile -no-CApath -partial_chain -trusted "${leaf}" "${leaf}"
        OUTPUT_VARIABLE dates ERROR_VARIABLE dates RESULT_VARIABLE invalid)
    execute_process(COMMAND openssl x509 -in "${leaf}" -noout -nameopt RFC2253 -subject -fingerprint -sha256 -enddate
        -checkend 2592000 OUTPUT_VARIABLE certificate RESULT_VARIABLE expiring)
    string(REGEX MATCH "subject=([^\n]*).*Fingerprint=([^\n]*).*notAfter=([^\n]*)" certificate "${certificate}")
    set(certificate "${CMAKE_MATCH_1}, SHA-256 ${CMAKE_MATCH_2}, valid until ${CMAKE_MATCH_3}")
    if(invalid)
        string(REGEX REPLACE ".*depth lookup: ([^\n]*).*" "\\1" dates "${dates}")
        message(FATAL_ERROR "release refused: the Authenticode certificate is not valid now (${dates}): ${certificate}")
    elseif(expiring)
        message(WARNING "the Authenticode certificate expires within 30 days: ${certificate}")
    endif()
    set(authenticode "${certificate}, time stamp: ${stamped}")
    # A URI's ";" would split the list of arguments; no URI holds a "|".
    string(REPLACE ";" "|" key "${VELM_AUTHENTICODE_KEY}")
    set(sign "-DCERT=${VELM_AUTHENTICODE_CERT}" "-DKEY=${key}"
        "-DMODULE=${VELM_AUTHENTICODE_PKCS11_MODULE}" "-DPIN=${VELM_AUTHENTICODE_PIN_FILE}"
        "-DCA=${VELM_AUTHENTICODE_CA}" "-DTIMESTAMP_URL=${VELM_AUTHENTICODE_TIMESTAMP_URL}" "-DEPOCH=${VELM_EPOCH}")
    message(STATUS "The programs and the installer are signed with ${VELM_AUTHENTICODE_CERT}: ${authenticode}")
endif()
# Release builds carry no path of the machine that made them.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
message(STATUS "Release ${VELM_RELEASE_NUMBER} for ${VELM_UPDATE_HOST}, published under ${release_url}, "
    "made into ${release_dir}/${VELM_RELEASE_NUMBER}")

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME OperatorVelm)
set(CPACK_PACKAGE_VERSION ${VELM_RELEASE_NUMBER})
set(CPACK_PACKAGE_FILE_NAME "OperatorVelm-${VELM_RELEASE_NUMBER}-setup")
set(CPACK_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}") # NSIS.template.in
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/InstallerFiles.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PublishRelease.cmake")
# For the scripts above and the installer.
set(CPACK_VELM_RELEASE_NUMBER ${VELM_RELEASE_NUMBER})
set(CPACK_VELM_FILE_VERSION ${VELM_FILE_VERSION})
set(CPACK_VELM_RELEASE_URL "${release_url}")
set(CPACK_VELM_RELEASE_FOLDER "${release_dir}/${VELM_RELEASE_NUMBER}")
set(CPACK_VELM_SIGNING_KEYS "${signing_keys}")
set(CPACK_VELM_SIGN "${sign}")
set(CPACK_VELM_EPOCH ${VELM_EPOCH})
set(CPACK_VELM_BUILD_INFO "commit: ${VELM_COMMIT}" "epoch: ${VELM_EPOCH}"
    "update host: ${VELM_UPDATE_HOST}" "published under: ${release_url}"
    "Windows Qt: ${Qt6_VERSION}, ${VELM_WINDOWS_QT_ORIGIN}" "Authenticode: ${authenticode}")
foreach(key IN LISTS update_keys)
    string(SHA256 fingerprint "${key}")
    list(APPEND CPACK_VELM_BUILD_INFO "update key: ${key} (SHA-256 of its base64: ${fingerprint})")
endforeach()
if(VELM_COMMIT_NOTE)
    list(APPEND CPACK_VELM_BUILD_INFO "tree: ${VELM_COMMIT_NOTE}")
endif()
if(signing_keys)
    list(LENGTH signing_keys count)
    list(APPEND CPACK_VELM_BUILD_INFO "Version.json: signed with ${count} key(s)")
else()
    list(APPEND CPACK_VELM_BUILD_INFO "Version.json: unsigned")
endif()
include(CPack)
