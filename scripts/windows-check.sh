#!/usr/bin/env bash
# Builds the Windows x86-64 deliverable and proves it under Wine. Root only,
# not part of CI. Inside the Debian 13 chroot of trixie.sh it
#  1. builds, once, a shared Qt for Windows from Debian's own qt6-base source
#     (the same version as the chroot's Qt, whose moc, uic and rcc it uses)
#     and caches it in VELM_WINDOWS_QT_CACHE (default /var/tmp/velm-windows-qt);
#  2. cross-builds this project with cmake/toolchains/mingw-w64-x86_64.cmake;
#  3. installs the folder that ships into build-windows/OperatorVelm/ and
#     zips it, then checks both programs' headers, manifests and DLLs;
#  4. runs the whole test suite under Wine;
#  5. runs the update path end to end under Wine and Xvfb against a local
#     HTTPS server, leaving build-windows/screenshot.png.
# The exit status is 0 only when every step passed.
#
# VELM_WINDOWS_QT_CACHE  where the Windows Qt is kept between runs
# VELM_UPDATE_HOST, VELM_RELEASE_NUMBER  passed on to the shipping build
# and the variables of trixie.sh (VELM_TRIXIE_ROOT, VELM_TRIXIE_MIRROR).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/trixie.sh"

started=$SECONDS
qt_cache="${VELM_WINDOWS_QT_CACHE:-/var/tmp/velm-windows-qt}"
qt_cache="${qt_cache%/}"
out="$VELM_ROOT/build-windows"
case "$qt_cache" in
    /?*) ;;
    *) velm_log "VELM_WINDOWS_QT_CACHE must be an absolute path, got '$qt_cache'"; exit 2 ;;
esac

trixie_enter

# The inside of the chroot, as every step below sees it.
src=/velm/src
cache=/velm/qt
work=/velm/out
toolchain=$src/cmake/toolchains/mingw-w64-x86_64.cmake

trixie_install cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev python3 openssl \
    ca-certificates dpkg-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 wine wine64 xvfb xauth xdotool x11-utils imagemagick \
    fonts-dejavu-core icoutils zip procps

qt_package_version="$(in_chroot dpkg-query -W -f='${Version}' qt6-base-dev)"
qt_version="$(trixie_package_version qt6-base-dev)"
velm_log "host Qt in the chroot: $qt_package_version"
qt_prefix=$cache/$qt_version

mkdir -p "$qt_cache" "$out"
trixie_bind "$VELM_ROOT" "$src" ro
trixie_bind "$qt_cache" "$cache"
trixie_bind "$out" "$work"

# A throwaway CA for the end-to-end run is trusted by the chroot, and so by
# Wine, only while this script runs.
e2e_ca="$trixie_dir/usr/local/share/ca-certificates/velm-windows-check.crt"
cleanup() {
    pkill -f "$work/" 2>/dev/null || true
    if [ -f "$e2e_ca" ]; then
        rm -f "$e2e_ca"
        in_chroot update-ca-certificates --fresh >/dev/null 2>&1 || true
    fi
    trixie_unmount_all
}
trap cleanup EXIT

# -- 1. Qt for Windows, once --------------------------------------------------
if [ ! -f "$qt_cache/$qt_version/.velm-qt-ready" ]; then
    velm_log "building Qt $qt_version for Windows into $qt_cache/$qt_version (once; takes long)"
    qt_started=$SECONDS
    in_chroot bash -euo pipefail -c '
        cache=$1; package_version=$2; mirror=$3; suite=$4; prefix=$5; toolchain=$6
        # A source list of our own: the chroot'"'"'s apt sources stay as they are.
        apt=$cache/apt
        mkdir -p "$apt/lists/partial" "$apt/sources.list.d"
        printf "deb-src %s %s main\n" "$mirror" "$suite" > "$apt/sources.list"
        options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
                 -o "Dir::State::Lists=$apt/lists")
        # An interrupted run goes on where it stopped.
        source_dir=""
        if [ -d "$cache/source" ]; then
            source_dir=$(find "$cache/source" -mindepth 1 -maxdepth 1 -type d -name "qt6-base-*" | head -n 1)
        fi
        if [ -z "$source_dir" ]; then
            apt-get "${options[@]}" update -qq
            rm -rf "$cache/source" "$cache/build"
            mkdir -p "$cache/source"
            (cd "$cache/source" && apt-get "${options[@]}" source -qq "qt6-base=$package_version")
            source_dir=$(find "$cache/source" -mindepth 1 -maxdepth 1 -type d -name "qt6-base-*" | head -n 1)
        fi
        # Qt 6.8.2 asks for the software OpenGL check even without OpenGL.
        sed -i "s/^#if QT_CONFIG(dynamicgl)\$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/" \
            "$source_dir/src/plugins/platforms/windows/qwindowswindow.cpp"
        # The Qt kept in the cache must not depend on where this tree lies.
        cp "$toolchain" "$cache/mingw-w64-x86_64.cmake"
        # Only what the two programs and their tests use; the rest would
        # double the build time. Qt'"'"'s own copies of zlib and the like, so
        # that no further DLL has to ship. Debian'"'"'s source lacks the
        # Wintab header, so no tablet input.
        cmake -S "$source_dir" -B "$cache/build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$cache/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$prefix" \
            -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
            -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
            -DQT_BUILD_BENCHMARKS=OFF -DQT_GENERATE_SBOM=OFF \
            -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF \
            -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
            -DFEATURE_vulkan=OFF -DFEATURE_jpeg=OFF -DFEATURE_openssl=OFF \
            -DFEATURE_tabletevent=OFF \
            -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
            -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
        cmake --build "$cache/build" --parallel "$(nproc)"
        cmake --install "$cache/build"
        rm -rf "$cache/source" "$cache/build"
    ' build-qt "$cache" "$qt_package_version" "$trixie_mirror" "$trixie_suite" "$qt_prefix" "$toolchain"
    touch "$qt_cache/$qt_version/.velm-qt-ready"
    velm_log "Qt for Windows built in $((SECONDS - qt_started)) s"
else
    velm_log "reusing Qt $qt_version for Windows in $qt_cache/$qt_version"
fi

# -- 2. the project -----------------------------------------------------------
cross_args=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$qt_prefix"
            -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
            -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_BENCH=OFF)
ship_args=()
[ -n "${VELM_UPDATE_HOST:-}" ] && ship_args+=(-DVELM_UPDATE_HOST="$VELM_UPDATE_HOST")
[ -n "${VELM_RELEASE_NUMBER:-}" ] && ship_args+=(-DVELM_RELEASE_NUMBER="$VELM_RELEASE_NUMBER")

velm_log "cross-building the project into $out/build"
rm -rf "$out/build" "$out/OperatorVelm" "$out/OperatorVelm.zip"
in_chroot bash -euo pipefail -c '
    src=$1; build=$2; shift 2
    cmake -S "$src" -B "$build" "$@" -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/wine -DCMAKE_CXX_FLAGS=-Werror
    cmake --build "$build" --parallel "$(nproc)"
' cross-build "$src" "$work/build" "${cross_args[@]}" "${ship_args[@]}"

# -- 3. the folder that ships -------------------------------------------------
velm_log "installing the folder that ships into $out/OperatorVelm"
in_chroot cmake --install "$work/build" --prefix "$work/OperatorVelm"
# Debian's MinGW runtime and this Qt carry their debug sections, which no
# operator needs: stripped, the folder shrinks to less than half. The
# unstripped programs stay in the build folder.
in_chroot find "$work/OperatorVelm" \( -iname "*.exe" -o -iname "*.dll" \) \
    -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
(cd "$out" && zip -qr OperatorVelm.zip OperatorVelm)

status=0
check_failed() { velm_log "FAILED: $*"; status=1; }

velm_log "checking the programs and the DLLs they need"
for program in OperatorVelm Updater; do
    exe="$work/OperatorVelm/$program.exe"
    headers="$(in_chroot x86_64-w64-mingw32-objdump -f -p "$exe")"
    grep -q 'file format pei-x86-64' <<<"$headers" || check_failed "$program.exe is not an x86-64 program"
    grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' <<<"$headers" \
        || check_failed "$program.exe is not a GUI-subsystem program"
    manifest="$(in_chroot wrestool -x --raw --type=24 "$exe" 2>/dev/null || true)"
    grep -q 'level="asInvoker"' <<<"$manifest" || check_failed "$program.exe: no asInvoker manifest"
    grep -q 'name="Microsoft.Windows.Common-Controls"' <<<"$manifest" && grep -q 'version="6.0.0.0"' <<<"$manifest" \
        || check_failed "$program.exe: manifest does not ask for common controls 6.0.0.0"
done
# Every DLL that a program or a shipped DLL imports is either in the folder
# or part of Windows (Wine's system32 stands in for a clean Windows here).
missing_dlls="$(in_chroot bash -c '
    folder=$1
    wineprefix=$(mktemp -d)
    WINEPREFIX=$wineprefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1
    system32=$wineprefix/drive_c/windows/system32
    find "$folder" -iname "*.exe" -o -iname "*.dll" | while read -r binary; do
        x86_64-w64-mingw32-objdump -p "$binary" | awk "/DLL Name:/ { print \$3 }" | while read -r dll; do
            # API sets (api-ms-win-*) are resolved by the Windows loader itself.
            case "${dll,,}" in api-ms-win-*|ext-ms-win-*) continue ;; esac
            if ! find "$folder" -maxdepth 1 -iname "$dll" | grep -q . \
                && ! find "$system32" -maxdepth 1 -iname "$dll" | grep -q .; then
                echo "$(basename "$binary") needs $dll"
            fi
        done
    done
    WINEPREFIX=$wineprefix wineserver -k 2>/dev/null || true
    rm -rf "$wineprefix"
' dll-check "$work/OperatorVelm")"
if [ -n "$missing_dlls" ]; then
    check_failed "the folder lacks DLLs:"
    printf '%s\n' "$missing_dlls" >&2
fi
for plugin in platforms/qwindows.dll styles/qmodernwindowsstyle.dll tls/qschannelbackend.dll; do
    [ -f "$out/OperatorVelm/$plugin" ] || check_failed "the folder lacks the plugin $plugin"
done

# -- 4. the test suite under Wine ----------------------------------------------
# Wine hands no QT_* variable from Linux to a Windows process: the platform,
# the logging and a font folder go into the prefix's user environment instead.
# The offscreen platform otherwise looks for fonts in Qt's own lib/fonts, and
# warns once, in whichever test first lays out text.
velm_log "running the test suite under Wine"
in_chroot bash -euo pipefail -c '
    work=$1; prefix=$2
    export WINEPREFIX=$work/wine-tests WINEDEBUG=-all
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wine reg add "HKCU\\Environment" /v QT_QPA_PLATFORM /t REG_SZ /d offscreen /f >/dev/null
    wine reg add "HKCU\\Environment" /v QT_FORCE_STDERR_LOGGING /t REG_SZ /d 1 /f >/dev/null
    wine reg add "HKCU\\Environment" /v QT_QPA_FONTDIR /t REG_SZ /d "Z:\\usr\\share\\fonts\\truetype\\dejavu" \
        /f >/dev/null
    wineserver -w
    runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
    pthread=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
    export WINEPATH="Z:${prefix//\//\\}\\bin;Z:${runtime//\//\\};Z:${pthread//\//\\}"
    cd "$work/build"
    status=0
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
        ctest --verbose --timeout 600 > "$work/ctest-wine.log" 2>&1 || status=$?
    # The whole log keeps every case; here each skip with what it says is
    # missing, each failure, and the summary.
    grep -E "^[0-9]+: (SKIP|FAIL!)|^[0-9]+: Totals|tests passed|tests failed|\(Failed\)" \
        "$work/ctest-wine.log" || true
    wineserver -k 2>/dev/null || true
    exit "$status"
' wine-tests "$work" "$qt_prefix" || check_failed "tests under Wine"

# -- 5. the update path end to end -------------------------------------------
velm_log "the update path end to end under Wine"
e2e=$out/e2e
rm -rf "$e2e"
mkdir -p "$e2e/certs" "$e2e/server/files/Velm"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=velm windows-check CA" \
    -keyout "$e2e/certs/ca.key" -out "$e2e/certs/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
    -keyout "$e2e/certs/server.key" -out "$e2e/certs/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    > "$e2e/certs/server.ext"
openssl x509 -req -in "$e2e/certs/server.csr" -CA "$e2e/certs/ca.pem" -CAkey "$e2e/certs/ca.key" \
    -CAcreateserial -days 2 -extfile "$e2e/certs/server.ext" -out "$e2e/certs/server.pem" 2>/dev/null
cp "$e2e/certs/ca.pem" "$e2e_ca"
in_chroot update-ca-certificates >/dev/null
head -c $((6 * 1024 * 1024)) /dev/urandom > "$e2e/server/files/Velm/OperatorVelm-2.exe"

in_chroot bash -euo pipefail -c '
    e2e=$1; toolchain_args_start=2
    shift
    # The server picks its port and writes it down; the build for this run
    # names it as its update host.
    cat > "$e2e/server.py" <<"PYTHON"
import http.server, json, ssl, sys
root, certs = sys.argv[1], sys.argv[2]
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=root, **kwargs)
    def log_message(self, fmt, *args):
        with open(root + "/../requests.log", "a") as log:
            log.write("%s\n" % (fmt % args))
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certs + "/server.pem", certs + "/server.key")
server.socket = context.wrap_socket(server.socket, server_side=True)
port = server.server_address[1]
with open(root + "/files/Velm/Version.json", "w") as manifest:
    json.dump({"Version": 2, "URL": "https://localhost:%d/files/Velm/OperatorVelm-2.exe" % port}, manifest)
with open(root + "/../port", "w") as f:
    f.write(str(port))
server.serve_forever()
PYTHON
    python3 "$e2e/server.py" "$e2e/server" "$e2e/certs" >"$e2e/server.log" 2>&1 &
    for _ in $(seq 1 50); do [ -s "$e2e/port" ] && break; sleep 0.1; done
    [ -s "$e2e/port" ]
' e2e-server "$work/e2e" || check_failed "the local HTTPS server did not start"

port="$(cat "$e2e/port" 2>/dev/null || echo 0)"
velm_log "local update server: https://localhost:$port"
in_chroot bash -euo pipefail -c '
    src=$1; build=$2; port=$3; shift 3
    cmake -S "$src" -B "$build" "$@" -DVELM_BUILD_TESTS=OFF -DVELM_UPDATE_HOST="localhost:$port" \
        -DVELM_RELEASE_NUMBER=1 >/dev/null
    cmake --build "$build" --parallel "$(nproc)" --target OperatorVelm
' e2e-build "$src" "$work/e2e/build" "$port" "${cross_args[@]}" || check_failed "the end-to-end build"

# The folder as it ships, with the program that asks the local server.
cp -a "$out/OperatorVelm" "$e2e/folder"
cp "$e2e/build/bin/OperatorVelm.exe" "$e2e/folder/OperatorVelm.exe"

in_chroot bash -uo pipefail -c '
    work=$1; shipped=$2
    e2e=$work/e2e
    fail() { echo "end to end: $*" >&2; exit 1; }
    export WINEPREFIX=$e2e/wine WINEDEBUG=-all
    wineboot -i >/dev/null 2>&1
    wineserver -w
    Xvfb :57 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    export DISPLAY=:57
    for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    # waitwindow <title regex> [seconds]: the id of a shown window of that title.
    waitwindow() {
        local id=""
        for _ in $(seq 1 $((${2:-30} * 5))); do
            id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
            [ -n "$id" ] && { echo "$id"; return 0; }
            sleep 0.2
        done
        return 1
    }

    # The shipped folder, as it is, starts on a clean prefix with no path
    # of ours: everything it needs is inside.
    (cd "$shipped" && wine OperatorVelm.exe >/dev/null 2>&1 &)
    id=$(waitwindow "^OperatorVelm$" 60) || fail "the shipped OperatorVelm.exe showed no window"
    echo "end to end: the shipped OperatorVelm.exe shows its window"
    xdotool windowclose "$id" 2>/dev/null || xdotool key --window "$id" alt+F4
    for _ in $(seq 1 50); do pgrep -x "OperatorVelm.ex" >/dev/null || break; sleep 0.2; done
    pkill -x "OperatorVelm.ex" 2>/dev/null

    cd "$e2e/folder"
    wine OperatorVelm.exe >"$e2e/operatorvelm.log" 2>&1 &
    id=$(waitwindow "^OperatorVelm$" 60) || fail "OperatorVelm.exe showed no window"
    for _ in $(seq 1 150); do grep -q "GET /files/Velm/Version.json" "$e2e/requests.log" 2>/dev/null && break; sleep 0.2; done
    grep -q "GET /files/Velm/Version.json HTTP/1.1\" 200" "$e2e/requests.log" || fail "no manifest request reached the server"
    sleep 3 # the reply is read and the button relabelled
    import -window "$id" "$work/screenshot.png" || fail "no screenshot"
    echo "end to end: the manifest was fetched; screenshot in build-windows/screenshot.png"
    eval "$(xdotool getwindowgeometry --shell "$id")"
    # The update button is the lowest one, spanning the window.
    xdotool mousemove --window "$id" $((WIDTH / 2)) $((HEIGHT - 22)) click 1
    for _ in $(seq 1 150); do grep -q "OperatorVelm-2.exe HTTP/1.1\" 200" "$e2e/requests.log" 2>/dev/null && break; sleep 0.2; done
    grep -q "GET /files/Velm/OperatorVelm-2.exe HTTP/1.1\" 200" "$e2e/requests.log" \
        || fail "after the click no download reached the server (was the update offered?)"
    echo "end to end: the click started Updater.exe, which asked for the file"
    done_id=$(waitwindow "^Download Complete$" 60) || {
        xdotool search --onlyvisible --name . getwindowname %@ >&2 2>/dev/null
        fail "Updater showed no \"Download Complete\" box"
    }
    import -window "$done_id" "$work/updater-complete.png" 2>/dev/null
    pgrep -x "OperatorVelm.ex" >/dev/null && fail "OperatorVelm.exe did not quit after starting the updater"
    cmp "$e2e/server/files/Velm/OperatorVelm-2.exe" tmp/OperatorVelm-2.exe || fail "the saved file differs"
    [ "$(ls -A tmp)" = "OperatorVelm-2.exe" ] || fail "tmp/ holds more than the file: $(ls -A tmp)"
    echo "end to end: tmp/OperatorVelm-2.exe is the served file byte for byte, and nothing else is in tmp/"
    xdotool key --window "$done_id" Return
    for _ in $(seq 1 50); do pgrep -x "Updater.exe" >/dev/null || break; sleep 0.2; done
    pgrep -x "Updater.exe" >/dev/null && fail "Updater.exe did not end after its box"
    echo "end to end: Updater.exe ended after its box was dismissed"
    wineserver -k 2>/dev/null
    kill "$xvfb" 2>/dev/null
    exit 0
' e2e "$work" "$work/OperatorVelm" || check_failed "the update path end to end"

du -sh "$out/OperatorVelm" "$out/OperatorVelm.zip" | sed 's/^/== size: /' >&2
velm_log "Qt $qt_version for Windows (shared), whole run $((SECONDS - started)) s"
if [ "$status" -eq 0 ]; then
    velm_log "Windows deliverable built and checked: $out/OperatorVelm, $out/OperatorVelm.zip"
else
    velm_log "the Windows check failed"
fi
exit "$status"
