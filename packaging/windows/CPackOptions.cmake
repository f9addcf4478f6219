# Per package, the names a release has always had.
if(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME "OperatorVelm-${CPACK_VELM_RELEASE_NUMBER}-setup")
elseif(CPACK_GENERATOR STREQUAL "ZIP")
    # One folder inside, named as it is copied to a PC.
    set(CPACK_PACKAGE_FILE_NAME "OperatorVelm-${CPACK_VELM_RELEASE_NUMBER}")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_PACKAGING_INSTALL_PREFIX "/OperatorVelm")
endif()
