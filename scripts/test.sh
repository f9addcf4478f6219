#!/usr/bin/env bash
# Usage: scripts/test.sh
#
# Sets up this machine if needed, builds and runs every test offscreen
# (presets linux), then the same tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, leaks included (presets sanitize), then the
# static checks (scripts/lint.sh) and each fuzz target for
# VELM_FUZZ_SECONDS (default 20; scripts/fuzz.sh). The exit status is 0 only
# when all passed. VELM_SANITIZERS=0, VELM_LINT=0 or VELM_FUZZ_SECONDS=0
# skip those runs for a quick local check.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$(velm_root)"
status=0

velm_install_build_packages
velm_log "build and tests: build/"
velm_build linux
ctest --preset linux || status=1

if [ "${VELM_SANITIZERS:-1}" != 0 ]; then
    velm_log "ASan/UBSan build and tests: build-sanitize/"
    velm_build sanitize
    ctest --preset sanitize || status=1
fi
if [ "${VELM_LINT:-1}" != 0 ]; then
    velm_log "static checks"
    scripts/lint.sh || status=1
fi
if [ "${VELM_FUZZ_SECONDS:-20}" != 0 ]; then
    velm_log "fuzzing"
    scripts/fuzz.sh "${VELM_FUZZ_SECONDS:-20}" || status=1
fi
exit $status
