#!/usr/bin/env bash
# Sets up this machine if needed, builds, and starts OperatorVelm from build/bin.
# Without a display it runs on a virtual X server, saves a screenshot of the
# main window to build/screenshot.png and exits.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

headless=false
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    headless=true
fi

if $headless; then
    velm_install_packages xvfb xauth x11-utils imagemagick
else
    velm_install_packages
fi
velm_build

cd "$VELM_BUILD_DIR/bin"
if ! $headless; then
    exec ./OperatorVelm
fi

screenshot="$VELM_BUILD_DIR/screenshot.png"
rm -f "$screenshot"
export VELM_SCREENSHOT="$screenshot"
xvfb-run --auto-servernum --server-args="-screen 0 800x600x24" bash -c '
    ./OperatorVelm &
    program=$!
    window=""
    for _ in $(seq 1 100); do
        window=$(xwininfo -name OperatorVelm 2>/dev/null | awk "/Window id:/ { print \$4; exit }")
        [ -n "$window" ] && break
        sleep 0.1
    done
    sleep 1
    status=0
    if [ -n "$window" ]; then
        import -window "$window" "$VELM_SCREENSHOT" || status=1
    else
        echo "OperatorVelm showed no window" >&2
        status=1
    fi
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    exit $status
'
echo "Screenshot of the main window: $screenshot"
