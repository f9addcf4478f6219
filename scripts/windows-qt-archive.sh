#!/usr/bin/env bash
# Usage: scripts/windows-qt-archive.sh <output folder>
#
# Writes the Windows Qt that scripts/windows-check.sh built into its cache
# as an archive, with its .sha256 and a README, for VELM_WINDOWS_QT_ARCHIVE
# on machines where nothing is cached yet.
#
# VELM_WINDOWS_QT_CACHE    the cache to read (default /var/cache/velm/windows-qt)
# VELM_WINDOWS_QT_VERSION  which Qt of the cache (default: its newest)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"

[ $# -eq 1 ] || { echo "usage: $0 <output folder>" >&2; exit 2; }
output=$1
cache="$(velm_windows_qt_cache)"
# The newest finished Qt of the cache, unless one is named.
version="${VELM_WINDOWS_QT_VERSION:-$(find "$cache" -mindepth 2 -maxdepth 2 -name .velm-qt-ready -printf '%h\n' \
    2>/dev/null | xargs -r -n1 basename | sort -V | tail -n 1 || true)}"
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
printf '%s\n' "Qt $version for Windows x86-64 (MinGW-w64), cross-built from Debian 13's qt6-base $package by" \
    "scripts/windows-check.sh; name this folder in VELM_WINDOWS_QT_ARCHIVE (README, \"Qt for Windows\")." >"$output/README.md"
velm_log "wrote $output/$name ($(du -h "$output/$name" | cut -f1)), $name.sha256 and README.md"
