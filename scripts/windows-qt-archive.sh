#!/usr/bin/env bash
# Usage: scripts/windows-qt-archive.sh <output folder>
#
# Writes the Windows Qt that scripts/windows-check.sh built into its cache
# as an archive, with its .sha256 and a README, for VELM_WINDOWS_QT_ARCHIVE
# on machines where nothing is cached yet.
#
# VELM_WINDOWS_QT_CACHE    the cache to read (default /var/tmp/velm-windows-qt)
# VELM_WINDOWS_QT_VERSION  which Qt of the cache, when it holds several
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/chroot.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"

if [ $# -ne 1 ]; then
    echo "usage: $0 <output folder>" >&2
    exit 2
fi
output=$1
cache="$(velm_windows_qt_cache)"
version="${VELM_WINDOWS_QT_VERSION:-}"
if [ -z "$version" ]; then
    versions=()
    for marker in "$cache"/*/.velm-qt-ready; do
        [ ! -f "$marker" ] || versions+=("$(basename "$(dirname "$marker")")")
    done
    if [ "${#versions[@]}" -ne 1 ]; then
        velm_log "$cache holds ${#versions[@]} finished Qts (${versions[*]}): run scripts/windows-check.sh first," \
            "or name one in VELM_WINDOWS_QT_VERSION"
        exit 2
    fi
    version=${versions[0]}
fi
if [ ! -f "$cache/$version/.velm-qt-ready" ] || [ ! -f "$cache/mingw-w64-x86_64.cmake" ] \
    || [ "$(velm_windows_qt_tree_version "$cache/$version")" != "$version" ]; then
    velm_log "no finished Qt $version in $cache: run scripts/windows-check.sh first"
    exit 1
fi
# The Debian package the Qt was built from, when the chroot that built it is still there.
package="$(dpkg-query --admindir="$(velm_chroot_dir)/var/lib/dpkg" -W -f='${Version}' qt6-base-dev 2>/dev/null \
    || echo "version unknown")"

name="$(velm_windows_qt_archive_name "$version")"
mkdir -p "$output"
velm_log "packing Qt $version from $cache into $output/$name"
# Sorted names, no owners and one time stamp: the same tree gives the same archive.
tar -C "$cache" --sort=name --owner=0 --group=0 --numeric-owner --mtime='@0' \
    -cf - "$version" mingw-w64-x86_64.cmake | xz -T0 -6 >"$output/.$name.partial"
mv -f "$output/.$name.partial" "$output/$name"
(cd "$output" && sha256sum "$name" >"$name.sha256")
cat >"$output/README.md" <<README
# A prebuilt Qt for Windows x86-64 (MinGW-w64), for the Windows check

\`scripts/windows-check.sh\` builds this Qt itself from Debian's source when
its cache is empty, which takes about an hour on two cores. This archive
holds the result of such a build, so that a machine with nothing cached can
skip that hour: name it in \`VELM_WINDOWS_QT_ARCHIVE\`.

- Qt: $version, shared, Release, cross-built with MinGW-w64 (posix g++) from
  the \`qt6-base\` source package of the Debian 13 chroot ($package). The
  host tools (moc, uic, rcc) are that chroot's own Qt $version, so the
  archive is only used where the chroot's Qt is $version.
- Made by: \`scripts/windows-qt-archive.sh\`, from the cache \`$cache\`, on
  $(date -u +%Y-%m-%d).
- Contents: \`$version/\` (the installed Qt with its \`.velm-qt-ready\` marker)
  and \`mingw-w64-x86_64.cmake\` (the toolchain file that the Qt's CMake files
  refer to). No source or build folder.
- SHA-256: \`$(cut -d' ' -f1 "$output/$name.sha256")\` (\`$name.sha256\` beside it;
  \`sha256sum -c $name.sha256\` checks it).
README
velm_log "wrote $output/$name ($(du -h "$output/$name" | cut -f1)), $name.sha256 and README.md"
