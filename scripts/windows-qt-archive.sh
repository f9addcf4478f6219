#!/usr/bin/env bash
# Writes the Windows Qt that scripts/windows-check.sh built into its cache as
# an archive, with its .sha256 and a README, for VELM_WINDOWS_QT_ARCHIVE on
# machines where nothing is cached yet.
#
#   scripts/windows-qt-archive.sh <output folder>
#
# VELM_WINDOWS_QT_CACHE    the cache to read (default /var/tmp/velm-windows-qt)
# VELM_WINDOWS_QT_VERSION  which Qt of the cache, when it holds several
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/windows-qt.sh"

if [ $# -ne 1 ]; then
    echo "usage: $0 <output folder>" >&2
    exit 2
fi
output=$1
qt_cache="${VELM_WINDOWS_QT_CACHE:-/var/tmp/velm-windows-qt}"
qt_cache="${qt_cache%/}"

version="${VELM_WINDOWS_QT_VERSION:-}"
if [ -z "$version" ]; then
    versions=()
    for marker in "$qt_cache"/*/.velm-qt-ready; do
        [ -f "$marker" ] && versions+=("$(basename "$(dirname "$marker")")")
    done
    if [ "${#versions[@]}" -eq 0 ]; then
        velm_log "no finished Qt in $qt_cache: run scripts/windows-check.sh first"
        exit 1
    elif [ "${#versions[@]}" -gt 1 ]; then
        velm_log "$qt_cache holds Qt ${versions[*]}: name one in VELM_WINDOWS_QT_VERSION"
        exit 2
    fi
    version=${versions[0]}
fi

# The Debian package the Qt was built from, for the README, when the chroot
# that built it is still there.
chroot_dir="${VELM_TRIXIE_ROOT:-/var/tmp/velm-trixie}"
if [ -z "${VELM_WINDOWS_QT_PACKAGE_VERSION:-}" ] && [ -x "$chroot_dir/usr/bin/dpkg-query" ]; then
    VELM_WINDOWS_QT_PACKAGE_VERSION="$(dpkg-query --admindir="$chroot_dir/var/lib/dpkg" -W -f='${Version}' \
        qt6-base-dev 2>/dev/null || true)"
fi
export VELM_WINDOWS_QT_PACKAGE_VERSION

velm_windows_qt_pack "$qt_cache" "$version" "$output"
