#!/usr/bin/env bash
# The README's two commands on Debian 13 "trixie" (Qt 6.8, clang 19), as a
# newcomer runs them: inside the chroot of trixie.sh, a fresh clone of the
# committed tree runs scripts/test.sh (every test, the sanitizer build, lint
# and fuzzing; compiler warnings are errors here), then the headless
# scripts/run.sh, which must leave build/screenshot.png.
# Root only, and not part of CI. The exit status is 0 only when both passed.
#
# VELM_QT68_REV  the committed revision to check (default HEAD)
# and the variables of trixie.sh (VELM_TRIXIE_ROOT, VELM_TRIXIE_MIRROR).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/trixie.sh"

if ! revision="$(git -C "$VELM_ROOT" rev-parse --verify --quiet "${VELM_QT68_REV:-HEAD}^{commit}")"; then
    velm_log "VELM_QT68_REV: no such revision '${VELM_QT68_REV:-HEAD}'"
    exit 2
fi

trixie_enter
# Only what a newcomer brings: git to clone with. The scripts install the rest.
trixie_install git ca-certificates

qt_version="$(in_chroot apt-cache policy qt6-base-dev | awk '/Candidate:/ { print $2 }')"
qt_version="${qt_version#*:}"
case "$qt_version" in
    6.8|6.8.*) velm_log "Qt in $trixie_suite: $qt_version" ;;
    *) velm_log "expected Qt 6.8.x in $trixie_suite, found '$qt_version'"; exit 2 ;;
esac

repository=/velm/repository
clone=/velm/clone
trixie_bind "$VELM_ROOT" "$repository" ro
rm -rf --one-file-system "${trixie_dir:?}$clone"

velm_log "checking revision ${revision:0:12} from a fresh clone"
in_chroot CXXFLAGS=-Werror bash -euo pipefail -c '
    git clone -q "$1" "$3"
    git -C "$3" checkout -q "$2"
    cd "$3"
    started=$SECONDS
    scripts/test.sh
    echo "== scripts/test.sh passed in $((SECONDS - started)) s"
    started=$SECONDS
    scripts/run.sh
    [ -s build/screenshot.png ]
    echo "== headless scripts/run.sh passed in $((SECONDS - started)) s"
' qt68-check "$repository" "$revision" "$clone"

velm_log "Debian 13, Qt $qt_version: test.sh and run.sh passed; screenshot: $trixie_dir$clone/build/screenshot.png"
