#!/usr/bin/env bash
# Usage: sudo VELM_RELEASE_NUMBER=<N> VELM_UPDATE_HOST=<host> [VELM_...] scripts/release.sh
#
# Makes a release of the Windows deliverable, ready to upload: the workflow
# preset windows-release (packaging/windows/Release.cmake, which checks the
# release variables and keys first) in the chroot of the Windows check,
# whose Windows Qt it uses (and makes, if needed). Root only. It builds
# git archive of the commit, nothing else of the checkout, and leaves the
# installer, the zip and Version.json in build-windows/release/<N>/, with
# the build info that names its commit and toolchain. It refuses a
# checkout whose tracked files differ from their commit, or whose git
# fails (VELM_RELEASE_WORKTREE=1 builds the working tree as it is, for the
# Windows check, and says so in the build info). The release variables are
# those of the README, "Releasing an update"; the others are those of
# lib/chroot.sh and lib/windows.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"
velm_require_root "debootstrap, chroot and mount need it"

root="$(velm_root)"
release_dir="${VELM_RELEASE_DIR:-$root/build-windows/release}"
release_dir="${release_dir%/}"
# The chroot sees build-windows/ only.
[[ "$release_dir" == "$root/build-windows"/* ]] \
    || { velm_log "release refused: VELM_RELEASE_DIR must lie inside $root/build-windows, got '$release_dir'"; exit 2; }

# A release is its commit, and has the commit's time, so that anyone who
# builds the commit gets the same bytes; outside git, SOURCE_DATE_EPOCH.
umask 022
source="$root"
if [ -e "$root/.git" ]; then
    commit="$(git -C "$root" log -1 --format='%H %ct' 2>&1)" \
        || { velm_log "release refused: git fails in $root: $commit"; exit 2; }
    epoch="${commit#* }" commit="${commit%% *}"
    changed="$(git -C "$root" status --porcelain --untracked-files=no)"
    if [ "${VELM_RELEASE_WORKTREE:-}" = 1 ]; then
        note="the working tree, untracked files included${changed:+, which differs from the commit in: ${changed//$'\n'/,}}"
    elif [ -n "$changed" ]; then
        velm_log "release refused: these tracked files differ from the commit $commit; commit or undo them:"
        printf '%s\n' "$changed" >&2
        exit 2
    else
        # Only the commit's files: no untracked, skip-worktree or assume-unchanged one.
        source="$root/build-windows/.release-source"
        rm -rf --one-file-system "$source"
        mkdir -p "$source/build-windows"
        git -C "$root" archive "$commit" | tar -x -C "$source"
    fi
else
    commit="none: not a git checkout"
    epoch="${SOURCE_DATE_EPOCH:-}"
    [ -n "$epoch" ] || { velm_log "release refused: outside git, SOURCE_DATE_EPOCH must give its time"; exit 2; }
fi
started=$SECONDS
velm_windows_enter "$source"
velm_windows_qt
# A USB token answers through pcscd.
[ ! -d /run/pcscd ] || velm_chroot_bind /run/pcscd /run/pcscd
# The private keys and the PIN are seen inside only while this runs, only in
# memory and by root (the chroot shares this machine's /dev/shm).
secrets="$(mktemp -d /dev/shm/velm-signing.XXXXXX)"
trap 'rm -rf "$secrets"; velm_chroot_unmount' EXIT
# velm_secret <file> <name>: a copy of it in memory, its path inside; a
# token's pkcs11: URI or nothing as it is.
velm_secret() {
    case "$1" in "" | pkcs11:*) printf '%s\n' "$1" ;; *) install -m 600 "$1" "$secrets/$2" && echo "$secrets/$2" ;; esac
}
# Each item as it is given, an empty one too, for Release.cmake to judge.
keys=()
IFS=, read -ra given <<<"${VELM_SIGNING_KEY:-},"
for key in "${given[@]}"; do
    keys+=("$(velm_secret "$key" "key-${#keys[@]}.pem")")
done
velm_in_windows_chroot VELM_RELEASE_NUMBER="${VELM_RELEASE_NUMBER:-}" VELM_UPDATE_HOST="${VELM_UPDATE_HOST:-}" \
    VELM_RELEASE_URL="${VELM_RELEASE_URL:-}" VELM_RELEASE_DIR="/velm/src${release_dir#"$root"}" \
    VELM_SIGNING_KEY="$(IFS=,; echo "${keys[*]}")" VELM_UPDATE_KEY="${VELM_UPDATE_KEY:-}" \
    VELM_UNSIGNED="${VELM_UNSIGNED:-}" VELM_AUTHENTICODE_PKCS11_MODULE="${VELM_AUTHENTICODE_PKCS11_MODULE:-}" \
    VELM_AUTHENTICODE_CERT="$(velm_secret "${VELM_AUTHENTICODE_CERT:-}" "authenticode-${VELM_AUTHENTICODE_CERT:+${VELM_AUTHENTICODE_CERT##*/}}")" \
    VELM_AUTHENTICODE_KEY="$(velm_secret "${VELM_AUTHENTICODE_KEY:-}" authenticode-key)" \
    VELM_AUTHENTICODE_PIN_FILE="$(velm_secret "${VELM_AUTHENTICODE_PIN_FILE:-}" authenticode-pin)" \
    VELM_AUTHENTICODE_CA="$(velm_secret "${VELM_AUTHENTICODE_CA:-}" authenticode-ca.pem)" \
    VELM_AUTHENTICODE_TIMESTAMP_URL="${VELM_AUTHENTICODE_TIMESTAMP_URL:-}" SOURCE_DATE_EPOCH="$epoch" \
    VELM_AUTHENTICODE_NO_TIMESTAMP="${VELM_AUTHENTICODE_NO_TIMESTAMP:-}" VELM_COMMIT="$commit" \
    VELM_COMMIT_NOTE="${note:-}" VELM_WINDOWS_QT_ORIGIN="$(velm_windows_qt_origin)" \
    cmake --workflow --preset windows-release --fresh

folder="$release_dir/$VELM_RELEASE_NUMBER"
velm_log "release $VELM_RELEASE_NUMBER in $folder, after $((SECONDS - started)) s:"
ls -l --block-size=K "$folder" >&2
velm_log "upload the installer and the zip to the address in Version.json, Version.json last: $(cat "$folder/Version.json")"
