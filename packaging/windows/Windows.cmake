# What a Windows build knows before its targets: the programs' numeric file
# version, its time, the MinGW runtime they load, and, for a release, its settings
# (Release.cmake), since a signing key decides the public key built in.

# The numeric file version of the programs and the installer has 16-bit
# parts: a release number beyond them shows there as 0, while the text
# versions keep it whole.
if(VELM_RELEASE_NUMBER GREATER_EQUAL 0 AND VELM_RELEASE_NUMBER LESS_EQUAL 65535)
    set(VELM_FILE_VERSION ${VELM_RELEASE_NUMBER})
else()
    set(VELM_FILE_VERSION 0)
endif()

# The build's one time, written into the programs' headers, the zip and the
# signatures: SOURCE_DATE_EPOCH when given (a release's commit time).
string(TIMESTAMP VELM_EPOCH "%s" UTC)

# Shipped beside the programs, and found there by the tests under Wine.
set(VELM_MINGW_RUNTIME "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${dll} not found beside ${CMAKE_CXX_COMPILER}")
    endif()
    file(REAL_PATH "${path}" path)
    list(APPEND VELM_MINGW_RUNTIME "${path}")
endforeach()

if(VELM_RELEASE)
    include(${CMAKE_CURRENT_LIST_DIR}/Release.cmake)
endif()
