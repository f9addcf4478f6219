# shellcheck shell=bash
# Sourced by the commands that build for Windows, with chroot.sh and
# common.sh: the chroot set up for cross-building, with the checkout at
# /velm/src (read-only, but for its build-windows/) and the Windows Qt.
#
# VELM_WINDOWS_QT_CACHE    where the Windows Qt is kept between runs (default
#                          /var/cache/velm/windows-qt), in a folder of root's
#                          that only root may enter
# VELM_WINDOWS_QT_ARCHIVE  an archive made by scripts/windows-qt-archive.sh,
#                          or a folder holding one per version, used when the
#                          cache has no Qt of the chroot's version
#
# An archive holds <version>/ (the installed Qt with its .velm-qt-ready
# marker) and mingw-w64-x86_64.cmake (the toolchain file that Qt's CMake
# files name), exactly as they lie in the cache. Beside it lies
# <archive>.sha256 in the form sha256sum writes.
source "$(dirname "${BASH_SOURCE[0]}")/chroot.sh"

velm_windows_qt_cache() {
    local cache="${VELM_WINDOWS_QT_CACHE:-/var/cache/velm/windows-qt}"
    printf '%s\n' "${cache%/}"
}

# velm_windows_qt_archive_name <version>
velm_windows_qt_archive_name() {
    printf 'qt-%s-mingw-w64-x86_64.tar.xz\n' "$1"
}

# velm_in_windows_chroot [NAME=VALUE...] <command>...: runs it inside, in
# the checkout, with VELM_WINDOWS_QT_PREFIX set for the presets.
velm_in_windows_chroot() {
    velm_in_chroot VELM_WINDOWS_QT_PREFIX="/velm/qt/$(velm_chroot_package_version qt6-base-dev)" \
        /usr/bin/env -C /velm/src "$@"
}

# velm_windows_enter [<source>]: the chroot with what cross-building,
# packaging and the checks under Wine need, and the source (the checkout,
# unless another tree is named), the checkout's build-windows/ and the Qt
# cache mounted inside.
velm_windows_enter() {
    local root cache
    root="$(velm_root)"
    cache="$(velm_windows_qt_cache)"
    velm_chroot_enter
    velm_private "$cache"
    velm_install --in velm_in_chroot build windows
    # The lifecycle runs the installer in a Russian session, as on an operator's PC.
    velm_in_chroot locale -a | grep -qx ru_RU.utf8 || velm_in_chroot localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
    velm_log "host Qt in the chroot: $(velm_chroot_package_version qt6-base-dev --debian)"
    mkdir -p "$cache" "$root/build-windows"
    velm_chroot_bind "${1:-$root}" /velm/src ro
    velm_chroot_bind "$root/build-windows" /velm/src/build-windows
    velm_chroot_bind "$cache" /velm/qt
}

# velm_windows_qt: the Windows Qt of the chroot's version in the cache:
# kept from an earlier run, unpacked from VELM_WINDOWS_QT_ARCHIVE, or built
# once from Debian's qt6-base source (about an hour on two cores).
velm_windows_qt() {
    local cache version archive="${VELM_WINDOWS_QT_ARCHIVE:-}" started=$SECONDS
    cache="$(velm_windows_qt_cache)"
    version="$(velm_chroot_package_version qt6-base-dev)"
    [ ! -f "$cache/$version/.velm-qt-ready" ] || { velm_log "reusing Qt $version for Windows in $cache/$version"; return 0; }
    if [ -n "$archive" ]; then
        [ ! -d "$archive" ] || archive="${archive%/}/$(velm_windows_qt_archive_name "$version")"
        velm_windows_qt_unpack "$archive" "$cache" "$version"
        return 0
    fi
    velm_log "building Qt $version for Windows into $cache/$version (once; takes long)"
    velm_in_chroot cmake -DCACHE=/velm/qt -DPREFIX="/velm/qt/$version" \
        -DPACKAGE_VERSION="$(velm_chroot_package_version qt6-base-dev --debian)" \
        -DMIRROR="$(velm_chroot_mirror)" -DSUITE="$velm_chroot_suite" \
        -DTOOLCHAIN=/velm/src/cmake/toolchains/mingw-w64-x86_64.cmake -P /velm/src/packaging/windows/BuildQt.cmake
    echo "built from Debian's qt6-base $(velm_chroot_package_version qt6-base-dev --debian)" \
        >"$cache/$version/.velm-qt-origin"
    velm_log "Qt for Windows built in $((SECONDS - started)) s"
}

# velm_windows_qt_origin: where the cache's Windows Qt came from, for a
# release's build info: the archive it was unpacked from, or the source.
velm_windows_qt_origin() {
    local version
    version="$(velm_chroot_package_version qt6-base-dev)"
    cat "$(velm_windows_qt_cache)/$version/.velm-qt-origin" 2>/dev/null || echo "Qt $version, origin not recorded"
}

# The version an unpacked Qt says it is, from its CMake package files.
velm_windows_qt_tree_version() {
    sed -n 's/^set(PACKAGE_VERSION "\([0-9.]*\)")$/\1/p' "$1/lib/cmake/Qt6/Qt6ConfigVersionImpl.cmake" \
        "$1/lib/cmake/Qt6/Qt6ConfigVersion.cmake" 2>/dev/null | head -n 1
}

# velm_windows_qt_unpack <archive> <cache> <version>: checks the archive
# against the digest that the .sha256 beside it gives for its name, and
# that it holds a finished Qt of the chroot's own version (the chroot's
# moc, uic and rcc must match the libraries), then unpacks it into the
# cache. A failure, said in a line, ends the command and leaves the cache
# as it was.
velm_windows_qt_unpack() {
    local archive=$1 cache=$2 version=$3 staging found digest
    velm_log "checking the SHA-256 of $archive"
    digest="$(awk -v name="$(basename "$archive")" '$2 == name || $2 == "*" name { print $1 }' "$archive.sha256" \
        2>/dev/null || true)"
    if [ -z "$digest" ] || [ "$(sha256sum <"$archive" | cut -d' ' -f1)" != "$digest" ]; then
        velm_log "VELM_WINDOWS_QT_ARCHIVE names no archive whose SHA-256 the .sha256 beside it gives: $archive" \
            "(without it, Qt $version is built from source, about an hour)"
        exit 2
    fi
    # What an unpack that failed or was killed left.
    rm -rf "$cache"/.unpack.*
    staging="$(mktemp -d "$cache/.unpack.XXXXXX")"
    tar -xJf "$archive" -C "$staging" || { velm_log "unpacking $archive failed; the cache is left as it was"; exit 2; }
    found="$(velm_windows_qt_tree_version "$staging/$version")"
    if [ ! -f "$staging/$version/.velm-qt-ready" ] || [ "$found" != "$version" ] \
        || [ ! -f "$staging/mingw-w64-x86_64.cmake" ]; then
        velm_log "the Qt archive holds no finished Qt $version, the chroot's version, whose moc must match the" \
            "libraries; it holds: $(find "$staging" -mindepth 1 -maxdepth 1 -printf '%f ')${found:+(Qt $found)}"
        exit 2
    fi
    echo "archive $(basename "$archive"), SHA-256 $digest" >"$staging/$version/.velm-qt-origin"
    # An unfinished build of this version gives way to the archive's.
    rm -rf "${cache:?}/$version" "$cache/source" "$cache/build"
    mv "$staging/$version" "$cache/$version"
    mv -f "$staging/mingw-w64-x86_64.cmake" "$cache/mingw-w64-x86_64.cmake"
    rm -rf "$staging"
    velm_log "Qt $version for Windows unpacked from $archive into $cache"
}
