# shellcheck shell=bash
# Sourced by the commands in scripts/: the checkout, logging, root, Debian
# packages, bounded waits and the build presets. Functions only; each
# answers on stdout or with its exit status.

# velm_root: the checkout's top folder.
velm_root() {
    (cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
}

velm_log() {
    printf '== %s\n' "$*" >&2
}

# velm_require_root <why>: ends the command unless it runs as root.
velm_require_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    velm_log "$(basename "$0") must run as root: $1"
    exit 2
}

# velm_install_build_packages [--in <command>] [<package>...]: what building
# and testing need, and the packages named, as velm_install_missing does.
velm_install_build_packages() {
    local where=()
    if [ "${1:-}" = --in ]; then
        where=(--in "$2")
        shift 2
    fi
    velm_install_missing "${where[@]}" cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev \
        libgcrypt20-dev python3 openssl "$@"
}

# velm_install_missing [--in <command>] <package>...: installs the Debian
# packages that are missing, here (as root, or through sudo) or through
# <command>, such as velm_in_chroot.
velm_install_missing() {
    local run=() missing=() package
    [ "$(id -u)" -eq 0 ] || run=(sudo)
    if [ "${1:-}" = --in ]; then
        run=("$2")
        shift 2
    fi
    for package in "$@"; do
        # shellcheck disable=SC2016 # a format of dpkg-query's
        "${run[@]}" dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' \
            || missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    velm_log "installing: ${missing[*]}"
    "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# velm_wait <seconds> <command>...: true as soon as the command succeeds,
# asked five times a second, its output dropped; false once the time is up.
velm_wait() {
    local tries=$(($1 * 5))
    shift
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
    done
}

# velm_build <preset> [cmake arguments...]: configures and builds a preset
# of CMakePresets.json.
velm_build() {
    local preset=$1
    shift
    (cd "$(velm_root)" && cmake --preset "$preset" "$@" && cmake --build --preset "$preset")
}
