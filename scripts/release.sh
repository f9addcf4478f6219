#!/usr/bin/env bash
# Makes a release of the Windows deliverable, ready to upload. Root only,
# like windows-check.sh, whose chroot and Windows Qt it uses (made if
# needed). It cross-builds both programs for the given release and update
# host, installs the folder that ships and leaves in
# build-windows/release/<N>/:
#   OperatorVelm-<N>-setup.exe  the installer an operator double-clicks, or
#                               that Updater saves into tmp\ and that then
#                               updates the folder it was saved below
#   OperatorVelm-<N>.zip        the same folder, for copying by hand
#   Version.json                the manifest that offers it:
#                               {"Version": N, "URL": "<address>OperatorVelm-<N>-setup.exe"}
#
# VELM_RELEASE_NUMBER  N: a positive whole number, higher than the last release's
# VELM_UPDATE_HOST     host (or host:port) the programs ask for updates
# VELM_RELEASE_URL     the address the files are published under
#                      (default https://<host>/files/Velm/)
# VELM_RELEASE_DIR     where release/<N>/ goes (default build-windows/release)
# and the variables of windows-build.sh and trixie.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/trixie.sh"
source "$(dirname "${BASH_SOURCE[0]}")/windows-build.sh"

refuse() {
    velm_log "release refused: $*"
    exit 2
}

number="${VELM_RELEASE_NUMBER:-}"
# The update check reads "Version" as a signed 32-bit number.
if ! [[ "$number" =~ ^[1-9][0-9]{0,9}$ ]] || [ "$number" -gt 2147483647 ]; then
    refuse "VELM_RELEASE_NUMBER must be a positive whole number (at most 2147483647), got '$number'"
fi

host="${VELM_UPDATE_HOST:-}"
if ! [[ "$host" =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]{1,5})?$ ]]; then
    refuse "VELM_UPDATE_HOST must be a host name, optionally with :port, got '$host'"
fi
if [ "$host" = updates.velm.invalid ]; then
    refuse "VELM_UPDATE_HOST is the placeholder updates.velm.invalid: such a release would never find an update"
fi

address="${VELM_RELEASE_URL:-https://$host/files/Velm/}"
[[ "$address" == */ ]] || address="$address/"
# Absolute https with a host; the installer's name is appended as it is, so
# no query, fragment, quote, backslash or white space.
if ! [[ "${address,,}" =~ ^https://[^/?#@[:space:]\"\\]+/[^?#[:space:]\"\\]*$ ]]; then
    refuse "VELM_RELEASE_URL must be an absolute https address with a host and no query, got '$address'"
fi

release_root="${VELM_RELEASE_DIR:-$VELM_ROOT/build-windows/release}"
release_root="${release_root%/}"
case "$release_root" in
    "$VELM_ROOT/build-windows"/*) ;;
    *) refuse "VELM_RELEASE_DIR must lie inside $VELM_ROOT/build-windows, got '$release_root'" ;;
esac
inside="$work${release_root#"$VELM_ROOT/build-windows"}"
build="$inside/.build"

started=$SECONDS
velm_windows_enter
velm_windows_qt

velm_log "release $number for $host, published under $address"
velm_windows_build "$build" -DVELM_BUILD_TESTS=OFF -DVELM_UPDATE_HOST="$host" -DVELM_RELEASE_NUMBER="$number"
velm_windows_install "$build" "$build/OperatorVelm"
velm_windows_release "$build/OperatorVelm" "$number" "$address" "$inside/$number"

status=0
problems="$(velm_windows_check_program "$inside/$number/OperatorVelm-$number-setup.exe")" || true
if [ -n "$problems" ]; then
    printf '%s\n' "$problems" >&2
    status=1
fi

folder="$release_root/$number"
velm_log "release $number in $folder, after $((SECONDS - started)) s:"
(cd "$folder" && ls -l --block-size=K OperatorVelm-"$number"-setup.exe OperatorVelm-"$number".zip Version.json) >&2
velm_log "upload all three to $address; Version.json says: $(cat "$folder/Version.json")"
exit $status
