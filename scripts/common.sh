# Shared by run.sh and test.sh: set-up of a fresh Debian machine and the build.
# Source it; it defines functions only.

VELM_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VELM_BUILD_DIR="${VELM_BUILD_DIR:-$VELM_ROOT/build}"

# What building and testing need, by Debian package name.
VELM_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    python3 openssl libgcrypt20-dev
)

velm_log() { printf '== %s\n' "$*" >&2; }

velm_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        velm_log "need root to run: $*"
        return 1
    fi
}

# velm_install_packages [extra packages...]: installs whatever is missing.
velm_install_packages() {
    local missing=() package
    for package in "${VELM_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    velm_log "installing: ${missing[*]}"
    velm_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    velm_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# velm_build [extra cmake arguments...]: configures (once) and builds into $VELM_BUILD_DIR.
velm_build() {
    local generator=()
    if [ ! -f "$VELM_BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
    fi
    cmake -S "$VELM_ROOT" -B "$VELM_BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$VELM_BUILD_DIR" --parallel "$(nproc)"
}
