#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang, with ASan and UBSan) and runs each one
# for a bounded time, starting from the committed corpus in fuzz/corpus/<target>.
# Usage: scripts/fuzz.sh [seconds per target]   (default 20)
# Any crash, sanitizer report or failed property fails the run; the input
# that found it is left in build-fuzz/findings/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-20}"
# The runtime that goes with the installed clang, whichever release it is.
velm_install_packages clang libclang-rt-dev

fuzz_dir="$VELM_ROOT/build-fuzz"
CC=clang CXX=clang++ VELM_BUILD_DIR="$fuzz_dir" velm_build \
    -DVELM_FUZZ=ON -DVELM_SANITIZE=address,undefined -DVELM_BUILD_TESTS=OFF -DVELM_BUILD_BENCH=OFF

findings="$fuzz_dir/findings"
mkdir -p "$findings"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
summary=()
for target in "$fuzz_dir"/fuzzers/fuzz_*; do
    name=$(basename "$target")
    corpus="$VELM_ROOT/fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    log="$fuzz_dir/$name.log"
    velm_log "fuzzing $name for ${seconds}s"
    # New inputs go to the scratch folder; the committed corpus is only read.
    if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/$name-" "$work" "$corpus" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        tail -n 40 "$log" >&2
    fi
    runs=$(grep -Eo 'Done [0-9]+ runs' "$log" | grep -Eo '[0-9]+' || echo "?")
    summary+=("$(printf '%-22s %-7s %s executions' "$name" "$result" "$runs")")
    rm -rf "$work"
done
printf '%s\n' "${summary[@]}"
exit $status
