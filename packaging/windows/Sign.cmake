# Signs one Windows program, uninstaller or installer in place with the
# publisher's Authenticode certificate, SHA-256 (Release.cmake passes the
# first four, InstallerFiles.cmake and the NSIS template the file):
#   cmake -DCERT=<chain.pem | file.p12> -DKEY=<key.pem | password file> [-DTIMESTAMP_URL=<url>]
#         -DEPOCH=<time> -DFILE=<file> -P Sign.cmake
# Without a time stamp the signature bears the release's time, so that a
# signed release is as reproducible as an unsigned one.
if(CERT MATCHES "\\.(p12|pfx)$")
    set(identity -pkcs12 "${CERT}" -readpass "${KEY}")
else()
    set(identity -certs "${CERT}" -key "${KEY}")
endif()
if(TIMESTAMP_URL)
    set(time -ts "${TIMESTAMP_URL}")
else()
    set(time -time "${EPOCH}")
endif()
file(REMOVE "${FILE}.signed")
execute_process(COMMAND osslsigncode sign ${identity} -h sha256 -n OperatorVelm ${time}
        -in "${FILE}" -out "${FILE}.signed"
    OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "osslsigncode could not sign ${FILE}")
endif()
file(RENAME "${FILE}.signed" "${FILE}")
