# Shared by the root-only checks (qt68-check.sh, windows-check.sh): a Debian 13
# "trixie" chroot made with debootstrap, once, and reused. Source it after
# common.sh; it defines functions and variables only.
#
# VELM_TRIXIE_ROOT    where the chroot lives: /var/tmp/velm-trixie
# VELM_TRIXIE_MIRROR  Debian mirror; by default the one this host's apt uses

trixie_dir="${VELM_TRIXIE_ROOT:-/var/tmp/velm-trixie}"
trixie_dir="${trixie_dir%/}"
trixie_suite=trixie
trixie_mirror=""

# The main archive entry of this host's apt sources (the one for the host's
# own release, not -updates or -security), in .list or deb822 .sources form.
host_debian_mirror() {
    local codename files=()
    codename="$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")"
    [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
    shopt -s nullglob
    files+=(/etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    shopt -u nullglob
    [ "${#files[@]}" -gt 0 ] || return 1
    awk -v codename="$codename" '
        function consider(uri, suites,    n, parts, i) {
            n = split(suites, parts, /[ \t]+/)
            for (i = 1; i <= n; i++) {
                if (parts[i] == codename || parts[i] == "stable") { print uri; found = 1; exit }
            }
        }
        function flush() {
            if (isdeb && enabled && uris != "") {
                split(uris, first, /[ \t]+/)
                consider(first[1], suites)
            }
            isdeb = 0; enabled = 1; uris = ""; suites = ""
        }
        FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
        /^[ \t]*#/ { next }
        deb822 && /^[ \t]*$/ { flush(); next }
        deb822 && tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1; next }
        deb822 && tolower($1) == "enabled:" { enabled = (tolower($2) != "no"); next }
        deb822 && tolower($1) == "uris:" { $1 = ""; uris = $0; sub(/^[ \t]+/, "", uris); next }
        deb822 && tolower($1) == "suites:" { $1 = ""; suites = $0; next }
        !deb822 && $1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            consider($i, $(i + 1))
        }
        END { if (!found) flush() }
    ' "${files[@]}"
}

# Everything mounted below the chroot, newest last; unmounted on any exit.
trixie_mounted=()
trixie_unmount_all() {
    local i
    for ((i = ${#trixie_mounted[@]} - 1; i >= 0; i--)); do
        umount "${trixie_mounted[i]}" 2>/dev/null || umount -l "${trixie_mounted[i]}" 2>/dev/null \
            || velm_log "could not unmount ${trixie_mounted[i]}"
    done
    trixie_mounted=()
}

trixie_mounts_below() {
    awk -v prefix="$1/" '{ gsub(/\\040/, " ", $2) } index($2 "/", prefix) == 1 { print $2 }' /proc/self/mounts
}

trixie_bind() {   # trixie_bind <host path> <path in chroot> [ro]
    local target="$trixie_dir$2"
    mkdir -p "$target"
    mount --bind "$1" "$target"
    trixie_mounted+=("$target")
    if [ "${3:-}" = ro ]; then
        mount -o remount,bind,ro "$target"
    fi
}

# in_chroot [NAME=VALUE...] command...: a clean environment inside.
in_chroot() {
    chroot "$trixie_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# Checks the arguments, makes the chroot if needed and mounts what programs
# inside need. Installs the unmount trap: callers add to it, not replace it.
trixie_enter() {
    if [ "$(id -u)" -ne 0 ]; then
        velm_log "$(basename "$0") must run as root: debootstrap, chroot and mount need it"
        exit 2
    fi
    case "$trixie_dir" in
        /?*) ;;
        *) velm_log "VELM_TRIXIE_ROOT must be an absolute path other than /, got '$trixie_dir'"; exit 2 ;;
    esac
    case "$trixie_dir/" in
        "$VELM_ROOT"/*) velm_log "VELM_TRIXIE_ROOT must lie outside the source tree"; exit 2 ;;
    esac

    trixie_mirror="${VELM_TRIXIE_MIRROR:-}"
    [ -n "$trixie_mirror" ] || trixie_mirror="$(host_debian_mirror || true)"
    if [ -z "$trixie_mirror" ]; then
        velm_log "found no Debian mirror in /etc/apt/sources.list*; set VELM_TRIXIE_MIRROR"
        exit 2
    fi
    trixie_mirror="${trixie_mirror%/}"
    velm_log "Debian mirror: $trixie_mirror"

    velm_install_packages debootstrap
    if [ ! -e "/usr/share/debootstrap/scripts/$trixie_suite" ]; then
        velm_log "this host's debootstrap does not know '$trixie_suite'"
        exit 2
    fi

    trap trixie_unmount_all EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    if [ -n "$(trixie_mounts_below "$trixie_dir")" ]; then
        velm_log "something is still mounted below $trixie_dir (another run?):"
        trixie_mounts_below "$trixie_dir" >&2
        exit 2
    fi

    local ready_mark="$trixie_dir/.velm-chroot-ready"
    if [ ! -f "$ready_mark" ]; then
        if [ -d "$trixie_dir/debootstrap" ]; then
            velm_log "removing the unfinished chroot in $trixie_dir"
            rm -rf --one-file-system "$trixie_dir"
        elif [ -d "$trixie_dir" ] && [ -n "$(ls -A "$trixie_dir")" ]; then
            velm_log "$trixie_dir exists but is not a chroot made by these scripts; remove it or set VELM_TRIXIE_ROOT"
            exit 2
        fi
        velm_log "making a Debian $trixie_suite chroot in $trixie_dir (once)"
        mkdir -p "$trixie_dir"
        local debootstrap_args=(--variant=minbase)
        [ "${trixie_mirror#https:}" != "$trixie_mirror" ] && debootstrap_args+=(--include=ca-certificates)
        debootstrap "${debootstrap_args[@]}" "$trixie_suite" "$trixie_dir" "$trixie_mirror"
        printf 'deb %s %s main\n' "$trixie_mirror" "$trixie_suite" > "$trixie_dir/etc/apt/sources.list"
        touch "$ready_mark"
    else
        velm_log "reusing the chroot in $trixie_dir"
    fi

    cp -L /etc/resolv.conf "$trixie_dir/etc/resolv.conf" 2>/dev/null || true
    mkdir -p "$trixie_dir/proc" "$trixie_dir/sys"
    mount -t proc proc "$trixie_dir/proc"; trixie_mounted+=("$trixie_dir/proc")
    mount -t sysfs sysfs "$trixie_dir/sys"; trixie_mounted+=("$trixie_dir/sys")
    trixie_bind /dev /dev
    trixie_bind /dev/pts /dev/pts
    trixie_bind /dev/shm /dev/shm
}

# trixie_install packages...: installs the missing ones; names trixie lacks
# are skipped with a line.
trixie_install() {
    local missing=() installable=() package
    for package in $(printf '%s\n' "$@" | awk 'NF && !seen[$0]++'); do
        if ! in_chroot dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$package")
        fi
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    in_chroot apt-get update -qq
    for package in "${missing[@]}"; do
        if in_chroot apt-cache show --no-all-versions "$package" >/dev/null 2>&1; then
            installable+=("$package")
        else
            velm_log "skipping '$package': $trixie_suite has no such package"
        fi
    done
    if [ "${#installable[@]}" -gt 0 ]; then
        velm_log "installing in the chroot: ${installable[*]}"
        in_chroot apt-get install -y -qq --no-install-recommends "${installable[@]}"
    fi
}

# The upstream version of a package installed in the chroot, e.g. 6.8.2.
trixie_package_version() {
    local version
    version="$(in_chroot dpkg-query -W -f='${Version}' "$1")"
    version="${version#*:}"
    printf '%s' "${version%%[-+~]*}"
}
