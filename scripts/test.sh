#!/usr/bin/env bash
# Usage: scripts/test.sh
#
# Sets up this machine if needed, builds and runs every test offscreen
# (workflow preset linux), then the same tests built with AddressSanitizer
# and UndefinedBehaviorSanitizer, leaks included (workflow preset
# sanitize), then the static checks (scripts/lint.sh) and each fuzz target
# for VELM_FUZZ_SECONDS (default 20; scripts/fuzz.sh). The exit status is 0
# only when all passed. VELM_SANITIZERS=0, VELM_LINT=0 or
# VELM_FUZZ_SECONDS=0 skip those runs for a quick local check.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$(velm_root)"

velm_install build
velm_step "build and tests: build/" cmake --workflow --preset linux
[ "${VELM_SANITIZERS:-1}" = 0 ] || velm_step "ASan/UBSan build and tests: build-sanitize/" \
    cmake --workflow --preset sanitize
[ "${VELM_LINT:-1}" = 0 ] || velm_step "static checks" scripts/lint.sh
[ "${VELM_FUZZ_SECONDS:-20}" = 0 ] || velm_step "fuzzing" scripts/fuzz.sh "${VELM_FUZZ_SECONDS:-20}"
velm_summary
