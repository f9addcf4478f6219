# shellcheck shell=bash
# Sourced by the commands in scripts/ and by .ci/run: the checkout,
# logging, root, Debian packages and the steps of a command with their
# summary. Functions only; each answers on
# stdout or with its exit status.

# velm_root: the checkout's top folder.
velm_root() {
    (cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
}

velm_log() {
    printf '== %s\n' "$*" >&2
}

# velm_require_root <why>: ends the command unless it runs as root.
velm_require_root() {
    [ "$(id -u)" -eq 0 ] || { velm_log "$(basename "$0") must run as root: $1"; exit 2; }
}

# velm_packages <list>...: the Debian packages of lib/packages/<list>.txt.
velm_packages() {
    local list
    for list in "$@"; do
        grep -v '^#' "$(velm_root)/scripts/lib/packages/$list.txt"
    done | xargs
}

# velm_install [--in <command>] <list>...: installs the packages of those
# lists that are missing, here (as root, or through sudo) or through
# <command>, such as velm_in_chroot.
velm_install() {
    local run=() missing=() package
    [ "$(id -u)" -eq 0 ] || run=(sudo)
    [ "${1:-}" != --in ] || { run=("$2"); shift 2; }
    for package in $(velm_packages "$@"); do
        # shellcheck disable=SC2016 # a format of dpkg-query's
        "${run[@]}" dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' \
            || missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    velm_log "installing: ${missing[*]}"
    "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# velm_step <name> <command>...: runs one step of a command, saying how it
# went and how long it took; a failure is kept for velm_summary.
velm_failed=()
velm_step() {
    local name=$1 started=$SECONDS
    shift
    velm_log "$name"
    if "$@"; then
        velm_log "$name: passed in $((SECONDS - started)) s"
    else
        velm_log "$name: FAILED after $((SECONDS - started)) s"
        velm_failed+=("$name")
    fi
}

# velm_ok: whether every step so far passed.
velm_ok() {
    [ "${#velm_failed[@]}" -eq 0 ]
}

# velm_summary: 0 when every step passed; else names the failed ones, first first.
velm_summary() {
    ! velm_ok || { velm_log "$(basename "$0"): every step passed"; return 0; }
    velm_log "$(basename "$0") FAILED: ${velm_failed[*]}"
    return 1
}
