#!/usr/bin/env bash
# Usage: sudo scripts/windows-check.sh
#
# Builds the Windows x86-64 deliverable and proves it under Wine; CI runs it
# after scripts/test.sh. Root only: inside the Debian 13 chroot of
# lib/chroot.sh it
#  1. makes two releases with scripts/release.sh whose update host is a
#     local HTTPS server (scripts/lifecycle_server.py), signed with a
#     throwaway key, for step 5;
#  2. cross-builds the project with its tests (preset windows, compiler
#     warnings as errors) and installs the folder that ships into
#     build-windows/OperatorVelm/, with build-windows/OperatorVelm.zip;
#  3. runs the whole suite under Wine (build-windows/ctest-wine.log);
#  4. checks both programs' headers and manifests, and that every DLL they
#     and the shipped DLLs import is in the folder or part of Windows;
#  5. runs an operator's update from release 1 to release 2 under Wine and
#     Xvfb (scripts/windows_lifecycle.py, output in build-windows/lifecycle/).
# The exit status is 0 only when every step passed; a failure is named when
# it happens and again at the end, with where its full output is.
#
# VELM_UPDATE_HOST, VELM_RELEASE_NUMBER  passed on to the folder of step 2
# and the variables of lib/chroot.sh and lib/windows.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/chroot.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"
velm_require_root "debootstrap, chroot and mount need it"

started=$SECONDS
root="$(velm_root)"
out="$root/build-windows"
lifecycle="$out/lifecycle"
failures=()
failed() {
    velm_log "FAILED: $*"
    failures+=("$*")
}

# -- 1. the update server, and two releases that ask it ------------------------
velm_install_missing python3 openssl
rm -rf "$lifecycle"
mkdir -p "$lifecycle/server/files/Velm"
python3 "$root/scripts/lifecycle_server.py" "$lifecycle" 2>"$lifecycle/requests.log" &
server=$!
ca="$(velm_chroot_dir)/usr/local/share/ca-certificates/velm-windows-check.crt"
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    # Only what this run started: the server by its process id; the Wine
    # programs end with their prefixes.
    kill "$server" 2>/dev/null || true
    if [ -f "$ca" ]; then
        rm -f "$ca"
        velm_in_chroot update-ca-certificates --fresh >/dev/null 2>&1 || true
    fi
    velm_chroot_unmount
}
trap cleanup EXIT
velm_wait 30 test -s "$lifecycle/port" || { velm_log "the update server did not start: $lifecycle/requests.log"; exit 1; }
port="$(cat "$lifecycle/port")"
# A throwaway publisher's key: both releases are signed with it, and build
# its public key in.
openssl genpkey -algorithm ed25519 -out "$lifecycle/signing-key.pem" 2>/dev/null
releases_made=true
for number in 1 2; do
    velm_log "release $number for the lifecycle (update host localhost:$port)"
    if ! VELM_RELEASE_NUMBER=$number VELM_UPDATE_HOST="localhost:$port" VELM_RELEASE_DIR="$lifecycle/release" \
        VELM_SIGNING_KEY="$lifecycle/signing-key.pem" bash "$root/scripts/release.sh" 2>&1 | tee "$lifecycle/release-$number.log" >&2; then
        failed "scripts/release.sh could not make release $number (build-windows/lifecycle/release-$number.log)"
        releases_made=false
        break
    fi
done

# -- 2. the project and the folder that ships ---------------------------------
velm_windows_enter
trap cleanup EXIT # it unmounts the chroot too
velm_windows_qt
ship=()
[ -z "${VELM_UPDATE_HOST:-}" ] || ship+=(-DVELM_UPDATE_HOST="$VELM_UPDATE_HOST")
[ -z "${VELM_RELEASE_NUMBER:-}" ] || ship+=(-DVELM_RELEASE_NUMBER="$VELM_RELEASE_NUMBER")
velm_log "cross-building the project with its tests into $out/build"
rm -rf "$out/OperatorVelm" "$out/OperatorVelm.zip"
built=true
if ! velm_in_windows_chroot cmake --preset windows --fresh -DCMAKE_CXX_FLAGS=-Werror "${ship[@]}" >/dev/null \
    || ! velm_in_windows_chroot cmake --build --preset windows; then
    failed "the cross build of the project and its tests (the compiler's words above)"
    built=false
fi
if $built; then
    velm_log "installing the folder that ships into $out/OperatorVelm"
    velm_in_windows_chroot cmake --install build-windows/build --prefix build-windows/OperatorVelm --strip >/dev/null
    velm_in_windows_chroot /usr/bin/env -C build-windows cmake -E tar cf OperatorVelm.zip --format=zip OperatorVelm

    # -- 3. the suite under Wine ------------------------------------------------
    velm_log "running the test suite under Wine"
    velm_in_windows_chroot xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
        timeout 2400 ctest --preset windows >"$out/ctest-wine.log" 2>&1 \
        || failed "tests under Wine (every case: build-windows/ctest-wine.log)"
    # Each skip with what it says is missing, each failure, and the summary.
    grep -E "^[0-9]+: (SKIP|FAIL!)|^[0-9]+: Totals|tests passed|tests failed|\(Failed\)" "$out/ctest-wine.log" >&2 || true

    # -- 4. the programs and the DLLs they need ---------------------------------
    velm_log "checking the programs and the DLLs they need"
    folder=/velm/src/build-windows/OperatorVelm
    velm_in_windows_chroot cmake "-DPROGRAMS=$folder/OperatorVelm.exe;$folder/Updater.exe" -DFOLDER="$folder" \
        -DSYSTEM32=/velm/src/build-windows/build/wine/drive_c/windows/system32 -P cmake/windows/CheckPrograms.cmake \
        || failed "the programs or the DLLs of the folder (the problems above)"
fi

# -- 5. an operator's update from release 1 to release 2 ----------------------
if $releases_made; then
    velm_log "the update lifecycle under Wine: release 1 to release 2"
    # Release 2 as it would be uploaded, and the server's CA trusted by the
    # chroot, and so by Wine, only while this runs.
    cp "$lifecycle/release/2/Version.json" "$lifecycle/release/2/OperatorVelm-2-setup.exe" "$lifecycle/server/files/Velm/"
    cp "$lifecycle/certs/ca.pem" "$ca"
    velm_in_chroot update-ca-certificates >/dev/null 2>&1
    if ! velm_in_windows_chroot python3 scripts/windows_lifecycle.py build-windows/lifecycle "$port" build-windows \
        2>&1 | tee "$lifecycle/lifecycle.log" >&2; then
        first="$(grep -m1 'lifecycle: FAILED' "$lifecycle/lifecycle.log" || true)"
        failed "the update lifecycle${first:+: ${first#lifecycle: FAILED: }} (build-windows/lifecycle/)"
    fi
fi

du -sh "$out/OperatorVelm" "$out/OperatorVelm.zip" 2>/dev/null | sed 's/^/== size: /' >&2
! $releases_made || du -h "$lifecycle/release/2/OperatorVelm-2-setup.exe" "$lifecycle/release/2/OperatorVelm-2.zip" \
    | sed 's/^/== size: /' >&2
velm_log "Qt $(velm_chroot_package_version qt6-base-dev) for Windows (shared), whole run $((SECONDS - started)) s"
if [ "${#failures[@]}" -eq 0 ]; then
    velm_log "Windows deliverable built and checked: $out/OperatorVelm, $out/OperatorVelm.zip"
    exit 0
fi
velm_log "the Windows check FAILED; first failure: ${failures[0]}"
for failure in "${failures[@]:1}"; do
    velm_log "  and then: $failure"
done
velm_log "full output: this log, build-windows/ctest-wine.log and build-windows/lifecycle/"
exit 1
