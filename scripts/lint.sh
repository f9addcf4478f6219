#!/usr/bin/env bash
# Usage: scripts/lint.sh [--fix-format]
#
# Static checks: clang-format (the committed .clang-format) and clang-tidy
# (the committed .clang-tidy) over the C++ sources, with the compile
# commands of the build in build/ (made if needed); shellcheck over every
# shell file; and every Python file must compile.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$(velm_root)"

velm_install build lint
[ -f build/compile_commands.json ] || velm_build linux
# files <pattern>...: the checkout's files of that name, committed or not.
files() {
    git ls-files --cached --others --exclude-standard "$@" | while read -r file; do
        [ ! -f "$file" ] || echo "$file"
    done
}
mapfile -t sources < <(files '*.cpp' '*.h')
status=0

if [ "${1:-}" = "--fix-format" ]; then
    clang-format -i "${sources[@]}"
elif ! clang-format --dry-run --Werror "${sources[@]}"; then
    velm_log "clang-format: the files above differ from .clang-format (scripts/lint.sh --fix-format mends them)"
    status=1
fi

# clang-tidy reads the translation units; headers are checked through them.
# The fuzz targets need the fuzz build's flags, so they are left out here.
if ! printf '%s\n' "${sources[@]}" | grep '\.cpp$' | grep -v '^fuzz/' | xargs -P "$(nproc)" -n 4 clang-tidy -p build --quiet; then
    velm_log "clang-tidy found problems"
    status=1
fi

mapfile -t shells < <(files '*.sh' .ci/run)
if ! shellcheck -x "${shells[@]}"; then
    velm_log "shellcheck found problems"
    status=1
fi
mapfile -t pythons < <(files '*.py')
if ! python3 -m py_compile "${pythons[@]}"; then
    velm_log "a Python file does not compile"
    status=1
fi
exit $status
