# Builds Qt for Windows x86-64 from Debian's qt6-base source package, inside
# the Debian 13 chroot whose host Qt provides moc, uic and rcc of the same
# version (about an hour on two cores):
#   cmake -DCACHE=<folder> -DPACKAGE_VERSION=<Debian version> -DMIRROR=<url> -DSUITE=<suite>
#         -DPREFIX=<install folder> -DTOOLCHAIN=<toolchain file> -P BuildQt.cmake
# An interrupted run goes on where it stopped. Finished, PREFIX holds the
# marker .velm-qt-ready, and the source and build folders are gone.
cmake_minimum_required(VERSION 3.21)

# A source list of our own: the chroot's apt sources stay as they are.
set(apt "${CACHE}/apt")
file(MAKE_DIRECTORY "${apt}/lists/partial" "${apt}/sources.list.d")
file(WRITE "${apt}/sources.list" "deb-src ${MIRROR} ${SUITE} main\n")
set(apt_options -o "Dir::Etc::SourceList=${apt}/sources.list" -o "Dir::Etc::SourceParts=${apt}/sources.list.d"
    -o "Dir::State::Lists=${apt}/lists")

file(GLOB source LIST_DIRECTORIES true "${CACHE}/source/qt6-base-*")
if(NOT source)
    execute_process(COMMAND apt-get ${apt_options} update -qq COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${CACHE}/source" "${CACHE}/build")
    file(MAKE_DIRECTORY "${CACHE}/source")
    execute_process(COMMAND apt-get ${apt_options} source -qq "qt6-base=${PACKAGE_VERSION}"
        WORKING_DIRECTORY "${CACHE}/source" COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB source LIST_DIRECTORIES true "${CACHE}/source/qt6-base-*")
endif()

# Qt 6.8.2 asks for the software OpenGL check even without OpenGL.
set(window "${source}/src/plugins/platforms/windows/qwindowswindow.cpp")
file(READ "${window}" text)
string(REPLACE "\n#if QT_CONFIG(dynamicgl)\n" "\n#if QT_CONFIG(dynamicgl) && QT_CONFIG(opengl)\n" text "${text}")
file(WRITE "${window}" "${text}")

# The Qt kept in the cache must not depend on where this tree lies.
file(COPY_FILE "${TOOLCHAIN}" "${CACHE}/mingw-w64-x86_64.cmake")
# Only what the two programs and their tests use; the rest would double
# the build time. Qt's own copies of zlib and the like, so that no further
# DLL has to ship. Debian's source lacks the Wintab header: no tablet input.
execute_process(COMMAND ${CMAKE_COMMAND} -S "${source}" -B "${CACHE}/build" -G Ninja
    "-DCMAKE_TOOLCHAIN_FILE=${CACHE}/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_INSTALL_PREFIX=${PREFIX}"
    -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DQT_BUILD_BENCHMARKS=OFF -DQT_GENERATE_SBOM=OFF
    -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF
    -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
    -DFEATURE_vulkan=OFF -DFEATURE_jpeg=OFF -DFEATURE_openssl=OFF
    -DFEATURE_tabletevent=OFF
    -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
    COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build "${CACHE}/build" --parallel COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --install "${CACHE}/build" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${CACHE}/source" "${CACHE}/build")
file(TOUCH "${PREFIX}/.velm-qt-ready")
