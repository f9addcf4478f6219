#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [seconds per target]   (default 20)
#
# Builds the libFuzzer targets (preset fuzz: Clang, ASan and UBSan) and runs
# each one for a bounded time, starting from the committed corpus in
# fuzz/corpus/<target>. Any crash, sanitizer report or failed property
# fails the run; the input that found it is left in build-fuzz/findings/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"

seconds="${1:-20}"
root="$(velm_root)"
# The runtime that goes with the installed clang, whichever release it is.
velm_install build fuzz
(cd "$root" && cmake --preset fuzz && cmake --build --preset fuzz)

findings="$root/build-fuzz/findings"
mkdir -p "$findings"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
summary=()
for target in "$root"/build-fuzz/fuzzers/fuzz_*; do
    name=$(basename "$target")
    work=$(mktemp -d)
    log="$root/build-fuzz/$name.log"
    velm_log "fuzzing $name for ${seconds}s"
    # New inputs go to the scratch folder; the committed corpus is only read.
    result=ok
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/$name-" \
        "$work" "$root/fuzz/corpus/${name#fuzz_}" >"$log" 2>&1 || { result=FAILED; status=1; tail -n 40 "$log" >&2; }
    runs=$(grep -Eo 'Done [0-9]+ runs' "$log" | grep -Eo '[0-9]+' || echo "?")
    summary+=("$(printf '%-22s %-7s %s executions' "$name" "$result" "$runs")")
    rm -rf "$work"
done
printf '%s\n' "${summary[@]}"
exit $status
