#!/usr/bin/env bash
# Usage: sudo VELM_RELEASE_NUMBER=<N> VELM_UPDATE_HOST=<host> [VELM_...] scripts/release.sh
#
# Makes a release of the Windows deliverable, ready to upload: the workflow
# preset windows-release (packaging/windows/Release.cmake) in the chroot of
# the Windows check, whose Windows Qt it uses (and makes, if needed). Root
# only. It leaves the installer, the zip and Version.json in
# build-windows/release/<N>/. The release variables (VELM_RELEASE_NUMBER,
# VELM_UPDATE_HOST, VELM_RELEASE_URL, VELM_RELEASE_DIR, VELM_SIGNING_KEY,
# VELM_UPDATE_KEY) are those of the README, "Releasing an update"; the
# others are those of lib/chroot.sh and lib/windows.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"
velm_require_root "debootstrap, chroot and mount need it"

root="$(velm_root)"
release_dir="${VELM_RELEASE_DIR:-$root/build-windows/release}"
release_dir="${release_dir%/}"
# The chroot sees build-windows/ only.
case "$release_dir" in
    "$root/build-windows"/*) ;;
    *) velm_log "release refused: VELM_RELEASE_DIR must lie inside $root/build-windows, got '$release_dir'"; exit 2 ;;
esac

# The release's time is its commit's, so that anyone who builds the commit
# gets the same bytes; outside git, SOURCE_DATE_EPOCH if given.
epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null || printf '%s' "${SOURCE_DATE_EPOCH:-}")"
umask 022
started=$SECONDS
velm_windows_enter
velm_windows_qt
# The private keys are seen inside only while this runs, and only in memory
# (the chroot shares this machine's /dev/shm).
secrets="$(mktemp -d /dev/shm/velm-signing.XXXXXX)"
trap 'rm -rf "$secrets"; velm_chroot_unmount' EXIT
# velm_secret <file> <name>: a copy of it in memory, its path inside.
velm_secret() {
    [ -n "$1" ] || return 0
    install -m 600 "$1" "$secrets/$2"
    printf '%s\n' "$secrets/$2"
}
keys=()
IFS=, read -ra given <<<"${VELM_SIGNING_KEY:-}"
for key in "${given[@]}"; do
    keys+=("$(velm_secret "$key" "key-${#keys[@]}.pem")")
done
velm_in_windows_chroot VELM_RELEASE_NUMBER="${VELM_RELEASE_NUMBER:-}" VELM_UPDATE_HOST="${VELM_UPDATE_HOST:-}" \
    VELM_RELEASE_URL="${VELM_RELEASE_URL:-}" VELM_RELEASE_DIR="/velm/src${release_dir#"$root"}" \
    VELM_SIGNING_KEY="$(IFS=,; echo "${keys[*]}")" VELM_UPDATE_KEY="${VELM_UPDATE_KEY:-}" \
    VELM_AUTHENTICODE_CERT="$(velm_secret "${VELM_AUTHENTICODE_CERT:-}" "authenticode-${VELM_AUTHENTICODE_CERT##*/}")" \
    VELM_AUTHENTICODE_KEY="$(velm_secret "${VELM_AUTHENTICODE_KEY:-}" authenticode-key)" \
    VELM_AUTHENTICODE_TIMESTAMP_URL="${VELM_AUTHENTICODE_TIMESTAMP_URL:-}" ${epoch:+SOURCE_DATE_EPOCH="$epoch"} \
    cmake --workflow --preset windows-release --fresh

folder="$release_dir/$VELM_RELEASE_NUMBER"
setup="OperatorVelm-$VELM_RELEASE_NUMBER-setup.exe"
velm_in_windows_chroot cmake -DPROGRAMS="/velm/src${folder#"$root"}/$setup" -P packaging/windows/CheckPrograms.cmake
velm_log "release $VELM_RELEASE_NUMBER in $folder, after $((SECONDS - started)) s:"
(cd "$folder" && ls -l --block-size=K "$setup" "OperatorVelm-$VELM_RELEASE_NUMBER.zip" Version.json) >&2
velm_log "upload all three to the address in Version.json, Version.json last: $(cat "$folder/Version.json")"
