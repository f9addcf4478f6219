#!/usr/bin/env bash
# Sets up this machine if needed, builds, and runs every test offscreen.
# The exit status is the tests'.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velm_install_packages
velm_build

export QT_QPA_PLATFORM=offscreen
cd "$VELM_BUILD_DIR"
ctest --output-on-failure --timeout 600
