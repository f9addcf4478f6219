# shellcheck shell=bash
# Sourced by the root-only commands, with common.sh: a Debian 13 "trixie"
# chroot, made once with debootstrap and reused, with folders of this
# machine mounted inside while a command runs.
#
# VELM_TRIXIE_ROOT    where the chroot lives (default /var/cache/velm/trixie),
#                     in a folder of root's that only root may enter
# VELM_TRIXIE_MIRROR  the Debian mirror (default: the one this machine's apt uses)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
velm_chroot_suite=trixie

velm_chroot_dir() {
    local dir="${VELM_TRIXIE_ROOT:-/var/cache/velm/trixie}"
    printf '%s\n' "${dir%/}"
}

# velm_private <folder>: ends the command unless the folder is an absolute
# path, it (if it is there) and the folder holding it belong to root, and
# only root may enter the latter (made so when missing): whoever else made or
# entered them could plant what the release runs and signs.
velm_private() {
    [ "${1#/}" = "$1" ] || [ -e "${1%/*}" ] || install -d -m 0700 "${1%/*}"
    case "$1=$(stat -c %u:%a "${1%/*}" 2>/dev/null)$(stat -c :%u "$1" 2>/dev/null)" in
        /?*=0:[1-7]00 | /?*=0:[1-7]00:0) ;;
        *) velm_log "refused: $1 must be an absolute path, and it and the folder that holds it belong to root," \
            "which alone may enter that folder (mode 0700); found: $(stat -c '%n (owner %U, mode %a)' "${1%/*}" "$1" \
            2>/dev/null | xargs)"; exit 2 ;;
    esac
}

# velm_chroot_mirror: VELM_TRIXIE_MIRROR, or the main archive of this
# machine's own release among its apt sources.
velm_chroot_mirror() {
    local codename mirror="${VELM_TRIXIE_MIRROR:-}"
    if [ -z "$mirror" ]; then
        codename="$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")"
        # shellcheck disable=SC2016 # a format of apt-get's
        mirror="$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null \
            | awk -v codename="$codename" '$2 == codename || $2 == "stable" { print $1; exit }')"
    fi
    [ -n "$mirror" ] || return 1
    printf '%s\n' "${mirror%/}"
}

# velm_in_chroot [NAME=VALUE...] <command>...: runs it inside, in a clean
# environment.
velm_in_chroot() {
    local dir
    dir="$(velm_chroot_dir)"
    chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# Everything this command mounted below the chroot, newest last.
velm_chroot_mounted=()

velm_chroot_unmount() {
    local i
    for ((i = ${#velm_chroot_mounted[@]} - 1; i >= 0; i--)); do
        umount "${velm_chroot_mounted[i]}" 2>/dev/null || umount -l "${velm_chroot_mounted[i]}" 2>/dev/null \
            || velm_log "could not unmount ${velm_chroot_mounted[i]}"
    done
    velm_chroot_mounted=()
}

# velm_chroot_bind <path here> <path inside> [ro]
velm_chroot_bind() {
    local target
    target="$(velm_chroot_dir)$2"
    mkdir -p "$target"
    mount --bind "$1" "$target"
    velm_chroot_mounted+=("$target")
    [ "${3:-}" != ro ] || mount -o remount,bind,ro "$target"
}

# velm_chroot_enter: makes the chroot if needed and mounts what programs
# inside need; everything is unmounted when the command exits (callers with
# a trap of their own call velm_chroot_unmount from it).
velm_chroot_enter() {
    local dir suite=$velm_chroot_suite mirror root
    dir="$(velm_chroot_dir)"
    root="$(velm_root)"
    velm_require_root "debootstrap, chroot and mount need it"
    case "$dir/" in
        "$root"/*) velm_log "VELM_TRIXIE_ROOT must lie outside the source tree"; exit 2 ;;
    esac
    velm_private "$dir"
    mirror="$(velm_chroot_mirror)" \
        || { velm_log "found no Debian mirror in this machine's apt sources; set VELM_TRIXIE_MIRROR"; exit 2; }
    velm_log "Debian mirror: $mirror"
    velm_install host

    trap velm_chroot_unmount EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    ! awk -v prefix="$dir/" '{ gsub(/\\040/, " ", $2) } index($2 "/", prefix) == 1 { found = 1 } END { exit !found }' \
        /proc/self/mounts || { velm_log "something is still mounted below $dir (another run?)"; exit 2; }

    if [ ! -f "$dir/.velm-chroot-ready" ]; then
        if [ -d "$dir/debootstrap" ]; then
            velm_log "removing the unfinished chroot in $dir"
            rm -rf --one-file-system "$dir"
        elif [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ]; then
            velm_log "$dir exists but is not a chroot made by these scripts; remove it or set VELM_TRIXIE_ROOT"
            exit 2
        fi
        velm_log "making a Debian $suite chroot in $dir (once)"
        mkdir -p "$dir"
        local options=(--variant=minbase)
        [ "${mirror#https:}" = "$mirror" ] || options+=(--include=ca-certificates)
        debootstrap "${options[@]}" "$suite" "$dir" "$mirror"
        printf 'deb %s %s main\n' "$mirror" "$suite" >"$dir/etc/apt/sources.list"
        touch "$dir/.velm-chroot-ready"
    else
        velm_log "reusing the chroot in $dir"
    fi

    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    local system
    for system in /proc /sys /dev /dev/pts /dev/shm; do
        velm_chroot_bind "$system" "$system"
    done
}

# velm_chroot_package_version <package> [--debian]: the upstream version
# installed inside, e.g. 6.8.2, or Debian's whole version string.
velm_chroot_package_version() {
    local version
    # shellcheck disable=SC2016 # a format of dpkg-query's
    version="$(velm_in_chroot dpkg-query -W -f='${Version}' "$1")"
    [ "${2:-}" = --debian ] || { version="${version#*:}"; version="${version%%[-+~]*}"; }
    printf '%s\n' "$version"
}
