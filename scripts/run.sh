#!/usr/bin/env bash
# Usage: scripts/run.sh
#
# Sets up this machine if needed (Debian packages, through sudo when not
# root), builds (preset linux) and starts OperatorVelm from build/bin, where
# it finds version.json. Without a display it runs on a virtual X server
# instead, saves a screenshot of the main window to build/screenshot.png
# and exits.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$(velm_root)"
bin="$(velm_root)/build/bin"
screenshot="$(velm_root)/build/screenshot.png"

# The second half of a run without a display: on xvfb-run's server.
if [ "${1:-}" = --screenshot ]; then
    cd "$bin"
    ./OperatorVelm &
    program=$!
    status=0
    for _ in {1..100}; do xwininfo -name OperatorVelm >/dev/null 2>&1 && break; sleep 0.2; done
    if xwininfo -name OperatorVelm >/dev/null 2>&1; then
        sleep 1 # drawn
        import -window "$(xwininfo -name OperatorVelm | awk '/Window id:/ { print $4 }')" "$screenshot" || status=1
    else
        velm_log "OperatorVelm showed no window"
        status=1
    fi
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    exit $status
fi

display="${DISPLAY:-}${WAYLAND_DISPLAY:-}"
if [ -n "$display" ]; then velm_install build; else velm_install build headless; fi
(cmake --preset linux && cmake --build --preset linux)
[ -z "$display" ] || { cd "$bin" && exec ./OperatorVelm; }
rm -f "$screenshot"
xvfb-run --auto-servernum --server-args="-screen 0 800x600x24" "$0" --screenshot
echo "Screenshot of the main window: $screenshot"
