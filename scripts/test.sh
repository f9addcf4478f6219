#!/usr/bin/env bash
# Sets up this machine if needed, builds, and runs every test offscreen:
# first the normal build, then the same tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer (leaks included). The exit status is the tests'.
# Then the static checks, and last each fuzz target for VELM_FUZZ_SECONDS
# (default 20). VELM_SANITIZERS=0, VELM_LINT=0 or VELM_FUZZ_SECONDS=0 skip
# those runs for a quick local check.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velm_install_packages
export QT_QPA_PLATFORM=offscreen
status=0

velm_log "build and tests: $VELM_BUILD_DIR"
velm_build
(cd "$VELM_BUILD_DIR" && ctest --output-on-failure --timeout 600) || status=1

if [ "${VELM_SANITIZERS:-1}" != 0 ]; then
    sanitize_dir="$VELM_ROOT/build-sanitize"
    velm_log "ASan/UBSan build and tests: $sanitize_dir"
    VELM_BUILD_DIR="$sanitize_dir" velm_build \
        -DCMAKE_BUILD_TYPE=Debug -DVELM_SANITIZE=address,undefined -DVELM_BUILD_BENCH=OFF
    (
        cd "$sanitize_dir"
        export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        ctest --output-on-failure --timeout 900
    ) || status=1
fi

if [ "${VELM_LINT:-1}" != 0 ]; then
    velm_log "clang-format and clang-tidy"
    "$VELM_ROOT/scripts/lint.sh" || status=1
fi

if [ "${VELM_FUZZ_SECONDS:-20}" != 0 ]; then
    velm_log "fuzzing"
    "$VELM_ROOT/scripts/fuzz.sh" "${VELM_FUZZ_SECONDS:-20}" || status=1
fi

exit $status
