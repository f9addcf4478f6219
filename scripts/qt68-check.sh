#!/usr/bin/env bash
# Usage: sudo [VELM_QT68_REV=<revision>] scripts/qt68-check.sh
#
# The README's two commands on Debian 13 "trixie" (Qt 6.8, clang 19), as a
# newcomer runs them: inside the chroot of lib/chroot.sh, a fresh clone of
# the committed tree runs scripts/test.sh (every test, the sanitizer build,
# lint and fuzzing; compiler warnings are errors here), then the headless
# scripts/run.sh, which must leave build/screenshot.png.
# Root only, and not part of CI. The exit status is 0 only when both passed.
#
# VELM_QT68_REV  the committed revision to check (default HEAD)
# and the variables of lib/chroot.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/chroot.sh"

root="$(velm_root)"
revision="$(git -C "$root" rev-parse --verify --quiet "${VELM_QT68_REV:-HEAD}^{commit}")" \
    || { velm_log "VELM_QT68_REV: no such revision '${VELM_QT68_REV:-HEAD}'"; exit 2; }
velm_chroot_enter
# Only what a newcomer brings: git to clone with. The scripts install the rest.
velm_install --in velm_in_chroot newcomer
qt_version="$(velm_in_chroot apt-cache policy qt6-base-dev | awk '/Candidate:/ { print $2 }')"
qt_version="${qt_version#*:}"
[[ "$qt_version" == 6.8* ]] || { velm_log "expected Qt 6.8.x in $velm_chroot_suite, found '$qt_version'"; exit 2; }
velm_log "Qt in $velm_chroot_suite: $qt_version"

clone=/velm/clone
velm_chroot_bind "$root" /velm/repository ro
rm -rf --one-file-system "$(velm_chroot_dir)$clone"
velm_log "checking revision ${revision:0:12} from a fresh clone"
velm_in_chroot git clone -q /velm/repository "$clone"
velm_in_chroot git -C "$clone" checkout -q "$revision"
velm_step scripts/test.sh velm_in_chroot CXXFLAGS=-Werror /usr/bin/env -C "$clone" scripts/test.sh
velm_step "headless scripts/run.sh" velm_in_chroot /usr/bin/env -C "$clone" scripts/run.sh
velm_step "a screenshot in $(velm_chroot_dir)$clone/build/screenshot.png" test -s "$(velm_chroot_dir)$clone/build/screenshot.png"
velm_summary
