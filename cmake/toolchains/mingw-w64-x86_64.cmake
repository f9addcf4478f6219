# Windows x86-64 with Debian's MinGW-w64, posix-threads variant (std::thread
# and std::mutex need it). Used for Qt itself and for this project.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELM_MINGW_TRIPLE}-windres)

# Libraries and packages come from the MinGW root and from the Windows Qt
# named in CMAKE_PREFIX_PATH, never from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VELM_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt for Windows takes moc, uic and rcc from the build machine's Qt of the
# same version: Debian's.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")

# Test programs run under Wine when it is there.
find_program(VELM_WINE NAMES wine wine64)
if(VELM_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_WINE})
endif()
