#!/usr/bin/env bash
# Start-up time of OperatorVelm against a bare QMainWindow with four buttons
# that sends one HTTPS GET as well, offscreen, from the application object to
# the main window exposed.
# Usage: bench/startup.sh [rounds]   (default 30, alternating the two)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
build="$(velm_root)/build"

rounds="${1:-30}"
velm_install build
(cd "$(velm_root)" && cmake --preset linux && cmake --build --preset linux) >/dev/null
program="$build/bench/velm_startup_bench"
export QT_QPA_PLATFORM=offscreen

velm_times=()
bare_times=()
cd "$build/bin"
for ((i = 0; i < rounds; ++i)); do
    # Alternate which one goes first, so neither always finds warm caches.
    if ((i % 2)); then
        bare_times+=("$("$program" bare 2>/dev/null)")
        velm_times+=("$("$program" velm 2>/dev/null)")
    else
        velm_times+=("$("$program" velm 2>/dev/null)")
        bare_times+=("$("$program" bare 2>/dev/null)")
    fi
done

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
bare=$(median "${bare_times[@]}")
velm=$(median "${velm_times[@]}")
echo "rounds: $rounds (each a fresh process)"
echo "bare QMainWindow, 4 buttons + HTTPS GET: median ${bare} us"
echo "OperatorVelm:                            median ${velm} us"
awk -v a="$velm" -v b="$bare" 'BEGIN { printf "ratio OperatorVelm/bare: %.3f (goal: at most 1.20)\n", a / b }'
