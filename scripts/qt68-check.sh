#!/usr/bin/env bash
# Builds the project with warnings as errors and runs every test against the
# Qt 6.8 of Debian 13 "trixie", inside a chroot made with debootstrap.
# Root only, and not part of CI. The exit status is the build's, else the tests'.
#
# VELM_TRIXIE_ROOT  where the chroot lives (made once, reused): /var/tmp/velm-trixie
# VELM_TRIXIE_MIRROR  Debian mirror; by default the one this host's apt uses
# VELM_TRIXIE_EXTRA_PACKAGES  more trixie packages to install, space-separated
# VELM_QT68_REV  a git revision to check instead of the working tree (e.g. HEAD)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
    velm_log "qt68-check.sh must run as root: debootstrap, chroot and mount need it"
    exit 2
fi

chroot_dir="${VELM_TRIXIE_ROOT:-/var/tmp/velm-trixie}"
chroot_dir="${chroot_dir%/}"
suite=trixie
ready_mark="$chroot_dir/.velm-chroot-ready"
source_in_chroot=/velm/src
build_in_chroot=/velm/build

case "$chroot_dir" in
    /?*) ;;
    *) velm_log "VELM_TRIXIE_ROOT must be an absolute path other than /, got '$chroot_dir'"; exit 2 ;;
esac
case "$chroot_dir/" in
    "$VELM_ROOT"/*) velm_log "VELM_TRIXIE_ROOT must lie outside the source tree"; exit 2 ;;
esac

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

revision=""
if [ -n "${VELM_QT68_REV:-}" ]; then
    if ! revision="$(git -C "$VELM_ROOT" rev-parse --verify --quiet "$VELM_QT68_REV^{commit}")"; then
        velm_log "VELM_QT68_REV: no such revision '$VELM_QT68_REV'"
        exit 2
    fi
fi

mirror="${VELM_TRIXIE_MIRROR:-}"
if [ -z "$mirror" ]; then
    mirror="$(host_debian_mirror || true)"
fi
if [ -z "$mirror" ]; then
    velm_log "found no Debian mirror in /etc/apt/sources.list*; set VELM_TRIXIE_MIRROR"
    exit 2
fi
mirror="${mirror%/}"
velm_log "Debian mirror: $mirror"

velm_install_packages debootstrap
if [ ! -e "/usr/share/debootstrap/scripts/$suite" ]; then
    velm_log "this host's debootstrap does not know '$suite'"
    exit 2
fi

# Everything mounted below the chroot, newest last; unmounted on any exit.
mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null \
            || velm_log "could not unmount ${mounted[i]}"
    done
    mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mounts_below() {
    awk -v prefix="$1/" '{ gsub(/\\040/, " ", $2) } index($2 "/", prefix) == 1 { print $2 }' /proc/self/mounts
}

bind_into_chroot() {   # bind_into_chroot <host path> <path in chroot> [ro]
    local target="$chroot_dir$2"
    mkdir -p "$target"
    mount --bind "$1" "$target"
    mounted+=("$target")
    if [ "${3:-}" = ro ]; then
        mount -o remount,bind,ro "$target"
    fi
}

in_chroot() {
    chroot "$chroot_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive "$@"
}

if [ -n "$(mounts_below "$chroot_dir")" ]; then
    velm_log "something is still mounted below $chroot_dir (another run?):"
    mounts_below "$chroot_dir" >&2
    exit 2
fi

if [ ! -f "$ready_mark" ]; then
    if [ -d "$chroot_dir/debootstrap" ]; then
        velm_log "removing the unfinished chroot in $chroot_dir"
        rm -rf --one-file-system "$chroot_dir"
    elif [ -d "$chroot_dir" ] && [ -n "$(ls -A "$chroot_dir")" ]; then
        velm_log "$chroot_dir exists but is not a chroot made by this script; remove it or set VELM_TRIXIE_ROOT"
        exit 2
    fi
    velm_log "making a Debian $suite chroot in $chroot_dir (once)"
    mkdir -p "$chroot_dir"
    debootstrap_args=(--variant=minbase)
    [ "${mirror#https:}" != "$mirror" ] && debootstrap_args+=(--include=ca-certificates)
    debootstrap "${debootstrap_args[@]}" "$suite" "$chroot_dir" "$mirror"
    printf 'deb %s %s main\n' "$mirror" "$suite" > "$chroot_dir/etc/apt/sources.list"
    touch "$ready_mark"
else
    velm_log "reusing the chroot in $chroot_dir"
fi

cp -L /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true
mkdir -p "$chroot_dir/proc" "$chroot_dir/sys"
mount -t proc proc "$chroot_dir/proc"; mounted+=("$chroot_dir/proc")
mount -t sysfs sysfs "$chroot_dir/sys"; mounted+=("$chroot_dir/sys")
bind_into_chroot /dev /dev
bind_into_chroot /dev/pts /dev/pts
bind_into_chroot /dev/shm /dev/shm

# What the build and tests need: the project's list, read now, so packages
# added later come along; names trixie lacks are skipped. With gdb there, Qt
# Test prints a stack trace when a test crashes.
wanted=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev python3 openssl gdb
        "${VELM_PACKAGES[@]}")
read -r -a extra <<< "${VELM_TRIXIE_EXTRA_PACKAGES:-}"
wanted+=("${extra[@]}")
missing=()
for package in $(printf '%s\n' "${wanted[@]}" | awk 'NF && !seen[$0]++'); do
    if ! in_chroot dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    in_chroot apt-get update -qq
    installable=()
    for package in "${missing[@]}"; do
        if in_chroot apt-cache show --no-all-versions "$package" >/dev/null 2>&1; then
            installable+=("$package")
        else
            velm_log "skipping '$package': $suite has no such package"
        fi
    done
    if [ "${#installable[@]}" -gt 0 ]; then
        velm_log "installing in the chroot: ${installable[*]}"
        in_chroot apt-get install -y -qq --no-install-recommends "${installable[@]}"
    fi
fi

qt_version="$(in_chroot dpkg-query -W -f='${Version}' qt6-base-dev)"
qt_version="${qt_version#*:}"
qt_version="${qt_version%%[-+~]*}"
velm_log "Qt in the chroot: $qt_version"
case "$qt_version" in
    6.8|6.8.*) ;;
    *) velm_log "expected Qt 6.8.x in the $suite chroot, found '$qt_version'"; exit 2 ;;
esac

# The working tree as it is now, read-only; or one committed revision.
if [ -n "$revision" ]; then
    velm_log "checking revision $VELM_QT68_REV (${revision:0:12})"
    rm -rf --one-file-system "${chroot_dir:?}$source_in_chroot"
    mkdir -p "$chroot_dir$source_in_chroot"
    git -C "$VELM_ROOT" archive "$revision" | tar -x -C "$chroot_dir$source_in_chroot"
else
    velm_log "checking the working tree $VELM_ROOT"
    mkdir -p "$chroot_dir$source_in_chroot"
    bind_into_chroot "$VELM_ROOT" "$source_in_chroot" ro
fi
rm -rf --one-file-system "${chroot_dir:?}$build_in_chroot"
mkdir -p "$chroot_dir$build_in_chroot"

status=0
in_chroot QT_QPA_PLATFORM=offscreen bash -euo pipefail -c '
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-Werror
    cmake --build "$2" --parallel "$(nproc)"
    cd "$2"
    ctest --output-on-failure --timeout 600
' qt68-check "$source_in_chroot" "$build_in_chroot" || status=$?

if [ "$status" -eq 0 ]; then
    velm_log "Qt $qt_version: build without warnings and all tests passed"
else
    velm_log "Qt $qt_version: build or tests failed (status $status)"
fi
exit "$status"
