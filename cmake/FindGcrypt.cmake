# Finds libgcrypt by its header and library alone, so that it works without
# pkg-config, as in the MinGW cross build, where both live below the MinGW
# root (/usr/x86_64-w64-mingw32).
#
# Gives the imported target Gcrypt::Gcrypt and Gcrypt_VERSION. On Windows,
# Gcrypt_RUNTIME_DLLS lists libgcrypt's DLL and that of libgpg-error, which
# it loads, as found beside the import library (bin/ next to lib/), for the
# folder that ships.

find_path(Gcrypt_INCLUDE_DIR gcrypt.h)
# gcrypt.h includes it; Debian keeps it in the multiarch folder.
find_path(Gcrypt_GPG_ERROR_INCLUDE_DIR gpg-error.h)
find_library(Gcrypt_LIBRARY NAMES gcrypt libgcrypt)

if(Gcrypt_INCLUDE_DIR AND EXISTS "${Gcrypt_INCLUDE_DIR}/gcrypt.h")
    file(STRINGS "${Gcrypt_INCLUDE_DIR}/gcrypt.h" _gcrypt_version_line
         REGEX "^#define GCRYPT_VERSION \"[0-9.]+")
    string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" Gcrypt_VERSION "${_gcrypt_version_line}")
    unset(_gcrypt_version_line)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Gcrypt
    REQUIRED_VARS Gcrypt_LIBRARY Gcrypt_INCLUDE_DIR Gcrypt_GPG_ERROR_INCLUDE_DIR
    VERSION_VAR Gcrypt_VERSION)

if(Gcrypt_FOUND AND WIN32)
    get_filename_component(_gcrypt_lib_dir "${Gcrypt_LIBRARY}" DIRECTORY)
    find_file(Gcrypt_DLL NAMES libgcrypt-20.dll
              PATHS "${_gcrypt_lib_dir}/../bin" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_file(Gcrypt_GPG_ERROR_DLL NAMES libgpg-error-0.dll
              PATHS "${_gcrypt_lib_dir}/../bin" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    unset(_gcrypt_lib_dir)
    set(Gcrypt_RUNTIME_DLLS "${Gcrypt_DLL}" "${Gcrypt_GPG_ERROR_DLL}")
    list(FILTER Gcrypt_RUNTIME_DLLS EXCLUDE REGEX "-NOTFOUND$")
endif()

if(Gcrypt_FOUND AND NOT TARGET Gcrypt::Gcrypt)
    if(WIN32 AND Gcrypt_DLL)
        add_library(Gcrypt::Gcrypt SHARED IMPORTED)
        set_target_properties(Gcrypt::Gcrypt PROPERTIES
            IMPORTED_IMPLIB "${Gcrypt_LIBRARY}"
            IMPORTED_LOCATION "${Gcrypt_DLL}")
    else()
        add_library(Gcrypt::Gcrypt UNKNOWN IMPORTED)
        set_target_properties(Gcrypt::Gcrypt PROPERTIES IMPORTED_LOCATION "${Gcrypt_LIBRARY}")
    endif()
    set_target_properties(Gcrypt::Gcrypt PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${Gcrypt_INCLUDE_DIR};${Gcrypt_GPG_ERROR_INCLUDE_DIR}")
endif()

mark_as_advanced(Gcrypt_INCLUDE_DIR Gcrypt_GPG_ERROR_INCLUDE_DIR Gcrypt_LIBRARY Gcrypt_DLL
                 Gcrypt_GPG_ERROR_DLL)
