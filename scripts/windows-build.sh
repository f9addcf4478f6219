# Shared by windows-check.sh and release.sh: the Debian 13 chroot of
# trixie.sh set up for cross-building, the Windows Qt, and the folder, zip
# and installer that ship. Source it after common.sh and trixie.sh; it
# defines functions and variables only.
#
# VELM_WINDOWS_QT_CACHE    where the Windows Qt is kept between runs
#                          (default /var/tmp/velm-windows-qt)
# VELM_WINDOWS_QT_ARCHIVE  a Qt archive made by scripts/windows-qt-archive.sh,
#                          or a folder holding one per version, used when the
#                          cache has no Qt of the chroot's version

source "$(dirname "${BASH_SOURCE[0]}")/windows-qt.sh"

# The inside of the chroot, as every step sees it.
src=/velm/src
cache=/velm/qt
work=/velm/out
toolchain=$src/cmake/toolchains/mingw-w64-x86_64.cmake

# velm_windows_enter: root, the chroot with what cross-building needs, the
# source (read-only), the Qt cache and build-windows/ mounted inside. Sets
# qt_cache, out, qt_version, qt_package_version, qt_prefix and cross_args.
velm_windows_enter() {
    qt_cache="${VELM_WINDOWS_QT_CACHE:-/var/tmp/velm-windows-qt}"
    qt_cache="${qt_cache%/}"
    out="$VELM_ROOT/build-windows"
    case "$qt_cache" in
        /?*) ;;
        *) velm_log "VELM_WINDOWS_QT_CACHE must be an absolute path, got '$qt_cache'"; exit 2 ;;
    esac

    trixie_enter
    trixie_install cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev python3 openssl \
        ca-certificates dpkg-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
        binutils-mingw-w64-x86-64 nsis wine wine64 xvfb xauth xdotool x11-utils imagemagick \
        fonts-dejavu-core icoutils zip procps locales
    # The lifecycle runs the installer in a Russian session, as on an operator's PC.
    in_chroot locale -a | grep -qx ru_RU.utf8 || in_chroot localedef -i ru_RU -f UTF-8 ru_RU.UTF-8

    qt_package_version="$(in_chroot dpkg-query -W -f='${Version}' qt6-base-dev)"
    qt_version="$(trixie_package_version qt6-base-dev)"
    velm_log "host Qt in the chroot: $qt_package_version"
    qt_prefix=$cache/$qt_version

    mkdir -p "$qt_cache" "$out"
    trixie_bind "$VELM_ROOT" "$src" ro
    trixie_bind "$qt_cache" "$cache"
    trixie_bind "$out" "$work"

    cross_args=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$qt_prefix"
                -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
                -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_BENCH=OFF)
}

# velm_windows_qt: the Windows Qt of the chroot's version in the cache: kept
# from an earlier run, unpacked from VELM_WINDOWS_QT_ARCHIVE, or built once
# from Debian's qt6-base source (about an hour on two cores).
velm_windows_qt() {
    local archive="${VELM_WINDOWS_QT_ARCHIVE:-}"
    if [ -f "$qt_cache/$qt_version/.velm-qt-ready" ]; then
        velm_log "reusing Qt $qt_version for Windows in $qt_cache/$qt_version"
        return 0
    fi
    if [ -n "$archive" ]; then
        [ -d "$archive" ] && archive="${archive%/}/$(velm_windows_qt_archive_name "$qt_version")"
        if ! velm_windows_qt_unpack "$archive" "$qt_cache" "$qt_version"; then
            velm_log "without VELM_WINDOWS_QT_ARCHIVE, Qt $qt_version is built from source (about an hour);" \
                "scripts/windows-qt-archive.sh then writes an archive of it"
            exit 2
        fi
        return 0
    fi
    velm_log "building Qt $qt_version for Windows into $qt_cache/$qt_version (once; takes long)"
    qt_started=$SECONDS
    in_chroot bash -euo pipefail -c '
        cache=$1; package_version=$2; mirror=$3; suite=$4; prefix=$5; toolchain=$6
        # A source list of our own: the chroot'"'"'s apt sources stay as they are.
        apt=$cache/apt
        mkdir -p "$apt/lists/partial" "$apt/sources.list.d"
        printf "deb-src %s %s main\n" "$mirror" "$suite" > "$apt/sources.list"
        options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
                 -o "Dir::State::Lists=$apt/lists")
        # An interrupted run goes on where it stopped.
        source_dir=""
        if [ -d "$cache/source" ]; then
            source_dir=$(find "$cache/source" -mindepth 1 -maxdepth 1 -type d -name "qt6-base-*" | head -n 1)
        fi
        if [ -z "$source_dir" ]; then
            apt-get "${options[@]}" update -qq
            rm -rf "$cache/source" "$cache/build"
            mkdir -p "$cache/source"
            (cd "$cache/source" && apt-get "${options[@]}" source -qq "qt6-base=$package_version")
            source_dir=$(find "$cache/source" -mindepth 1 -maxdepth 1 -type d -name "qt6-base-*" | head -n 1)
        fi
        # Qt 6.8.2 asks for the software OpenGL check even without OpenGL.
        sed -i "s/^#if QT_CONFIG(dynamicgl)\$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/" \
            "$source_dir/src/plugins/platforms/windows/qwindowswindow.cpp"
        # The Qt kept in the cache must not depend on where this tree lies.
        cp "$toolchain" "$cache/mingw-w64-x86_64.cmake"
        # Only what the two programs and their tests use; the rest would
        # double the build time. Qt'"'"'s own copies of zlib and the like, so
        # that no further DLL has to ship. Debian'"'"'s source lacks the
        # Wintab header, so no tablet input.
        cmake -S "$source_dir" -B "$cache/build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$cache/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$prefix" \
            -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
            -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
            -DQT_BUILD_BENCHMARKS=OFF -DQT_GENERATE_SBOM=OFF \
            -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF \
            -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
            -DFEATURE_vulkan=OFF -DFEATURE_jpeg=OFF -DFEATURE_openssl=OFF \
            -DFEATURE_tabletevent=OFF \
            -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
            -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
        cmake --build "$cache/build" --parallel "$(nproc)"
        cmake --install "$cache/build"
        rm -rf "$cache/source" "$cache/build"
    ' build-qt "$cache" "$qt_package_version" "$trixie_mirror" "$trixie_suite" "$qt_prefix" "$toolchain"
    touch "$qt_cache/$qt_version/.velm-qt-ready"
    velm_log "Qt for Windows built in $((SECONDS - qt_started)) s"
}

# velm_windows_build <build folder> [cmake arguments...]: configures (anew
# when the folder is new) and cross-builds the project; paths in the chroot.
velm_windows_build() {
    local build=$1
    shift
    in_chroot bash -euo pipefail -c '
        src=$1; build=$2; shift 2
        cmake -S "$src" -B "$build" "$@" -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/wine >/dev/null
        cmake --build "$build" --parallel "$(nproc)"
    ' cross-build "$src" "$build" "${cross_args[@]}" "$@"
}

# velm_windows_install <build folder> <folder>: installs the folder that
# ships, anew. Debian's MinGW runtime and this Qt carry their debug sections,
# which no operator needs: stripped, the folder shrinks to less than half.
# The unstripped programs stay in the build folder.
velm_windows_install() {
    rm -rf --one-file-system "${trixie_dir:?}$2"
    in_chroot cmake --install "$1" --prefix "$2" >/dev/null
    in_chroot find "$2" \( -iname "*.exe" -o -iname "*.dll" \) \
        -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
}

# velm_windows_check_program <exe in the chroot>: prints what is wrong with a
# program that ships: it must be x86-64, GUI subsystem, with an embedded
# manifest asking for asInvoker and common controls 6.0.0.0.
velm_windows_check_program() {
    local exe=$1 name headers manifest
    name="$(basename "$exe")"
    headers="$(in_chroot x86_64-w64-mingw32-objdump -f -p "$exe" 2>&1)"
    grep -q 'file format pei-x86-64' <<<"$headers" || echo "$name is not an x86-64 program"
    grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' <<<"$headers" \
        || echo "$name is not a GUI-subsystem program"
    manifest="$(in_chroot wrestool -x --raw --type=24 "$exe" 2>/dev/null || true)"
    grep -q 'level="asInvoker"' <<<"$manifest" || echo "$name: no asInvoker manifest"
    grep -q 'name="Microsoft.Windows.Common-Controls"' <<<"$manifest" && grep -q 'version="6.0.0.0"' <<<"$manifest" \
        || echo "$name: manifest does not ask for common controls 6.0.0.0"
}

# velm_windows_release <folder> <release number> <address> <release folder>:
# what is uploaded for a release, from an installed folder (chroot paths):
#   OperatorVelm-<N>-setup.exe  the installer (cmake/windows/installer.nsi)
#   OperatorVelm-<N>.zip        the folder itself, for copying by hand
#   Version.json                {"Version": N, "URL": "<address>OperatorVelm-<N>-setup.exe"}
velm_windows_release() {
    in_chroot bash -euo pipefail -c '
        folder=$1; number=$2; address=$3; release=$4; script=$5
        setup=OperatorVelm-$number-setup.exe
        rm -rf "$release"
        mkdir -p "$release"
        lists=$(mktemp -d)

        # Every file and sub-folder of the folder, for the installer: what
        # it checks and writes is exactly what the uninstaller removes,
        # sub-folders last and only when empty.
        python3 - "$folder" "$lists/files.nsh" <<"PYTHON"
import os, sys
folder, out = sys.argv[1], sys.argv[2]
files, folders = [], []
for root, subfolders, names in os.walk(folder):
    subfolders.sort()
    relative = os.path.relpath(root, folder)
    target = "$INSTDIR" if relative == "." else "$INSTDIR\\" + relative.replace("/", "\\")
    if relative != ".":
        folders.append(target)
    for name in sorted(names):
        path = os.path.relpath(os.path.join(root, name), folder).replace("/", "\\")
        files.append("    !insertmacro ${MACRO} \"%s\" \"%s\"" % (target, path))
folders = ["    !insertmacro ${MACRO} \"%s\"" % target for target in sorted(folders, reverse=True)]
with open(out, "w", encoding="utf-8") as nsh:
    for name, lines in (("VelmEachFile", files), ("VelmEachSubFolder", folders)):
        nsh.write("!macro %s MACRO\n%s\n!macroend\n" % (name, "\n".join(lines)))
PYTHON
        size_kb=$(du -sk "$folder" | cut -f1)
        # The numeric file version has 16-bit parts, as in the programs.
        file_version=$number
        [ "$number" -le 65535 ] || file_version=0
        makensis -V2 -WX -DVELM_RELEASE="$number" -DVELM_FILE_VERSION="$file_version" -DVELM_FOLDER="$folder" \
            -DVELM_FILE_LIST="$lists/files.nsh" -DVELM_SIZE_KB="$size_kb" \
            -DVELM_OUTFILE="$release/$setup" "$script"
        rm -rf "$lists"

        staging=$(mktemp -d)
        cp -a "$folder" "$staging/OperatorVelm"
        (cd "$staging" && zip -qrX "$release/OperatorVelm-$number.zip" OperatorVelm)
        rm -rf "$staging"

        python3 - "$number" "$address$setup" "$release/Version.json" <<"PYTHON"
import json, sys
number, url, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
with open(path, "w", encoding="utf-8") as manifest:
    json.dump({"Version": number, "URL": url}, manifest, ensure_ascii=False)
    manifest.write("\n")
PYTHON
    ' release "$1" "$2" "$3" "$4" "$src/cmake/windows/installer.nsi"
}
