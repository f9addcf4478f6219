#!/usr/bin/env python3
"""An operator's update from release 1 to release 2 under Wine and Xvfb.

Usage: windows_lifecycle.py <lifecycle folder> <port> <screenshot folder>

windows-check.sh runs it inside the Debian 13 chroot. The lifecycle folder
holds release/1/ and release/2/ as release.sh made them for the update host
localhost:<port>, and server/, which lifecycle_server.py serves on that
port (its CA trusted by the chroot, and so by Wine), logging each request
to requests.log. Release 2's Version.json and installer are in
server/files/Velm/. While a program of the folder is open, release 2's
installer and release 1's uninstaller must end with exit code 3 and change
nothing; part of it runs in a Russian session, as on an operator's PC.
Both releases are signed: at the end, a forged installer must not be kept,
and a forged manifest must not be offered.
Each step prints what it showed; the first failure ends the run with
"lifecycle: FAILED: ..." and exit status 1.
"""
import atexit
import base64
import filecmp
import hashlib
import json
import os
import pwd
import shutil
import subprocess
import sys
import time
import zipfile

LIFECYCLE, PORT, SHOTS = os.path.abspath(sys.argv[1]), sys.argv[2], os.path.abspath(sys.argv[3])
RUN = os.path.join(LIFECYCLE, "run")
SETUP2 = "OperatorVelm-2-setup.exe"
SERVED2 = os.path.join(LIFECYCLE, "release", "2", SETUP2)
MANIFEST = 'GET /files/Velm/Version.json HTTP/1.1" 200'
DOWNLOAD = 'GET /files/Velm/%s HTTP/1.1" 200' % SETUP2
FOLDER_WINDOWS = "C:\\Рабочее место\\Оператор Velm"
SECOND_WINDOWS = "C:\\Оператор Velm 2"
NOTE = "Мои заметки.txt"
PREFIX = os.path.join(RUN, "wine")
FOLDER = os.path.join(PREFIX, "drive_c", "Рабочее место", "Оператор Velm")
TMP = os.path.join(FOLDER, "tmp")
SECOND = os.path.join(PREFIX, "drive_c", "Оператор Velm 2")
SERVED = os.path.join(LIFECYCLE, "server", "files", "Velm")
SAVED2 = os.path.join(TMP, SETUP2)
NOTE_PATH, NOTE_COPY = os.path.join(FOLDER, NOTE), os.path.join(RUN, "note")
USER = os.path.join(PREFIX, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name)
SHORTCUT = os.path.join(USER, "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/OperatorVelm.lnk")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")
LOG = subprocess.DEVNULL  # Wine's own output, in run/wine.log once the run starts


def step(text):
    print("lifecycle: " + text, flush=True)


def check(ok, text):
    if not ok:
        print("lifecycle: FAILED: " + text, file=sys.stderr, flush=True)
        sys.exit(1)


def wait(seconds, ready):
    """Whether ready() came true within that many seconds."""
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def run(command, cwd=None, timeout=300, **env):
    """Runs a command to its end; its exit code, 124 if it took too long."""
    try:
        return subprocess.run(command, cwd=cwd, env=dict(ENV, **env), stdout=LOG, stderr=LOG,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return 124


def start(command, cwd, log=None, **env):
    return subprocess.Popen(command, cwd=cwd, env=dict(ENV, **env), stdout=log or LOG, stderr=log or LOG)


def ended(process, seconds):
    try:
        return process.wait(seconds) is not None
    except subprocess.TimeoutExpired:
        return False


def wine_cmd(cwd, line, settle=True):
    """Runs the line through cmd, which passes it on as typed (NSIS wants
    /D= and _?= last and unquoted); its exit code. With settle, waits for
    every program of the prefix to end as well."""
    code = run(["wine", "cmd", "/c", line], cwd=cwd)
    if settle:
        run(["wineserver", "-w"], timeout=120)
    return code


def output(command):
    return subprocess.run(command, env=ENV, capture_output=True, text=True).stdout


def windows(title):
    """Ids of the shown windows whose title matches the regular expression."""
    return output(["xdotool", "search", "--onlyvisible", "--name", title]).split()


def new_window(title, seconds, known=()):
    """The id of a shown window of that title that is none of the known ones."""
    found = []

    def look():
        found[:] = [window for window in windows(title) if window not in known]
        return bool(found)

    return found[0] if wait(seconds, look) else None


def press(window, key):
    # Without a window manager only a focused window gets keys as typed.
    run(["xdotool", "windowfocus", "--sync", window, "key", key])


def screenshot(window, name):
    run(["import", "-window", window, os.path.join(SHOTS, name)])


def click_update(window):
    """The update button is the lowest one, spanning the window."""
    size = dict(line.split("=") for line in output(["xdotool", "getwindowgeometry", "--shell", window]).split())
    run(["xdotool", "mousemove", "--window", window, str(int(size["WIDTH"]) // 2),
         str(int(size["HEIGHT"]) - 22), "click", "1"])


def ours(program):
    """Whether that Windows program runs in this run's Wine prefix; one of
    the same name elsewhere is never counted."""
    for pid in output(["pgrep", "-x", program[:15]]).split():
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if ("WINEPREFIX=" + PREFIX).encode() in environ.read().split(b"\0"):
                    return True
        except OSError:  # ended meanwhile
            pass
    return False


def requests(what):
    with open(os.path.join(LIFECYCLE, "requests.log")) as log:
        return sum(what in line for line in log)


def registry(name):
    text = output(["wine", "reg", "query", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
                   "\\OperatorVelm", "/v", name])
    return next((line.split()[-1] for line in text.splitlines() if line.split()[:1] == [name]), "")


def same(a, b):
    return os.path.isfile(a) and os.path.isfile(b) and filecmp.cmp(a, b, shallow=False)


def differences(number):
    """What keeps the folder from holding exactly the files of that release,
    besides its uninstaller, tmp\\ and the operator's file."""
    diff = subprocess.run(["diff", "-r", "-q", "--exclude=uninstall.exe", "--exclude=tmp", "--exclude=" + NOTE,
                           os.path.join(RUN, "unpacked-%d" % number, "OperatorVelm"), FOLDER],
                          capture_output=True, text=True)
    return "" if diff.returncode == 0 else (diff.stdout + diff.stderr).strip()


def shortcut_works_in(link, folder):
    """Whether the shortcut starts the program in the folder: the link keeps
    its working folder as a UTF-16 string of its own, not merely as the
    start of the program's path."""
    with open(link, "rb") as file:
        data = file.read()
    wanted, backslash = folder.encode("utf-16-le"), "\\".encode("utf-16-le")
    at = data.find(wanted)
    while at >= 0 and data[at + len(wanted):at + len(wanted) + 2] == backslash:
        at = data.find(wanted, at + 1)
    return at >= 0


def unchanged(what):
    """The folder still holds release 1 byte for byte, with its uninstaller,
    shortcut and entry."""
    check(not differences(1), "%s changed the folder: %s" % (what, differences(1)))
    check(same(os.path.join(RUN, "uninstall-1.exe"), os.path.join(FOLDER, "uninstall.exe")),
          what + " replaced or removed uninstall.exe")
    check(os.path.exists(SHORTCUT), what + " removed the Start-menu shortcut")
    check(registry("DisplayVersion") == "1", what + " changed the uninstaller entry")


def refused(what, cwd, line):
    """Run while a program of the folder is open: exit code 3, nothing changed."""
    code = wine_cmd(cwd, line, settle=False)
    check(code == 3, "%s exited with %d instead of 3 while a program of the folder was open" % (what, code))
    unchanged(what)


def double_click_installer():
    """Release 2's installer from tmp\\ as a double-click runs it, in a
    Russian session, past its welcome page: the process, and the ids of the
    installer's windows."""
    installer = start(["wine", SETUP2], TMP, LANG="ru_RU.UTF-8")
    check(new_window("^Установка OperatorVelm", 60), SETUP2 + " showed no window when run by double-click")
    time.sleep(1)  # drawn and ready for keys
    shown = windows("^Установка OperatorVelm")
    run(["xdotool", "key", "--window", shown[0], "Return"])
    return installer, shown


def start_operatorvelm(which, folder=FOLDER, log=None):
    program = start(["wine", "OperatorVelm.exe"], folder, log)
    window = new_window("^OperatorVelm$", 60)
    check(window, which + " OperatorVelm.exe showed no window")
    return program, window


def not_offered(what, manifest, reason, shot):
    """Release 1 in the second folder, asking for that manifest, offers
    nothing and logs a warning that says why."""
    with open(os.path.join(SERVED, "Version.json"), "w") as out:
        json.dump(manifest, out)
    asked, fetched = requests(MANIFEST), requests("GET /files/Velm/OperatorVelm-")
    log_path = os.path.join(RUN, "operatorvelm-%d.log" % asked)
    with open(log_path, "w") as log:
        velm, window = start_operatorvelm("release 1's", SECOND, log)
        check(wait(30, lambda: requests(MANIFEST) > asked), "release 1 did not ask for " + what)
        time.sleep(3)
        screenshot(window, shot)
        click_update(window)
        time.sleep(3)
        check(requests("GET /files/Velm/OperatorVelm-") == fetched and velm.poll() is None, what + " was offered")
        press(window, "alt+F4")
        check(ended(velm, 20), "release 1's OperatorVelm.exe did not end when its window was closed")
    with open(log_path) as log:
        check(reason in log.read(), "no warning that says %r for %s" % (reason, what))


def main():
    global LOG
    shutil.rmtree(RUN, ignore_errors=True)
    os.makedirs(RUN)
    LOG = open(os.path.join(RUN, "wine.log"), "w")
    atexit.register(run, ["wineserver", "-k"], timeout=30)
    check(run(["wineboot", "-i"], timeout=180) == 0, "a new Wine prefix could not be made")
    # Qt's warnings go to the programs' standard error, where a check reads them.
    run(["wine", "reg", "add", "HKCU\\Environment", "/v", "QT_FORCE_STDERR_LOGGING", "/d", "1", "/f"])
    run(["wineserver", "-w"], timeout=120)
    # A display number no other X server holds.
    display = ":%d" % next(n for n in range(57, 100) if not os.path.exists("/tmp/.X%d-lock" % n))
    xvfb = start(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"], RUN)
    atexit.register(xvfb.kill)
    ENV["DISPLAY"] = display
    check(wait(10, lambda: run(["xdpyinfo"]) == 0), "Xvfb did not start")

    for number in (1, 2):
        release = os.path.join(LIFECYCLE, "release", str(number))
        check(os.path.isfile(os.path.join(release, "Version.json")), "release.sh left no release %d" % number)
        with zipfile.ZipFile(os.path.join(release, "OperatorVelm-%d.zip" % number)) as archive:
            archive.extractall(os.path.join(RUN, "unpacked-%d" % number))
    check(not same(*(os.path.join(RUN, "unpacked-%d" % n, "OperatorVelm", "OperatorVelm.exe") for n in (1, 2))),
          "release 1 and 2 ship the same OperatorVelm.exe, so nothing below could tell them apart")

    # -- 1. release 1, installed silently into a Cyrillic folder with spaces --
    shutil.copy(os.path.join(LIFECYCLE, "release", "1", "OperatorVelm-1-setup.exe"), RUN)
    wine_cmd(RUN, "OperatorVelm-1-setup.exe /S /D=" + FOLDER_WINDOWS)
    check(not differences(1), "the installed folder is not release 1's folder: %s" % differences(1))
    check(os.path.isfile(os.path.join(FOLDER, "uninstall.exe")) and os.path.isfile(SHORTCUT),
          "no uninstall.exe in the folder, or no Start-menu shortcut")
    check(shortcut_works_in(SHORTCUT, FOLDER_WINDOWS), "the shortcut does not start the program in its folder")
    check(registry("DisplayVersion") == "1", "no uninstaller registered for release 1")
    shutil.copy(os.path.join(FOLDER, "uninstall.exe"), os.path.join(RUN, "uninstall-1.exe"))
    step("1. release 1 installed silently into %s: the folder is release 1's, with uninstall.exe, a Start-menu"
         " shortcut working in the folder and a per-user uninstaller entry" % FOLDER_WINDOWS)

    # -- 2, 3. release 1 offers release 2; Updater saves its installer --------
    with open(os.path.join(LIFECYCLE, "server", "files", "Velm", "Version.json")) as manifest:
        step("2. https://localhost:%s serves release 2's Version.json: %s" % (PORT, manifest.read().strip()))
    velm, window = start_operatorvelm("release 1's")
    check(wait(30, lambda: requests(MANIFEST) >= 1), "release 1 did not ask for Version.json")
    time.sleep(3)  # the reply is read and the button relabelled
    screenshot(window, "screenshot.png")
    click_update(window)
    check(wait(30, lambda: requests(DOWNLOAD) >= 1),
          "after the click no download reached the server (was the update offered?)")
    done = new_window("^Download Complete$", 60)
    check(done, 'Updater showed no "Download Complete" box; shown: %s' % output(
        ["xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname", "%@"]))
    screenshot(done, "updater-complete.png")
    check(ended(velm, 10), "OperatorVelm.exe did not quit after starting Updater")
    check(same(SERVED2, SAVED2), "tmp\\%s is not the served installer" % SETUP2)
    check(os.listdir(TMP) == [SETUP2], "tmp\\ holds more than the installer: %s" % os.listdir(TMP))
    step("3. release 1 offered the update; the click started Updater.exe and OperatorVelm quit; tmp\\%s is the"
         " served installer byte for byte" % SETUP2)

    # -- 4-7. an open program stops the installer and the uninstaller --------
    refused(SETUP2 + " /S, with Updater's box still open,", TMP, SETUP2 + " /S")
    press(done, "Return")
    check(wait(10, lambda: not ours("Updater.exe")), "Updater.exe did not end after its box")
    step('4. with Updater\'s "Download Complete" box still open, %s /S from tmp\\ exited with 3 and left the'
         " folder byte for byte release 1's; Updater ended after its box" % SETUP2)
    # The operator starts release 1 again to go on working.
    velm, window = start_operatorvelm("release 1's, started again,")
    refused(SETUP2 + " /S, with OperatorVelm open,", TMP, SETUP2 + " /S")
    step("5. with OperatorVelm open, %s /S from tmp\\ exited with 3 and left the folder byte for byte"
         " release 1's" % SETUP2)
    # In place (_?=), so that its exit code is the uninstaller's own.
    refused("the silent uninstaller, with OperatorVelm open,", FOLDER, "uninstall.exe /S _?=" + FOLDER_WINDOWS)
    step("6. with OperatorVelm open, the silent uninstaller exited with 3 and removed nothing")
    installer, shown = double_click_installer()
    box = new_window("^Установка OperatorVelm", 60, shown)
    check(box, "with OperatorVelm open, the installer asked nothing after its welcome page")
    time.sleep(1)  # drawn
    screenshot("root", "installer-programs-open.png")
    press(box, "Escape")
    check(ended(installer, 30), "the installer did not end after «Отмена»")
    check(installer.returncode == 3, "after «Отмена» the installer exited with %d" % installer.returncode)
    unchanged("the installer, cancelled,")
    step("7. run by double-click with OperatorVelm open, the installer asked to close the programs"
         " (build-windows/installer-programs-open.png); «Отмена» ended it with 3 and the folder stayed"
         " release 1's")

    # -- 8. closed, the installer run again updates the folder in place -------
    press(window, "alt+F4")
    check(ended(velm, 20), "release 1's OperatorVelm.exe did not end when its window was closed")
    with open(NOTE_PATH, "w", newline="") as note:
        note.write("Показания абонента 1042: уточнить\r\n")
    shutil.copy(NOTE_PATH, NOTE_COPY)
    installer, shown = double_click_installer()
    # version.json comes last, just before the finish page.
    version = os.path.join(FOLDER, "version.json")
    check(wait(120, lambda: same(os.path.join(RUN, "unpacked-2", "OperatorVelm", "version.json"), version)),
          "version.json after the update: " + open(version).read())
    time.sleep(2)
    run(["xdotool", "key", "--window", shown[0], "Return"])  # «Готово», «Запустить OperatorVelm» ticked
    check(ended(installer, 30), "the installer did not end on its finish page")
    check(installer.returncode == 0, "the installer that updated the folder exited with %d" % installer.returncode)
    check(not differences(2), "the updated folder is not release 2's folder: %s" % differences(2))
    check(same(SERVED2, SAVED2), "tmp\\ lost the installer")
    check(same(NOTE_COPY, NOTE_PATH), "the operator's file did not survive")
    check(registry("DisplayVersion") == "2", "the uninstaller entry does not name release 2")
    check(not os.path.exists(os.path.join(USER, "AppData", "Local", "Programs", "OperatorVelm")),
          "the update went into the default folder instead of the one it was saved below")
    step("8. OperatorVelm closed, %s run again from tmp\\ updated the folder in place and exited with 0:"
         " version.json says %s, the programs are release 2's, tmp\\ and the operator's file are kept"
         % (SETUP2, open(version).read().strip()))

    # -- 9. release 2, started by the finish page, offers nothing -------------
    asked = requests(MANIFEST)
    window = new_window("^OperatorVelm$", 60)
    check(window, "the finish page did not start release 2's OperatorVelm.exe")
    check(wait(30, lambda: requests(MANIFEST) > asked), "release 2 did not ask for Version.json")
    time.sleep(3)
    screenshot(window, "screenshot-release-2.png")
    click_update(window)
    time.sleep(3)
    check(requests(DOWNLOAD) == 1, "release 2 downloaded the update again")
    check(ours("OperatorVelm.exe"), "release 2's OperatorVelm.exe quit on the click, as if it offered an update")
    press(window, "alt+F4")
    check(wait(20, lambda: not ours("OperatorVelm.exe")), "release 2's OperatorVelm.exe did not end when closed")
    step("9. release 2, started by the finish page, asked the server again and offered nothing: its update"
         " button did nothing")

    # -- 10. with nothing open, the silent installer from tmp\ ends with 0 ----
    code = wine_cmd(TMP, SETUP2 + " /S")
    check(code == 0, "with nothing open, %s /S from tmp\\ exited with %d" % (SETUP2, code))
    check(not differences(2) and same(NOTE_COPY, NOTE_PATH),
          "after %s /S the folder is not release 2's with the operator's file" % SETUP2)
    step("10. with nothing open, %s /S from tmp\\ exited with 0 and the folder is release 2's" % SETUP2)

    # -- 11. uninstalling leaves the operator's files -------------------------
    wine_cmd(FOLDER, "uninstall.exe /S")
    remaining = sorted(os.path.relpath(os.path.join(root, name), FOLDER) for root, folders, files in os.walk(FOLDER)
                       for name in folders + files)
    check(remaining == sorted(["tmp", "tmp/" + SETUP2, NOTE]), "after uninstalling the folder holds: %s" % remaining)
    check(same(NOTE_COPY, NOTE_PATH) and same(SERVED2, SAVED2), "uninstalling changed the operator's file or tmp\\")
    check(not os.path.exists(SHORTCUT), "uninstalling left the Start-menu shortcut")
    check(not registry("DisplayName"), "uninstalling left the uninstaller entry")
    step("11. uninstalled: the installed files, shortcut and entry are gone; the folder keeps only "
         + " ".join(remaining))

    # -- 12. release 1 anew: a forged installer is not kept -------------------
    wine_cmd(RUN, "OperatorVelm-1-setup.exe /S /D=" + SECOND_WINDOWS)
    check(os.path.isfile(os.path.join(SECOND, "OperatorVelm.exe")), "release 1 did not install into " + SECOND_WINDOWS)
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        signed = json.load(manifest)
    with open(os.path.join(SERVED, SETUP2), "r+b") as setup:  # one byte changed, under the same manifest
        setup.seek(-1, os.SEEK_END)
        last = setup.read(1)[0]
        setup.seek(-1, os.SEEK_END)
        setup.write(bytes([last ^ 0xFF]))
    asked = requests(MANIFEST)
    velm, window = start_operatorvelm("release 1's, in a second folder,", SECOND)
    check(wait(30, lambda: requests(MANIFEST) > asked), "release 1 did not ask for Version.json")
    time.sleep(3)
    click_update(window)
    error = new_window("^Download Error$", 90)
    check(error, "Updater showed no \"Download Error\" box for the forged installer")
    screenshot(error, "updater-forged-installer.png")
    tmp = os.path.join(SECOND, "tmp")
    check(not os.path.exists(tmp) or not os.listdir(tmp), "tmp\\ holds %s" % os.listdir(tmp))
    press(error, "Return")
    check(wait(10, lambda: not ours("Updater.exe")), "Updater.exe did not end after its box")
    shutil.copy(os.path.join(LIFECYCLE, "release", "2", SETUP2), SERVED)
    step("12. release 1, installed anew into %s, offered the signed update; the server's installer had one byte"
         " changed: Updater ended in \"Download Error\" and tmp\\ holds no installer" % SECOND_WINDOWS)

    # -- 13, 14. forged manifests are not offered -----------------------------
    key = os.path.join(RUN, "other-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True, capture_output=True)
    with open(os.path.join(RUN, "signed"), "w", newline="") as message:
        message.write("%d\n%s" % (signed["Version"], signed["URL"]))
    other = subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", message.name],
                           check=True, capture_output=True).stdout
    not_offered("a manifest signed by another key", dict(signed, Signature=base64.b64encode(other).decode()),
                "does not match", "screenshot-other-key.png")
    step("13. a manifest signed by another key was not offered: «Версия актуальна», and a warning says why")
    setup1 = os.path.join(LIFECYCLE, "release", "1", "OperatorVelm-1-setup.exe")
    shutil.copy(setup1, SERVED)
    with open(setup1, "rb") as file:
        moved = signed["URL"].replace(SETUP2, "OperatorVelm-1-setup.exe").split("#")[0] + "#sha256=" \
            + hashlib.sha256(file.read()).hexdigest()
    not_offered("a signed manifest whose address was changed", dict(signed, URL=moved), "does not match",
                "screenshot-address-changed.png")
    step("14. release 2's signed manifest with its address changed to another file on the server (%s) was not"
         " offered" % moved.split("/")[-1].split("#")[0])


if __name__ == "__main__":
    main()
