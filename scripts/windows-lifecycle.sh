#!/usr/bin/env bash
# An operator's update from release 1 to release 2 under Wine, as
# windows-check.sh runs it inside the Debian 13 chroot:
#   windows-lifecycle.sh <lifecycle folder> <port> <screenshot folder>
# The lifecycle folder holds release/1/ and release/2/ as release.sh made
# them for the update host localhost:<port>, and server/, which a local
# HTTPS server (trusted by the chroot, and so by Wine) serves on that port,
# logging each request to requests.log beside it. Release 2's Version.json
# and installer are in server/files/Velm/.
# Between the download and the update, release 2's installer and release 1's
# uninstaller are run while a program of the folder is open: they must end
# with exit code 3 and change nothing. Part of it runs in a Russian session,
# as an operator's PC does (the chroot has the ru_RU.UTF-8 locale).
# Each step prints what it showed; the first failure ends the run with
# "lifecycle: FAILED: ..." and exit status 1.
set -uo pipefail

lifecycle=$1
port=$2
shots=$3
release=$lifecycle/release
run=$lifecycle/run
requests=$lifecycle/requests.log
setup2=OperatorVelm-2-setup.exe

step() { echo "lifecycle: $*"; }
fail() {
    echo "lifecycle: FAILED: $*" >&2
    exit 1
}

rm -rf "$run"
mkdir -p "$run"
export WINEPREFIX=$run/wine WINEDEBUG=-all
# Ends this prefix's programs and the X server, whatever way the run ends.
finish() {
    timeout 30 wineserver -k 2>/dev/null
    [ -s "$run/xvfb.pid" ] && kill "$(cat "$run/xvfb.pid")" 2>/dev/null
}
trap finish EXIT

timeout 180 wineboot -i >/dev/null 2>&1 || fail "a new Wine prefix took more than 180 s"
timeout 120 wineserver -w

# A display number no other X server holds.
display=57
while [ -e "/tmp/.X$display-lock" ] && [ "$display" -lt 99 ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
echo $! >"$run/xvfb.pid"
export DISPLAY=":$display"
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"

# waitwindow <title regex> <seconds>: the id of a shown window of that title.
waitwindow() {
    local id=""
    for _ in $(seq 1 $(($2 * 5))); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    return 1
}
# newwindow <title regex> <seconds> <known window ids...>: the id of a shown
# window of that title that is none of the known ones.
newwindow() {
    local regex=$1 seconds=$2 id
    shift 2
    for _ in $(seq 1 $((seconds * 5))); do
        for id in $(xdotool search --onlyvisible --name "$regex" 2>/dev/null); do
            printf '%s\n' "$@" | grep -qxF "$id" || { echo "$id"; return 0; }
        done
        sleep 0.2
    done
    return 1
}
# interactive <code file>: runs release 2's installer from tmp\ as a
# double-click does, in a Russian session, and leaves its exit code in the
# file when it ends. Passes its welcome page and prints the ids of the
# installer's windows.
interactive() {
    local windows
    rm -f "$1"
    (cd "$folder/tmp" && LANG=ru_RU.UTF-8 timeout 300 wine "$setup2" >>"$run/wine-cmd.log" 2>&1
     echo $? >"$1") >/dev/null 2>&1 &
    waitwindow '^Установка OperatorVelm' 60 >/dev/null || return 1
    sleep 1 # drawn and ready for keys
    windows=$(xdotool search --onlyvisible --name '^Установка OperatorVelm' 2>/dev/null)
    xdotool key --window "$(head -n 1 <<<"$windows")" Return 2>/dev/null
    echo $windows
}
# running <pid>: whether that process still runs (and is no zombie).
running() {
    [ -d "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}
# ours <program.exe>: process ids of that Windows program in this run's Wine
# prefix only, so that a program of the same name elsewhere is never touched.
ours() {
    local pid
    for pid in $(pgrep -x "${1:0:15}"); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
}
# waitfor <seconds> <command...>: true once the command succeeds.
waitfor() {
    local seconds=$1
    shift
    for _ in $(seq 1 $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
count() { grep -c "$1" "$requests" 2>/dev/null; }
atleast() { [ "$(count "$1")" -ge "$2" ]; }
gone() { [ -z "$(ours "$1")" ]; }
notrunning() { ! running "$1"; }
# The update button is the lowest one, spanning the window.
clickupdate() {
    local WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(WIDTH|HEIGHT)=')"
    xdotool mousemove --window "$1" $((WIDTH / 2)) $((HEIGHT - 22)) click 1
}
# wine_cmd <folder> <command line>: runs it through cmd, which passes the
# line as typed (NSIS wants /D= unquoted and last), and waits for every
# program of the prefix to end.
wine_cmd() {
    (cd "$1" && timeout 300 wine cmd /c "$2") >>"$run/wine-cmd.log" 2>&1
    timeout 120 wineserver -w
}
# unchanged <what>: the folder still holds release 1 byte for byte, with its
# uninstaller, shortcut and entry: nothing was changed.
unchanged() {
    diff -r --exclude=uninstall.exe --exclude=tmp "$run/unpacked-1/OperatorVelm" "$folder" >&2 \
        || fail "$1 changed the folder, which is no longer release 1's"
    cmp -s "$run/uninstall-1.exe" "$folder/uninstall.exe" || fail "$1 replaced or removed uninstall.exe"
    [ -f "$shortcut" ] || fail "$1 removed the Start-menu shortcut"
    [ "$(registry DisplayVersion)" = 1 ] || fail "$1 changed the uninstaller entry: $(registry DisplayVersion)"
}
# refused <what> <folder> <command line>: the command, run through cmd, ends
# with exit code 3 (a program of the folder is open) and changes nothing.
refused() {
    local code=0
    (cd "$2" && timeout 300 wine cmd /c "$3") >>"$run/wine-cmd.log" 2>&1 || code=$?
    [ "$code" = 3 ] || fail "$1 exited with $code instead of 3 while a program of the folder was open"
    unchanged "$1"
}
registry() {
    wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\OperatorVelm' /v "$1" 2>/dev/null \
        | awk -v name="$1" '$1 == name { print $NF }' | tr -d '\r'
}
# Whether the shortcut starts the program in the given folder: the link
# keeps its working folder as a UTF-16 string of its own, not merely as the
# start of the program's path.
shortcut_works_in() {
    python3 - "$1" "$2" <<'PYTHON'
import sys
link, folder = sys.argv[1], sys.argv[2]
data, wanted = open(link, "rb").read(), folder.encode("utf-16-le")
at = data.find(wanted)
while at >= 0 and data[at + len(wanted):at + len(wanted) + 2] == "\\".encode("utf-16-le"):
    at = data.find(wanted, at + 1)
sys.exit(0 if at >= 0 else 1)
PYTHON
}

for n in 1 2; do
    [ -f "$release/$n/Version.json" ] || fail "release.sh left no release $n"
    python3 -m zipfile -e "$release/$n/OperatorVelm-$n.zip" "$run/unpacked-$n" || fail "release $n's zip does not unpack"
done
cmp -s "$run/unpacked-1/OperatorVelm/OperatorVelm.exe" "$run/unpacked-2/OperatorVelm/OperatorVelm.exe" \
    && fail "release 1 and 2 ship the same OperatorVelm.exe, so nothing below could tell them apart"

folder_windows='C:\Рабочее место\Оператор Velm'
folder="$WINEPREFIX/drive_c/Рабочее место/Оператор Velm"
note='Мои заметки.txt'
shortcut="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/OperatorVelm.lnk"

# -- 1. release 1, installed silently into a Cyrillic folder with spaces ------
cp "$release/1/OperatorVelm-1-setup.exe" "$run/"
wine_cmd "$run" "OperatorVelm-1-setup.exe /S /D=$folder_windows"
[ -f "$folder/OperatorVelm.exe" ] || fail "release 1's installer left nothing in $folder_windows"
diff -r --exclude=uninstall.exe "$run/unpacked-1/OperatorVelm" "$folder" >&2 \
    || fail "the installed folder is not release 1's folder"
[ -f "$folder/uninstall.exe" ] || fail "no uninstaller in the folder"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
shortcut_works_in "$shortcut" "$folder_windows" || fail "the shortcut does not start the program in its folder"
[ "$(registry DisplayVersion)" = 1 ] || fail "no uninstaller registered for release 1"
cp "$folder/uninstall.exe" "$run/uninstall-1.exe"
step "1. release 1 installed silently into $folder_windows: the folder is release 1's," \
    "with uninstall.exe, a Start-menu shortcut working in the folder and a per-user uninstaller entry"

# -- 2, 3. release 1 offers release 2; Updater saves its installer -------------
manifest="GET /files/Velm/Version.json HTTP/1.1\" 200"
download="GET /files/Velm/$setup2 HTTP/1.1\" 200"
step "2. https://localhost:$port serves release 2's Version.json: $(cat "$lifecycle/server/files/Velm/Version.json")"
cd "$folder" || fail "cannot enter the folder"
wine OperatorVelm.exe >"$run/operatorvelm-1.log" 2>&1 &
velm=$!
id=$(waitwindow '^OperatorVelm$' 60) || fail "release 1's OperatorVelm.exe showed no window"
waitfor 30 atleast "$manifest" 1 || fail "release 1 did not ask for Version.json"
sleep 3 # the reply is read and the button relabelled
import -window "$id" "$shots/screenshot.png" 2>/dev/null
clickupdate "$id"
waitfor 30 atleast "$download" 1 || fail "after the click no download reached the server (was the update offered?)"
done_id=$(waitwindow '^Download Complete$' 60) || {
    xdotool search --onlyvisible --name . getwindowname %@ >&2 2>/dev/null
    fail "Updater showed no \"Download Complete\" box"
}
import -window "$done_id" "$shots/updater-complete.png" 2>/dev/null
waitfor 10 notrunning "$velm" || fail "OperatorVelm.exe did not quit after starting Updater"
cmp "$release/2/$setup2" "tmp/$setup2" || fail "tmp\\$setup2 is not the served installer"
[ "$(ls -A tmp)" = "$setup2" ] || fail "tmp\\ holds more than the installer: $(ls -A tmp)"
step "3. release 1 offered the update; the click started Updater.exe and OperatorVelm quit;" \
    "tmp\\$setup2 is the served installer byte for byte"

# -- 4-7. an open program stops the installer and the uninstaller -------------
refused "$setup2 /S, with Updater's box still open," "$folder/tmp" "$setup2 /S"
xdotool windowfocus --sync "$done_id" key Return 2>/dev/null
waitfor 10 gone Updater.exe || fail "Updater.exe did not end after its box"
step "4. with Updater's \"Download Complete\" box still open, $setup2 /S from tmp\\ exited with 3 and" \
    "left the folder byte for byte release 1's; Updater ended after its box"

# The operator starts release 1 again to go on working.
wine OperatorVelm.exe >"$run/operatorvelm-1-again.log" 2>&1 &
velm=$!
id=$(waitwindow '^OperatorVelm$' 60) || fail "release 1's OperatorVelm.exe showed no window when started again"
refused "$setup2 /S, with OperatorVelm open," "$folder/tmp" "$setup2 /S"
step "5. with OperatorVelm open, $setup2 /S from tmp\\ exited with 3 and left the folder byte for byte release 1's"
# In place (_?=), so that its exit code is the uninstaller's own.
refused "the silent uninstaller, with OperatorVelm open," "$folder" "uninstall.exe /S _?=$folder_windows"
step "6. with OperatorVelm open, the silent uninstaller exited with 3 and removed nothing"

# Run by double-click, in a Russian session: the welcome page, then the box
# that asks to close the programs. «Отмена» ends the installer.
installer=$(interactive "$run/interactive-1.code") || fail "$setup2 showed no window when run by double-click"
# shellcheck disable=SC2086 # one id each
box=$(newwindow '^Установка OperatorVelm' 60 $installer) \
    || fail "with OperatorVelm open, the installer asked nothing after its welcome page"
sleep 1 # drawn
import -window root "$shots/installer-programs-open.png" 2>/dev/null
xdotool windowfocus --sync "$box" key Escape 2>/dev/null
waitfor 30 test -s "$run/interactive-1.code" || fail "the installer did not end after «Отмена»"
[ "$(cat "$run/interactive-1.code")" = 3 ] \
    || fail "after «Отмена» the installer exited with $(cat "$run/interactive-1.code") instead of 3"
unchanged "the installer, cancelled,"
step "7. run by double-click with OperatorVelm open, the installer asked to close the programs" \
    "(build-windows/installer-programs-open.png); «Отмена» ended it with 3 and the folder stayed release 1's"

# -- 8. closed, the installer run again updates the folder in place -----------
xdotool windowfocus --sync "$id" key alt+F4
waitfor 20 notrunning "$velm" || fail "release 1's OperatorVelm.exe did not end when its window was closed"
printf 'Показания абонента 1042: уточнить\r\n' >"$folder/$note"
cp "$folder/$note" "$run/note"
installer=$(interactive "$run/interactive-2.code") || fail "$setup2 showed no window when run by double-click"
# version.json comes last, just before the finish page.
waitfor 120 cmp -s "$run/unpacked-2/OperatorVelm/version.json" "$folder/version.json" \
    || fail "version.json after the update: $(cat "$folder/version.json")"
sleep 2
# «Готово», with «Запустить OperatorVelm» ticked.
xdotool key --window "${installer%% *}" Return 2>/dev/null
waitfor 30 test -s "$run/interactive-2.code" || fail "the installer did not end on its finish page"
[ "$(cat "$run/interactive-2.code")" = 0 ] \
    || fail "the installer that updated the folder exited with $(cat "$run/interactive-2.code")"
diff -r --exclude=uninstall.exe --exclude=tmp --exclude="$note" "$run/unpacked-2/OperatorVelm" "$folder" >&2 \
    || fail "the updated folder is not release 2's folder"
cmp -s "$release/2/$setup2" "$folder/tmp/$setup2" || fail "tmp\\ lost the installer"
cmp -s "$run/note" "$folder/$note" || fail "the operator's file did not survive the update"
[ "$(registry DisplayVersion)" = 2 ] || fail "the uninstaller entry does not name release 2"
[ ! -e "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs/OperatorVelm" ] \
    || fail "the update went into the default folder instead of the one it was saved below"
step "8. OperatorVelm closed, $setup2 run again from tmp\\ updated the folder in place and exited with 0:" \
    "version.json says $(tr -d '\n' <"$folder/version.json"), the programs are release 2's," \
    "tmp\\ and the operator's file are kept"

# -- 9. release 2, started by the finish page, asks the server and offers nothing
asked=$(count "$manifest")
id=$(waitwindow '^OperatorVelm$' 60) || fail "the finish page did not start release 2's OperatorVelm.exe"
velm=$(ours OperatorVelm.exe | head -n 1)
waitfor 30 atleast "$manifest" $((asked + 1)) || fail "release 2 did not ask for Version.json"
sleep 3
import -window "$id" "$shots/screenshot-release-2.png" 2>/dev/null
clickupdate "$id"
sleep 3
[ "$(count "$download")" = 1 ] || fail "release 2 downloaded the update again"
running "$velm" || fail "release 2's OperatorVelm.exe quit on the click, as if it had offered an update"
# Alt+F4 as typed: without a window manager only a focused window gets it.
xdotool windowfocus --sync "$id" key alt+F4
waitfor 20 notrunning "$velm" || fail "release 2's OperatorVelm.exe did not end when its window was closed"
step "9. release 2, started by the finish page, asked the server again and offered nothing:" \
    "its update button did nothing"

# -- 10. with nothing open, the silent installer from tmp\ ends with 0 ---------
code=0
(cd "$folder/tmp" && timeout 300 wine cmd /c "$setup2 /S") >>"$run/wine-cmd.log" 2>&1 || code=$?
[ "$code" = 0 ] || fail "with nothing open, $setup2 /S from tmp\\ exited with $code"
diff -r --exclude=uninstall.exe --exclude=tmp --exclude="$note" "$run/unpacked-2/OperatorVelm" "$folder" >&2 \
    || fail "after $setup2 /S the folder is not release 2's folder"
cmp -s "$run/note" "$folder/$note" || fail "the operator's file did not survive $setup2 /S"
step "10. with nothing open, $setup2 /S from tmp\\ exited with 0 and the folder is release 2's"

# -- 11. uninstalling leaves the operator's files -------------------------------
wine_cmd "$folder" "uninstall.exe /S"
leftover=$(cd "$run/unpacked-2/OperatorVelm" && find . -type f | while read -r file; do
    [ -e "$folder/$file" ] && echo "$file"
done)
[ -z "$leftover" ] || fail "uninstalling left installed files: $leftover"
[ ! -e "$folder/uninstall.exe" ] || fail "uninstalling left uninstall.exe"
[ ! -e "$shortcut" ] || fail "uninstalling left the Start-menu shortcut"
[ -z "$(registry DisplayName)" ] || fail "uninstalling left the uninstaller entry"
cmp -s "$run/note" "$folder/$note" || fail "uninstalling took the operator's file"
cmp -s "$release/2/$setup2" "$folder/tmp/$setup2" || fail "uninstalling took tmp\\"
remaining=$(cd "$folder" && find . -mindepth 1 | sed 's|^\./||' | sort | paste -sd ' ')
[ "$remaining" = "tmp tmp/$setup2 $note" ] || fail "after uninstalling the folder holds: $remaining"
step "11. uninstalled: the installed files, shortcut and entry are gone; the folder keeps only $remaining"
exit 0
