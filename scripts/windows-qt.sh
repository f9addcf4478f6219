# The Windows Qt that windows-check.sh builds, kept as an archive so that a
# machine with an empty cache need not build it again. Source it after
# common.sh; it defines functions only.
#
# An archive holds <version>/ (the installed Qt with its .velm-qt-ready
# marker) and mingw-w64-x86_64.cmake (the toolchain file that Qt's CMake
# files name), exactly as they lie in the cache. Beside it lies
# <archive>.sha256 in the form sha256sum writes.

# velm_windows_qt_archive_name <version>
velm_windows_qt_archive_name() {
    printf 'qt-%s-mingw-w64-x86_64.tar.xz' "$1"
}

# The version an unpacked Qt says it is, from its CMake package files.
velm_windows_qt_tree_version() {
    sed -n 's/^set(PACKAGE_VERSION "\([0-9.]*\)")$/\1/p' "$1/lib/cmake/Qt6/Qt6ConfigVersionImpl.cmake" \
        "$1/lib/cmake/Qt6/Qt6ConfigVersion.cmake" 2>/dev/null | head -n 1
}

# velm_windows_qt_unpack <archive> <cache> <version>: checks the archive's
# SHA-256 and that it holds a finished Qt of the chroot's own version (the
# chroot's moc, uic and rcc must match the libraries), then unpacks it into
# the cache. Anything half done is removed, so that a failure leaves the
# cache as it was.
velm_windows_qt_unpack() {
    local archive=$1 cache=$2 version=$3 checksum expected actual staging found
    checksum="$archive.sha256"
    if [ ! -f "$archive" ]; then
        velm_log "VELM_WINDOWS_QT_ARCHIVE names no file: $archive"
        return 1
    fi
    if [ ! -f "$checksum" ]; then
        velm_log "no checksum beside the Qt archive: $checksum is missing"
        return 1
    fi
    expected="$(awk 'NR == 1 { print tolower($1) }' "$checksum")"
    if ! [[ "$expected" =~ ^[0-9a-f]{64}$ ]]; then
        velm_log "$checksum holds no SHA-256"
        return 1
    fi
    velm_log "checking the SHA-256 of $archive"
    actual="$(sha256sum "$archive" | awk '{ print $1 }')"
    if [ "$actual" != "$expected" ]; then
        velm_log "the Qt archive is damaged or not the one $checksum describes: SHA-256 $actual, expected $expected"
        return 1
    fi

    staging="$(mktemp -d "$cache/.unpack.XXXXXX")"
    if ! tar -xJf "$archive" -C "$staging"; then
        rm -rf "$staging"
        velm_log "could not unpack $archive"
        return 1
    fi
    if [ ! -f "$staging/$version/.velm-qt-ready" ] || [ ! -f "$staging/mingw-w64-x86_64.cmake" ]; then
        found="$(find "$staging" -mindepth 1 -maxdepth 1 -printf '%f ' 2>/dev/null)"
        rm -rf "$staging"
        velm_log "the Qt archive holds no finished Qt $version (it holds: ${found:-nothing}); the chroot's Qt is $version, and its moc must match the libraries"
        return 1
    fi
    found="$(velm_windows_qt_tree_version "$staging/$version")"
    if [ "$found" != "$version" ]; then
        rm -rf "$staging"
        velm_log "the Qt in the archive says it is '${found:-unknown}', but the chroot's Qt is $version"
        return 1
    fi
    # An unfinished build of this version gives way to the archive's.
    rm -rf "${cache:?}/$version" "$cache/source" "$cache/build"
    mv "$staging/$version" "$cache/$version"
    mv -f "$staging/mingw-w64-x86_64.cmake" "$cache/mingw-w64-x86_64.cmake"
    rm -rf "$staging"
    velm_log "Qt $version for Windows unpacked from $archive into $cache"
}

# velm_windows_qt_pack <cache> <version> <output folder>: writes the archive,
# its .sha256 and a README that says what it holds.
velm_windows_qt_pack() {
    local cache=$1 version=$2 output=$3 name partial
    name="$(velm_windows_qt_archive_name "$version")"
    if [ ! -f "$cache/$version/.velm-qt-ready" ] || [ ! -f "$cache/mingw-w64-x86_64.cmake" ]; then
        velm_log "no finished Qt $version in $cache: run scripts/windows-check.sh first"
        return 1
    fi
    if [ "$(velm_windows_qt_tree_version "$cache/$version")" != "$version" ]; then
        velm_log "the Qt in $cache/$version does not say it is $version"
        return 1
    fi
    mkdir -p "$output"
    partial="$output/.$name.partial"
    velm_log "packing Qt $version from $cache into $output/$name"
    # Sorted names, no owners and one time stamp: the same tree gives the
    # same archive.
    tar -C "$cache" --sort=name --owner=0 --group=0 --numeric-owner --mtime='@0' \
        -cf - "$version" mingw-w64-x86_64.cmake | xz -T0 -6 > "$partial"
    mv -f "$partial" "$output/$name"
    (cd "$output" && sha256sum "$name" > "$name.sha256")
    local package="${VELM_WINDOWS_QT_PACKAGE_VERSION:-version unknown}" sum
    sum="$(awk '{ print $1 }' "$output/$name.sha256")"
    cat > "$output/README.md" <<README
# A prebuilt Qt for Windows x86-64 (MinGW-w64), for the Windows check

\`scripts/windows-check.sh\` builds this Qt itself from Debian's source when
its cache is empty, which takes about an hour on two cores. This archive
holds the result of such a build, so that a machine with nothing cached can
skip that hour: name it in \`VELM_WINDOWS_QT_ARCHIVE\`.

- Qt: $version, shared, Release, cross-built with MinGW-w64 (posix g++) from
  the \`qt6-base\` source package of the Debian 13 chroot
  ($package). The host tools
  (moc, uic, rcc) are that chroot's own Qt $version, so the archive is only
  used where the chroot's Qt is $version.
- Made by: \`scripts/windows-qt-archive.sh\`, from the cache
  \`$cache\`, on $(date -u +%Y-%m-%d).
- Contents: \`$version/\` (the installed Qt with its \`.velm-qt-ready\` marker)
  and \`mingw-w64-x86_64.cmake\` (the toolchain file that the Qt's CMake files
  refer to). No source or build folder.
- SHA-256: \`$sum\`
  (\`$name.sha256\` beside it; \`sha256sum -c $name.sha256\` checks it).
README
    velm_log "wrote $output/$name ($(du -h "$output/$name" | cut -f1)), $name.sha256 and README.md"
}
