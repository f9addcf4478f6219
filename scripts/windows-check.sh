#!/usr/bin/env bash
# Builds the Windows x86-64 deliverable and proves it under Wine. Root only;
# CI runs it after scripts/test.sh. Inside the Debian 13 chroot of trixie.sh
#  1. it makes two releases with scripts/release.sh for a local update
#     server, which the lifecycle in step 5 uses (the first run also gets
#     the Windows Qt: from VELM_WINDOWS_QT_ARCHIVE, or built once from
#     Debian's qt6-base source, about an hour);
#  2. cross-builds this project with its tests and compiler warnings as
#     errors, and installs the folder that ships into build-windows/OperatorVelm/
#     with build-windows/OperatorVelm.zip beside it;
#  3. checks both programs' headers and manifests, and that every DLL they
#     and the shipped DLLs import is in the folder or part of Windows;
#  4. runs the whole test suite under Wine (build-windows/ctest-wine.log);
#  5. runs an operator's update from release 1 to release 2 under Wine and
#     Xvfb (scripts/windows-lifecycle.sh): release 1 installed silently into
#     a folder with Cyrillic letters and spaces, the update offered and
#     saved by Updater; the installer and the uninstaller refusing (exit
#     code 3, folder untouched) while a program of the folder is open;
#     then installed from tmp\, release 2 offering nothing, and the
#     uninstaller leaving the operator's files.
# The exit status is 0 only when every step passed; a failure is named when
# it happens and again at the end, with where its full output is.
#
# VELM_UPDATE_HOST, VELM_RELEASE_NUMBER  passed on to the folder of step 2
# and the variables of windows-build.sh and trixie.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/trixie.sh"
source "$(dirname "${BASH_SOURCE[0]}")/windows-build.sh"

if [ "$(id -u)" -ne 0 ]; then
    velm_log "$(basename "$0") must run as root: debootstrap, chroot and mount need it"
    exit 2
fi

started=$SECONDS
out="$VELM_ROOT/build-windows"
lifecycle="$out/lifecycle"
failures=()
check_failed() {
    velm_log "FAILED: $*"
    failures+=("$*")
}

# -- 1. two releases for the lifecycle, by the release command ---------------
# Their update host is a local server on a port chosen now and served in
# step 5.
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
mkdir -p "$lifecycle"
rm -rf "$lifecycle/release/1" "$lifecycle/release/2" "$lifecycle/server" "$lifecycle/run" "$lifecycle/requests.log"
releases_made=true
for number in 1 2; do
    velm_log "release $number for the lifecycle (update host localhost:$port)"
    if ! VELM_RELEASE_NUMBER=$number VELM_UPDATE_HOST="localhost:$port" VELM_RELEASE_DIR="$lifecycle/release" \
        bash "$VELM_ROOT/scripts/release.sh" 2>&1 | tee "$lifecycle/release-$number.log" >&2; then
        check_failed "scripts/release.sh could not make release $number (build-windows/lifecycle/release-$number.log)"
        releases_made=false
        break
    fi
done

velm_windows_enter
# A throwaway CA for the lifecycle is trusted by the chroot, and so by Wine,
# only while this script runs.
e2e_ca="$trixie_dir/usr/local/share/ca-certificates/velm-windows-check.crt"
cleanup() {
    # Only what this run started: the server by its process id, and the
    # programs of this run's Wine prefixes.
    if [ -s "$lifecycle/server.pid" ]; then
        kill "$(cat "$lifecycle/server.pid")" 2>/dev/null || true
    fi
    for prefix in "$work/wine-tests" "$work/lifecycle/run/wine"; do
        [ -d "$trixie_dir$prefix" ] && in_chroot WINEPREFIX="$prefix" timeout 30 wineserver -k 2>/dev/null || true
    done
    if [ -s "$lifecycle/run/xvfb.pid" ]; then
        kill "$(cat "$lifecycle/run/xvfb.pid")" 2>/dev/null || true
    fi
    if [ -f "$e2e_ca" ]; then
        rm -f "$e2e_ca"
        in_chroot update-ca-certificates --fresh >/dev/null 2>&1 || true
    fi
    trixie_unmount_all
}
trap cleanup EXIT
velm_windows_qt

# -- 2. the project and the folder that ships ---------------------------------
ship_args=()
[ -n "${VELM_UPDATE_HOST:-}" ] && ship_args+=(-DVELM_UPDATE_HOST="$VELM_UPDATE_HOST")
[ -n "${VELM_RELEASE_NUMBER:-}" ] && ship_args+=(-DVELM_RELEASE_NUMBER="$VELM_RELEASE_NUMBER")

velm_log "cross-building the project with its tests into $out/build"
rm -rf "$out/build" "$out/OperatorVelm" "$out/OperatorVelm.zip"
built=true
if ! velm_windows_build "$work/build" -DCMAKE_CXX_FLAGS=-Werror "${ship_args[@]}"; then
    check_failed "the cross build of the project and its tests (the compiler's words above)"
    built=false
fi
if $built; then
    velm_log "installing the folder that ships into $out/OperatorVelm"
    velm_windows_install "$work/build" "$work/OperatorVelm"
    (cd "$out" && zip -qrX OperatorVelm.zip OperatorVelm)
fi

# -- 3. the programs and the DLLs they need ------------------------------------
# (skipped when the build failed)
if $built; then
    velm_log "checking the programs and the DLLs they need"
    for program in OperatorVelm Updater; do
        while read -r problem; do
            [ -n "$problem" ] && check_failed "$problem"
        done <<<"$(velm_windows_check_program "$work/OperatorVelm/$program.exe")"
    done
    # Every DLL that a program or a shipped DLL imports is either in the folder
    # or part of Windows (Wine's system32 stands in for a clean Windows here).
    missing_dlls="$(in_chroot bash -c '
        folder=$1
        wineprefix=$(mktemp -d)
        WINEPREFIX=$wineprefix WINEDEBUG=-all timeout 180 wineboot -i >/dev/null 2>&1
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
        WINEPREFIX=$wineprefix timeout 30 wineserver -k 2>/dev/null || true
        rm -rf "$wineprefix"
    ' dll-check "$work/OperatorVelm")"
    if [ -n "$missing_dlls" ]; then
        check_failed "the folder lacks DLLs:"
        printf '%s\n' "$missing_dlls" >&2
    fi
    for plugin in platforms/qwindows.dll styles/qmodernwindowsstyle.dll tls/qschannelbackend.dll; do
        [ -f "$out/OperatorVelm/$plugin" ] || check_failed "the folder lacks the plugin $plugin"
    done

    # -- 4. the test suite under Wine -------------------------------------------
    # Wine hands no QT_* variable from Linux to a Windows process: the platform,
    # the logging and a font folder go into the prefix's user environment instead.
    # The offscreen platform otherwise looks for fonts in Qt's own lib/fonts, and
    # warns once, in whichever test first lays out text.
    velm_log "running the test suite under Wine"
    in_chroot bash -euo pipefail -c '
        work=$1; prefix=$2
        export WINEPREFIX=$work/wine-tests WINEDEBUG=-all
        rm -rf "$WINEPREFIX"
        timeout 180 wineboot -i >/dev/null 2>&1
        wine reg add "HKCU\\Environment" /v QT_QPA_PLATFORM /t REG_SZ /d offscreen /f >/dev/null
        wine reg add "HKCU\\Environment" /v QT_FORCE_STDERR_LOGGING /t REG_SZ /d 1 /f >/dev/null
        wine reg add "HKCU\\Environment" /v QT_QPA_FONTDIR /t REG_SZ /d "Z:\\usr\\share\\fonts\\truetype\\dejavu" \
            /f >/dev/null
        timeout 120 wineserver -w
        runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
        pthread=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
        export WINEPATH="Z:${prefix//\//\\}\\bin;Z:${runtime//\//\\};Z:${pthread//\//\\}"
        cd "$work/build"
        status=0
        xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
            timeout 2400 ctest --verbose --timeout 600 > "$work/ctest-wine.log" 2>&1 || status=$?
        # The whole log keeps every case; here each skip with what it says is
        # missing, each failure, and the summary.
        grep -E "^[0-9]+: (SKIP|FAIL!)|^[0-9]+: Totals|tests passed|tests failed|\(Failed\)" \
            "$work/ctest-wine.log" || true
        timeout 30 wineserver -k 2>/dev/null || true
        exit "$status"
    ' wine-tests "$work" "$qt_prefix" || check_failed "tests under Wine (every case: build-windows/ctest-wine.log)"
fi

# -- 5. an operator's update from release 1 to release 2 ----------------------
if $releases_made; then
    velm_log "the update lifecycle under Wine: release 1 to release 2"
    mkdir -p "$lifecycle/certs" "$lifecycle/server/files/Velm"
    certs="$lifecycle/certs"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=velm windows-check CA" \
        -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
        -keyout "$certs/server.key" -out "$certs/server.csr" 2>/dev/null
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        >"$certs/server.ext"
    openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
        -CAcreateserial -days 2 -extfile "$certs/server.ext" -out "$certs/server.pem" 2>/dev/null
    cp "$certs/ca.pem" "$e2e_ca"
    in_chroot update-ca-certificates >/dev/null
    # Release 2 as it would be uploaded.
    cp "$lifecycle/release/2/Version.json" "$lifecycle/release/2/OperatorVelm-2-setup.exe" \
        "$lifecycle/server/files/Velm/"

    in_chroot bash -euo pipefail -c '
        lifecycle=$1; port=$2
        cat > "$lifecycle/server.py" <<"PYTHON"
import http.server, ssl, sys
root, certs, port, log = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
class Handler(http.server.SimpleHTTPRequestHandler):
    # Connections stay open after a response, as with real servers. A server
    # that closes right after the last byte, without a TLS close_notify,
    # now and then leaves the TLS layer of Wine holding the last record, and the
    # download stalls.
    protocol_version = "HTTP/1.1"
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=root, **kwargs)
    def log_message(self, fmt, *args):
        with open(log, "a") as out:
            out.write("%s\n" % (fmt % args))
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certs + "/server.pem", certs + "/server.key")
server.socket = context.wrap_socket(server.socket, server_side=True)
open(root + "/../ready", "w").close()
server.serve_forever()
PYTHON
        python3 "$lifecycle/server.py" "$lifecycle/server" "$lifecycle/certs" "$port" "$lifecycle/requests.log" \
            >"$lifecycle/server.log" 2>&1 &
        echo $! > "$lifecycle/server.pid"
        for _ in $(seq 1 50); do [ -e "$lifecycle/ready" ] && break; sleep 0.1; done
        [ -e "$lifecycle/ready" ]
    ' lifecycle-server "$work/lifecycle" "$port" \
        || check_failed "the local HTTPS server did not start on port $port (build-windows/lifecycle/server.log)"

    if ! in_chroot bash "$src/scripts/windows-lifecycle.sh" "$work/lifecycle" "$port" "$work" \
        2>&1 | tee "$lifecycle/lifecycle.log" >&2; then
        first="$(grep -m1 'lifecycle: FAILED' "$lifecycle/lifecycle.log" || true)"
        check_failed "the update lifecycle${first:+: ${first#lifecycle: FAILED: }} (build-windows/lifecycle/)"
    fi
    kill "$(cat "$lifecycle/server.pid")" 2>/dev/null || true
    rm -f "$lifecycle/server.pid"
fi

du -sh "$out/OperatorVelm" "$out/OperatorVelm.zip" | sed 's/^/== size: /' >&2
if $releases_made; then
    du -h "$lifecycle/release/2/OperatorVelm-2-setup.exe" "$lifecycle/release/2/OperatorVelm-2.zip" \
        | sed 's/^/== size: /' >&2
fi
velm_log "Qt $qt_version for Windows (shared), whole run $((SECONDS - started)) s"
if [ "${#failures[@]}" -eq 0 ]; then
    velm_log "Windows deliverable built and checked: $out/OperatorVelm, $out/OperatorVelm.zip"
    exit 0
fi
velm_log "the Windows check FAILED; first failure: ${failures[0]}"
for failure in "${failures[@]:1}"; do
    velm_log "  and then: $failure"
done
velm_log "full output: this log, build-windows/ctest-wine.log and build-windows/lifecycle/"
exit 1
