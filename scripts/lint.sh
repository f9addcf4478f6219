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
[ -f build/compile_commands.json ] || (cmake --preset linux && cmake --build --preset linux)
# files <pattern>...: the checkout's files of that name, committed or not.
files() { git ls-files --cached --others --exclude-standard "$@" | while read -r f; do [ ! -f "$f" ] || echo "$f"; done; }
mapfile -t sources < <(files '*.cpp' '*.h')
[ "${1:-}" != "--fix-format" ] || clang-format -i "${sources[@]}"
velm_step "clang-format (scripts/lint.sh --fix-format mends what it names)" clang-format --dry-run --Werror "${sources[@]}"
# clang-tidy reads the translation units; headers are checked through them.
# The fuzz targets need the fuzz build's flags, so they are left out here.
velm_step clang-tidy xargs -a <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' | grep -v '^fuzz/') -P "$(nproc)" -n 4 \
    clang-tidy -p build --quiet
mapfile -t shells < <(files '*.sh' .ci/run)
velm_step shellcheck shellcheck -x "${shells[@]}"
mapfile -t pythons < <(files '*.py')
velm_step "every Python file compiles" python3 -m py_compile "${pythons[@]}"
velm_summary
