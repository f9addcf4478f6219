#!/usr/bin/env bash
# Static checks: clang-format (the committed .clang-format) and clang-tidy
# (the committed .clang-tidy) over our own sources. Uses the compile commands
# of the normal build in build/, which it makes if needed.
# Usage: scripts/lint.sh [--fix-format]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velm_install_packages clang-format clang-tidy
if [ ! -f "$VELM_BUILD_DIR/compile_commands.json" ] || [ ! -f "$VELM_BUILD_DIR/build.ninja" -a ! -f "$VELM_BUILD_DIR/Makefile" ]; then
    velm_build
fi

cd "$VELM_ROOT"
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
status=0

if [ "${1:-}" = "--fix-format" ]; then
    clang-format -i "${sources[@]}"
elif ! clang-format --dry-run --Werror "${sources[@]}"; then
    velm_log "clang-format: the files above differ from .clang-format (scripts/lint.sh --fix-format mends them)"
    status=1
fi

# clang-tidy reads the translation units; headers are checked through them.
# The fuzz targets need the fuzz build's flags, so they are left out here.
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' | grep -v '^fuzz/')
if ! printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$VELM_BUILD_DIR" --quiet; then
    velm_log "clang-tidy found problems"
    status=1
fi
exit $status
