# The tests of a Windows build run under Wine (the toolchain makes Wine the
# emulator when it is there) and find the DLLs of Qt, libgcrypt and the
# MinGW runtime where they lie. Each Wine prefix is made anew by a fixture
# before the tests that need it and ended after them (WinePrefix.cmake):
# wine for the suite, offscreen; wine-lifecycle for tests/windows/, which
# shows real windows. They need an X display, such as xvfb-run's.
set(dirs "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
foreach(dll IN LISTS Gcrypt_RUNTIME_DLLS VELM_MINGW_RUNTIME)
    get_filename_component(dir "${dll}" DIRECTORY)
    list(APPEND dirs "${dir}")
endforeach()
# Wine shows this machine's / as Z:. A ; separates list entries here, so
# the path list keeps its own escaped.
list(REMOVE_DUPLICATES dirs)
list(TRANSFORM dirs PREPEND "Z:")
list(TRANSFORM dirs REPLACE "/" "\\\\")
list(JOIN dirs "\\;" winepath)
# Qt's logging goes to standard error, where the tests read it. Without
# the font folder the offscreen platform looks in Qt's own lib/fonts, and
# warns once, in whichever test first lays out text.
set(VELM_WINE_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine" "WINEDEBUG=-all" "WINEPATH=${winepath}"
    "WINEQT_FORCE_STDERR_LOGGING=1" "WINEQT_QPA_PLATFORM=offscreen"
    "WINEQT_QPA_FONTDIR=Z:\\usr\\share\\fonts\\truetype\\dejavu")

foreach(fixture wine wine-lifecycle)
    set(environment "WINEPREFIX=${CMAKE_BINARY_DIR}/${fixture}" "WINEDEBUG=-all")
    add_test(NAME ${fixture}-prefix COMMAND ${CMAKE_COMMAND} -P "${CMAKE_CURRENT_LIST_DIR}/WinePrefix.cmake")
    add_test(NAME ${fixture}-end COMMAND ${CMAKE_COMMAND} -DEND=ON -P "${CMAKE_CURRENT_LIST_DIR}/WinePrefix.cmake")
    set_tests_properties(${fixture}-prefix PROPERTIES FIXTURES_SETUP ${fixture} ENVIRONMENT "${environment}")
    set_tests_properties(${fixture}-end PROPERTIES FIXTURES_CLEANUP ${fixture} ENVIRONMENT "${environment}")
endforeach()
