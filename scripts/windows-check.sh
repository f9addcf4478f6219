#!/usr/bin/env bash
# Usage: sudo scripts/windows-check.sh
#
# Builds the Windows x86-64 deliverable and proves it under Wine; CI runs it
# after scripts/test.sh. Root only. It makes two releases with
# scripts/release.sh for the lifecycle (release 1 and 2, signed with a
# throwaway key, for the update host localhost:<a free port>), then, inside
# the Debian 13 chroot of lib/chroot.sh with the Windows Qt of
# lib/windows.sh, cross-builds the project with its tests (preset windows,
# compiler warnings as errors) and runs ctest --preset windows on a virtual
# X server: the suite under Wine, the folder that ships and its programs,
# and the lifecycle (tests/windows/). Every test's output goes to
# build-windows/ctest-wine.log; CTest's summary ends the output. The exit
# status is 0 only when every step passed.
#
# VELM_UPDATE_HOST, VELM_RELEASE_NUMBER  passed on to the project's build
# and the variables of lib/chroot.sh and lib/windows.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"
velm_require_root "debootstrap, chroot and mount need it"

root="$(velm_root)"
lifecycle="$root/build-windows/lifecycle"
velm_install host
rm -rf "$lifecycle"
mkdir -p "$lifecycle"
openssl genpkey -algorithm ed25519 -out "$lifecycle/signing-key.pem" 2>/dev/null
port="$(velm_free_port)"
for number in 1 2; do
    velm_step "release $number for the lifecycle (update host localhost:$port)" env VELM_RELEASE_NUMBER="$number" \
        VELM_UPDATE_HOST="localhost:$port" VELM_RELEASE_DIR="$lifecycle/release" \
        VELM_SIGNING_KEY="$lifecycle/signing-key.pem" bash "$root/scripts/release.sh"
done

velm_windows_enter
velm_windows_qt
ship=()
[ -z "${VELM_UPDATE_HOST:-}" ] || ship+=(-DVELM_UPDATE_HOST="$VELM_UPDATE_HOST")
[ -z "${VELM_RELEASE_NUMBER:-}" ] || ship+=(-DVELM_RELEASE_NUMBER="$VELM_RELEASE_NUMBER")
velm_step "cross-building the project with its tests into build-windows/build" \
    velm_build --in velm_in_windows_chroot windows --fresh -DCMAKE_CXX_FLAGS=-Werror "${ship[@]}"
velm_ok && velm_step "the tests under Wine (every case: build-windows/ctest-wine.log)" velm_in_windows_chroot \
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
    ctest --preset windows --output-log build-windows/ctest-wine.log
du -sh "$root/build-windows/OperatorVelm" "$root/build-windows/OperatorVelm.zip" "$lifecycle/release/2/"* \
    2>/dev/null | sed 's/^/== size: /' >&2
velm_summary
