# What every target of the project shares: the oldest Qt API we support,
# warnings, one folder for what ships, and version.json beside the programs.
# The update check reads "Version" as a signed 32-bit number.
if(NOT VELM_RELEASE_NUMBER MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$"
   OR VELM_RELEASE_NUMBER GREATER 2147483647)
    message(FATAL_ERROR "VELM_RELEASE_NUMBER must be a positive whole number (at most 2147483647), "
        "got '${VELM_RELEASE_NUMBER}'")
endif()
if(VELM_UPDATE_HOST STREQUAL "updates.velm.invalid")
    message(NOTICE "VELM_UPDATE_HOST is not set: with the default host, updates.velm.invalid, "
        "this build never finds an update (configure with -DVELM_UPDATE_HOST=<host> for a real server)")
endif()

add_compile_definitions(QT_DISABLE_DEPRECATED_UP_TO=0x060400 QT_NO_CAST_FROM_ASCII)
add_compile_options(-Wall -Wextra)

# Both programs and version.json land in one folder, as they ship; with a
# multi-configuration generator, in bin/<Config>/.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
file(GENERATE OUTPUT "$<TARGET_FILE_DIR:OperatorVelm>/version.json"
    CONTENT "{\"Version\": ${VELM_RELEASE_NUMBER}}\n")

# Each key is 32 bytes: 43 base64 digits and one "=", the last digit
# carrying 4 bits.
string(REPLACE "," ";" keys "${VELM_UPDATE_KEY}")
list(TRANSFORM keys STRIP)
if(NOT keys)
    message(NOTICE "VELM_UPDATE_KEY is not set: this build offers updates without checking a signature "
        "(configure with -DVELM_UPDATE_KEY=<base64 Ed25519 public key> to offer only signed releases)")
endif()
foreach(key IN LISTS keys)
    string(LENGTH "${key}" length)
    if(NOT length EQUAL 44 OR NOT key MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
        message(FATAL_ERROR "VELM_UPDATE_KEY must be Ed25519 public keys of exactly 32 bytes in base64 "
            "(44 characters ending in \"=\"), separated by commas; got '${key}'")
    endif()
endforeach()
