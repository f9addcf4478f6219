#!/usr/bin/env bash
# Usage: sudo scripts/windows-check.sh
#
# Builds the Windows x86-64 deliverable and proves it under Wine; CI runs it
# after scripts/test.sh. Root only. It makes the releases of the lifecycle
# with scripts/release.sh, for the update host localhost (port 443, which
# the lifecycle binds while it serves), with throwaway keys and
# certificates and the time-stamp server tests/windows/timestamp.py:
# release 1 (from a clone one commit on) signed with one Ed25519 key and an
# Authenticode key in a file, without a time stamp; release 2 with that key
# and a new one, Authenticode with a key on a SoftHSM2 token and time
# stamps from a loopback server;
# release 2 again, without Authenticode, from two fresh clones; and it sees
# the releases refused that must be. Then, inside the Debian 13 chroot of
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
# Throwaway keys and certificates, made in the chroot, whose OpenSSL sets any
# dates: two Ed25519 keys; a CA, and from it code-signing certificates for a
# key in a file, for one made on a SoftHSM2 token, which never lets it out,
# and for one that has expired, and one for the time-stamp server.
velm_windows_enter
in_certs=(velm_in_windows_chroot env -C build-windows/lifecycle/authenticode)
token=(pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label velm-check --login --pin 7294)
for key in signing-key new-signing-key; do "${in_certs[@]}" openssl genpkey -quiet -algorithm ed25519 -out "../$key.pem"; done
for key in publisher expired tsa; do "${in_certs[@]}" openssl genpkey -quiet -algorithm rsa -out "$key.key"; done
"${in_certs[@]}" openssl req -x509 -newkey rsa:2048 -noenc -days 2 -subj /CN=velm-check-CA -keyout ca.key -out ca.pem \
    2>/dev/null
velm_in_chroot softhsm2-util --delete-token --token velm-check >/dev/null 2>&1 || true
velm_in_chroot softhsm2-util --init-token --free --label velm-check --so-pin 7294 --pin 7294 >/dev/null
"${in_certs[@]}" "${token[@]}" --keypairgen --key-type rsa:2048 --label authenticode --id 01 >/dev/null
"${in_certs[@]}" "${token[@]}" --list-objects --type privkey | grep "never extractable, local" | sed 's/^ */== /' >&2
"${in_certs[@]}" "${token[@]}" --read-object --type pubkey --label authenticode -o token.der
printf 7294 >"$certs/pin"
# issue <name> <its key> <use> <openssl x509 options>...
issue() {
    "${in_certs[@]}" openssl x509 -new -force_pubkey "$2" -subj "/CN=OperatorVelm $1" -CA ca.pem -CAkey ca.key \
        -extfile <(echo "extendedKeyUsage=critical,$3") -out "$1.pem" "${@:4}"
}
issue publisher publisher.key codeSigning -days 2
issue token token.der codeSigning -days 2
issue expired expired.key codeSigning -not_before 20250101000000Z -not_after 20250301000000Z
issue tsa tsa.key timeStamping -days 2
velm_chroot_unmount

keys="$lifecycle/signing-key.pem,$lifecycle/new-signing-key.pem"
release=(env VELM_UPDATE_HOST=localhost VELM_AUTHENTICODE_CA="$certs/ca.pem")
in_file=(VELM_AUTHENTICODE_CERT="$certs/publisher.pem" VELM_AUTHENTICODE_KEY="$certs/publisher.key")
# Release 1 from a clone one empty commit on, of another time, so that the
# two releases come from two commits.
git clone -q "$root" "$out/rebuild/release-1"
GIT_COMMITTER_DATE="@$(($(git -C "$root" log -1 --format=%ct) - 86400))" git -C "$out/rebuild/release-1" \
    -c user.name=velm -c user.email=velm@invalid commit -q --allow-empty -m "release 1"
velm_step "release 1 for the lifecycle (update host localhost)" "${release[@]}" "${in_file[@]}" \
    VELM_AUTHENTICODE_NO_TIMESTAMP=1 VELM_RELEASE_NUMBER=1 VELM_SIGNING_KEY="$lifecycle/signing-key.pem" \
    bash "$out/rebuild/release-1/scripts/release.sh"
cp -r "$out/rebuild/release-1/build-windows/release/1" "$lifecycle/release/" || true
# From this working tree as it is, which its build info says.
coproc tsa { exec python3 "$root/tests/windows/timestamp.py" "$certs" 2>"$out/rebuild/tsa.log"; }
read -r url <&"${tsa[0]}"
velm_step "release 2 for the lifecycle, with a token's key and time stamps" "${release[@]}" VELM_RELEASE_NUMBER=2 \
    VELM_AUTHENTICODE_KEY="pkcs11:token=velm-check;object=authenticode;type=private" \
    VELM_AUTHENTICODE_CERT="$certs/token.pem" VELM_AUTHENTICODE_PIN_FILE="$certs/pin" \
    VELM_AUTHENTICODE_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
    VELM_AUTHENTICODE_TIMESTAMP_URL="$url" VELM_SIGNING_KEY="$keys" VELM_RELEASE_DIR="$lifecycle/release" \
    VELM_RELEASE_WORKTREE=1 bash "$root/scripts/release.sh"
# shellcheck disable=SC2154 # set by coproc
kill "$tsa_PID"
# The same release, rebuilt without a certificate from two fresh clones.
two=(VELM_RELEASE_NUMBER=2 VELM_UPDATE_HOST=localhost VELM_SIGNING_KEY="$keys")
for clone in a b; do
    git clone -q "$root" "$out/rebuild/$clone"
    velm_step "release 2 rebuilt from a fresh clone ($clone), without Authenticode" env "${two[@]}" \
        bash "$out/rebuild/$clone/scripts/release.sh"
done
# refused <what it names> <command>...: the command fails, saying that.
refused() {
    ! "${@:2}" 2>"$out/rebuild/refused.log" && tr -s ' \n' '  ' <"$out/rebuild/refused.log" | grep -q -- "$1" || return 1
    velm_log "refused as it should be: $(sed -n -e 's/^== .*refused: //p' -e '/^[ MADRC][ MADRC] /p' -e \
        '/^CMake Error/,/^Call Stack/{/^C/!p}' "$out/rebuild/refused.log" | tr -s ' \n' '  ' | sed 's/^ *//')"
}
git -C "$out/rebuild/a" rev-parse HEAD >"$out/rebuild/commit"
b="$out/rebuild/b/scripts/release.sh"
velm_step "a release without a key or VELM_UNSIGNED=1 is refused" refused VELM_UNSIGNED=1 env \
    VELM_RELEASE_NUMBER=2 VELM_UPDATE_HOST=localhost bash "$b"
velm_step "VELM_SIGNING_KEY=, is refused" refused "empty item" env "${two[@]}" VELM_SIGNING_KEY=, bash "$b"
velm_step "Authenticode without a time stamp or VELM_AUTHENTICODE_NO_TIMESTAMP=1 is refused" \
    refused VELM_AUTHENTICODE_NO_TIMESTAMP "${release[@]}" "${in_file[@]}" "${two[@]}" bash "$b"
velm_step "an expired certificate is refused" refused "has expired" "${release[@]}" "${two[@]}" \
    VELM_AUTHENTICODE_CERT="$certs/expired.pem" VELM_AUTHENTICODE_KEY="$certs/expired.key" \
    VELM_AUTHENTICODE_NO_TIMESTAMP=1 bash "$b"
install -d -o nobody -m 0700 "$out/rebuild/other"
velm_step "a chroot folder of another owner is refused" refused "owner nobody" env "${two[@]}" \
    VELM_TRIXIE_ROOT="$out/rebuild/other/trixie" bash "$b"
echo "# a change" >>"$out/rebuild/a/README.md"
velm_step "a release from a tree with a change is refused" refused README.md env "${two[@]}" \
    bash "$out/rebuild/a/scripts/release.sh"

velm_windows_enter
velm_windows_qt
velm_step "configuring the project with its tests in build-windows/build" velm_in_windows_chroot cmake \
    --preset windows --fresh -DCMAKE_CXX_FLAGS=-Werror ${VELM_UPDATE_HOST:+"-DVELM_UPDATE_HOST=$VELM_UPDATE_HOST"} \
    ${VELM_RELEASE_NUMBER:+"-DVELM_RELEASE_NUMBER=$VELM_RELEASE_NUMBER"}
velm_step "cross-building it" velm_in_windows_chroot cmake --build --preset windows
velm_ok && velm_step "the tests under Wine (every test's output: $log)" velm_in_windows_chroot \
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" ctest --preset windows
du -sh "$out/OperatorVelm" "$out/OperatorVelm.zip" "$lifecycle/release/2/"* 2>/dev/null | sed 's/^/== size: /' >&2
velm_summary
