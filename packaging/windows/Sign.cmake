# Signs one Windows program, uninstaller or installer in place with the
# publisher's Authenticode certificate, SHA-256, and verifies the signature
# before the file is replaced (Release.cmake passes all but the file,
# InstallerFiles.cmake and the NSIS template the file):
#   cmake -DCERT=<chain.pem | file.p12> -DKEY=<key.pem | password file | pkcs11:...> [-DMODULE=<module>]
#         [-DPIN=<PIN file>] [-DCA=<roots.pem>] [-DTIMESTAMP_URL=<url>] -DEPOCH=<time> -DFILE=<file> -P Sign.cmake
# A key on a token stays there: osslsigncode asks its module to sign. Without
# a time stamp the signature bears the release's time, so that a signed
# release is as reproducible as an unsigned one.
# Release.cmake passes a URI's ";" as "|", which no URI holds; escaped, it stays within -key.
string(REPLACE "|" "\\;" KEY "${KEY}")
if(KEY MATCHES "^pkcs11:")
    set(identity -pkcs11module "${MODULE}" -certs "${CERT}" -key "${KEY}" -readpass "${PIN}")
elseif(CERT MATCHES "\\.(p12|pfx)$")
    set(identity -pkcs12 "${CERT}" -readpass "${KEY}")
else()
    set(identity -certs "${CERT}" -key "${KEY}")
endif()
set(time -time "${EPOCH}")
if(TIMESTAMP_URL)
    set(time -ts "${TIMESTAMP_URL}")
endif()
if(CA)
    set(trust -CAfile "${CA}" -TSA-CAfile "${CA}")
endif()
file(REMOVE "${FILE}.signed")
execute_process(COMMAND osslsigncode sign ${identity} -h sha256 -n OperatorVelm ${time}
        -in "${FILE}" -out "${FILE}.signed"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND osslsigncode verify ${trust} -in "${FILE}.signed"
    OUTPUT_VARIABLE verified ERROR_VARIABLE verified RESULT_VARIABLE failed)
if(failed OR (TIMESTAMP_URL AND NOT verified MATCHES "Timestamp Server Signature verification: ok"))
    message(FATAL_ERROR "osslsigncode verify fails for ${FILE} signed with ${CERT}:\n${verified}")
endif()
file(RENAME "${FILE}.signed" "${FILE}")
