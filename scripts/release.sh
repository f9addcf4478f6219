#!/usr/bin/env bash
# Usage: sudo VELM_RELEASE_NUMBER=<N> VELM_UPDATE_HOST=<host> [VELM_...] scripts/release.sh
#
# Makes a release of the Windows deliverable, ready to upload: the workflow
# preset windows-release (packaging/windows/Release.cmake) in the chroot of
# the Windows check, whose Windows Qt it uses (and makes, if needed). Root
# only. It leaves the installer, the zip and Version.json in
# build-windows/release/<N>/, with the build info that names its commit and
# toolchain. It refuses a checkout whose tracked files differ from their
# commit (VELM_RELEASE_WORKTREE=1 builds one all the same, for the Windows
# check, and says so in the build info), and a release without
# VELM_SIGNING_KEY unless VELM_UNSIGNED=1. The release variables are those
# of the README, "Releasing an update"; the others are those of
# lib/chroot.sh and lib/windows.sh.
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

# A release is its commit, and has the commit's time, so that anyone who
# builds the commit gets the same bytes; outside git, SOURCE_DATE_EPOCH.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    if ! commit="$(git -C "$root" rev-parse HEAD)" || ! epoch="$(git -C "$root" log -1 --format=%ct)"; then
        velm_log "release refused: the commit's id or time cannot be read"
        exit 2
    fi
    changed="$(git -C "$root" status --porcelain --untracked-files=no)"
    if [ -n "$changed" ] && [ "${VELM_RELEASE_WORKTREE:-}" != 1 ]; then
        velm_log "release refused: these tracked files differ from the commit $commit; commit or undo them:"
        printf '%s\n' "$changed" >&2
        exit 2
    fi
    [ -z "$changed" ] || note="built from a working tree that differs from the commit in: ${changed//$'\n'/,}"
else
    commit="none: not a git checkout"
    epoch="${SOURCE_DATE_EPOCH:-}"
    [ -n "$epoch" ] || { velm_log "release refused: outside git, SOURCE_DATE_EPOCH must give its time"; exit 2; }
fi
if [ -z "${VELM_SIGNING_KEY:-}" ]; then
    if [ "${VELM_UNSIGNED:-}" != 1 ]; then
        velm_log "release refused: no VELM_SIGNING_KEY. Sign it with VELM_SIGNING_KEY=<Ed25519 private key" \
            "in PEM>[,<another>] (README, \"Signed manifests\"), or make an unsigned release on purpose with" \
            "VELM_UNSIGNED=1: its programs would then offer any update that the update host names"
        exit 2
    fi
    velm_log "WARNING: an unsigned release (VELM_UNSIGNED=1): its programs offer any update the host names"
fi
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
    VELM_AUTHENTICODE_TIMESTAMP_URL="${VELM_AUTHENTICODE_TIMESTAMP_URL:-}" SOURCE_DATE_EPOCH="$epoch" \
    VELM_COMMIT="$commit" VELM_COMMIT_NOTE="${note:-}" VELM_WINDOWS_QT_ORIGIN="$(velm_windows_qt_origin)" \
    cmake --workflow --preset windows-release --fresh

folder="$release_dir/$VELM_RELEASE_NUMBER"
setup="OperatorVelm-$VELM_RELEASE_NUMBER-setup.exe"
velm_in_windows_chroot cmake -DPROGRAMS="/velm/src${folder#"$root"}/$setup" -P packaging/windows/CheckPrograms.cmake
velm_log "release $VELM_RELEASE_NUMBER in $folder, after $((SECONDS - started)) s:"
(cd "$folder" && ls -l --block-size=K "$setup" "OperatorVelm-$VELM_RELEASE_NUMBER.zip" Version.json build-info.txt) >&2
velm_log "upload all three to the address in Version.json, Version.json last: $(cat "$folder/Version.json")"
