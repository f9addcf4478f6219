#!/usr/bin/env bash
# Usage: sudo scripts/windows-check.sh
#
# Builds the Windows x86-64 deliverable and proves it under Wine; CI runs it
# after scripts/test.sh. Root only. It makes the releases of the lifecycle
# with scripts/release.sh, for the update host localhost (port 443, which
# the lifecycle binds while it serves):
# release 1 (from a clone one commit on) and release 2, Authenticode-signed
# with a throwaway certificate, release 1 signed with a throwaway Ed25519
# key and release 2 with that and a new one; and release 2 again, without
# Authenticode, from two fresh clones. Then, inside the Debian 13 chroot of
# lib/chroot.sh with the Windows Qt of lib/windows.sh, it cross-builds the
# project with its tests (preset windows, compiler warnings as errors) and
# runs ctest --preset windows on a virtual X server: the suite under Wine,
# the folder that ships and its programs, and the lifecycle
# (tests/windows/). CTest's summary ends the output; every test's output is
# in build-windows/build/Testing/Temporary/LastTest.log. The exit status is
# 0 only when every step passed.
#
# VELM_UPDATE_HOST, VELM_RELEASE_NUMBER  passed on to the project's build
# and the variables of lib/chroot.sh and lib/windows.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/windows.sh"
velm_require_root "debootstrap, chroot and mount need it"

root="$(velm_root)"
out="$root/build-windows"
log="build-windows/build/Testing/Temporary/LastTest.log"
lifecycle="$out/lifecycle"
certs="$lifecycle/authenticode"
velm_install host
rm -rf "$lifecycle" "$out/rebuild"
mkdir -p "$lifecycle/release" "$certs" "$out/rebuild"
# Throwaway keys: release 1 is signed with the first, release 2 with both,
# as when a publisher replaces a key; and a code-signing certificate with its CA.
for key in signing-key new-signing-key; do
    openssl genpkey -algorithm ed25519 -out "$lifecycle/$key.pem" 2>/dev/null
done
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=velm-check-CA -keyout "$certs/ca.key" \
    -out "$certs/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=OperatorVelm publisher" -keyout "$certs/key.pem" \
    -out "$certs/request.csr" 2>/dev/null
openssl x509 -req -in "$certs/request.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial -days 2 \
    -extfile <(echo extendedKeyUsage=codeSigning) -out "$certs/cert.pem" 2>/dev/null

keys="$lifecycle/signing-key.pem,$lifecycle/new-signing-key.pem"
release=(env VELM_UPDATE_HOST=localhost VELM_AUTHENTICODE_CERT="$certs/cert.pem"
    VELM_AUTHENTICODE_KEY="$certs/key.pem")
# Release 1 from a clone one empty commit on, of another time, so that the
# two releases come from two commits.
git clone -q "$root" "$out/rebuild/release-1"
GIT_COMMITTER_DATE="@$(($(git -C "$root" log -1 --format=%ct) - 86400))" git -C "$out/rebuild/release-1" \
    -c user.name=velm -c user.email=velm@invalid commit -q --allow-empty -m "release 1"
velm_step "release 1 for the lifecycle (update host localhost)" "${release[@]}" VELM_RELEASE_NUMBER=1 \
    VELM_SIGNING_KEY="$lifecycle/signing-key.pem" bash "$out/rebuild/release-1/scripts/release.sh"
cp -r "$out/rebuild/release-1/build-windows/release/1" "$lifecycle/release/" || true
# From this working tree as it is, which its build info says.
velm_step "release 2 for the lifecycle" "${release[@]}" VELM_RELEASE_NUMBER=2 VELM_SIGNING_KEY="$keys" \
    VELM_RELEASE_DIR="$lifecycle/release" VELM_RELEASE_WORKTREE=1 bash "$root/scripts/release.sh"
# The same release, rebuilt without a certificate from two fresh clones.
for clone in a b; do
    git clone -q "$root" "$out/rebuild/$clone"
    velm_step "release 2 rebuilt from a fresh clone ($clone), without Authenticode" env VELM_RELEASE_NUMBER=2 \
        VELM_UPDATE_HOST=localhost VELM_SIGNING_KEY="$keys" bash "$out/rebuild/$clone/scripts/release.sh"
done
# refused <what it names> <command>...: the command fails, saying that.
refused() {
    ! "${@:2}" 2>"$out/rebuild/refused.log" && grep -q -- "$1" "$out/rebuild/refused.log" \
        && sed -n 's/^== release refused: /== refused as it should be: /p' "$out/rebuild/refused.log" >&2
}
git -C "$out/rebuild/a" rev-parse HEAD >"$out/rebuild/commit"
echo "# a change" >>"$out/rebuild/a/README.md"
velm_step "a release from a tree with a change is refused" refused README.md env VELM_RELEASE_NUMBER=2 \
    VELM_UPDATE_HOST=localhost VELM_SIGNING_KEY="$keys" bash "$out/rebuild/a/scripts/release.sh"
velm_step "a release without a key or VELM_UNSIGNED=1 is refused" refused VELM_UNSIGNED=1 env \
    VELM_RELEASE_NUMBER=2 VELM_UPDATE_HOST=localhost bash "$out/rebuild/b/scripts/release.sh"

velm_windows_enter
velm_windows_qt
ship=()
[ -z "${VELM_UPDATE_HOST:-}" ] || ship+=(-DVELM_UPDATE_HOST="$VELM_UPDATE_HOST")
[ -z "${VELM_RELEASE_NUMBER:-}" ] || ship+=(-DVELM_RELEASE_NUMBER="$VELM_RELEASE_NUMBER")
velm_step "cross-building the project with its tests into build-windows/build" \
    velm_build --in velm_in_windows_chroot windows --fresh -DCMAKE_CXX_FLAGS=-Werror "${ship[@]}"
velm_ok && velm_step "the tests under Wine (every test's output: $log)" velm_in_windows_chroot \
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" ctest --preset windows
du -sh "$root/build-windows/OperatorVelm" "$root/build-windows/OperatorVelm.zip" "$lifecycle/release/2/"* \
    2>/dev/null | sed 's/^/== size: /' >&2
velm_summary
