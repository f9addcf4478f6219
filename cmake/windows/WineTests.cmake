# The suite of a Windows build run under Wine (the toolchain makes Wine the
# emulator when it is there): the tests share a Wine prefix of their own,
# made anew before them and ended after them, and find the DLLs of Qt,
# libgcrypt and the MinGW runtime where they lie. They need an X display,
# such as xvfb-run's.

set(VELM_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine")
set(dirs "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
foreach(dll IN LISTS Gcrypt_RUNTIME_DLLS)
    get_filename_component(dll_dir "${dll}" DIRECTORY)
    list(APPEND dirs "${dll_dir}")
endforeach()
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(dll_dir "${dll_path}" DIRECTORY)
    file(REAL_PATH "${dll_dir}" dll_dir)
    list(APPEND dirs "${dll_dir}")
endforeach()
# Wine shows this machine's / as Z:. A ; separates list entries here, so
# the path list keeps its own escaped.
list(REMOVE_DUPLICATES dirs)
list(TRANSFORM dirs PREPEND "Z:")
list(TRANSFORM dirs REPLACE "/" "\\\\")
list(JOIN dirs "\\;" winepath)
set(VELM_WINE_ENVIRONMENT "WINEPREFIX=${VELM_WINE_PREFIX}" "WINEDEBUG=-all" "WINEPATH=${winepath}")

add_test(NAME wine-prefix COMMAND ${CMAKE_COMMAND} -P "${CMAKE_CURRENT_LIST_DIR}/WinePrefix.cmake")
add_test(NAME wine-prefix-end COMMAND ${CMAKE_COMMAND} -DEND=ON -P "${CMAKE_CURRENT_LIST_DIR}/WinePrefix.cmake")
set_tests_properties(wine-prefix PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${VELM_WINE_ENVIRONMENT}")
set_tests_properties(wine-prefix-end PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${VELM_WINE_ENVIRONMENT}")
