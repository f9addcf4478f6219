#!/usr/bin/env python3
"""An operator's update from release 1 to release 2 under Wine and Xvfb.

Usage: windows_lifecycle.py <lifecycle folder> <port> <screenshot folder>

windows-check.sh runs it inside the Debian 13 chroot. The lifecycle folder
holds release/1/ and release/2/ as release.sh made them for the update host
localhost:<port>, and server/, which lifecycle_server.py serves on that
port (its CA trusted by the chroot, and so by Wine), logging each request
to requests.log beside it. Release 2's Version.json and installer are in
server/files/Velm/.

Between the download and the update, release 2's installer and release 1's
uninstaller run while a program of the folder is open: they must end with
exit code 3 and change nothing. Part of it runs in a Russian session, as on
an operator's PC (the chroot has the ru_RU.UTF-8 locale).

Each step prints what it showed; the first failure ends the run with
"lifecycle: FAILED: ..." and exit status 1.
"""
import atexit
import filecmp
import os
import pwd
import shutil
import subprocess
import sys
import time
import zipfile

LIFECYCLE, PORT, SHOTS = os.path.abspath(sys.argv[1]), sys.argv[2], os.path.abspath(sys.argv[3])
RELEASE = os.path.join(LIFECYCLE, "release")
RUN = os.path.join(LIFECYCLE, "run")
SETUP2 = "OperatorVelm-2-setup.exe"
MANIFEST = 'GET /files/Velm/Version.json HTTP/1.1" 200'
DOWNLOAD = 'GET /files/Velm/%s HTTP/1.1" 200' % SETUP2
FOLDER_WINDOWS = "C:\\Рабочее место\\Оператор Velm"
NOTE = "Мои заметки.txt"
PREFIX = os.path.join(RUN, "wine")
FOLDER = os.path.join(PREFIX, "drive_c", "Рабочее место", "Оператор Velm")
TMP = os.path.join(FOLDER, "tmp")
USER = os.path.join(PREFIX, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name)
SHORTCUT = os.path.join(USER, "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/OperatorVelm.lnk")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")
LOG = None  # Wine's own output, in run/wine.log


def step(text):
    print("lifecycle: " + text, flush=True)


def fail(text):
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


def start(command, cwd, **env):
    return subprocess.Popen(command, cwd=cwd, env=dict(ENV, **env), stdout=LOG, stderr=LOG)


def wine_cmd(cwd, line, settle=True):
    """Runs the line through cmd, which passes it on as typed (NSIS wants
    /D= and _?= last and unquoted); the command's exit code. With settle,
    waits as well for every program of the prefix to end."""
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


def press(window, *keys):
    # Without a window manager only a focused window gets keys as typed.
    run(["xdotool", "windowfocus", "--sync", window, "key"] + list(keys))


def screenshot(window, name):
    run(["import", "-window", window, os.path.join(SHOTS, name)])


def click_update(window):
    """The update button is the lowest one, spanning the window."""
    size = dict(line.split("=") for line in output(["xdotool", "getwindowgeometry", "--shell", window]).split())
    run(["xdotool", "mousemove", "--window", window, str(int(size["WIDTH"]) // 2), str(int(size["HEIGHT"]) - 22),
         "click", "1"])


def ours(program):
    """Process ids of that Windows program in this run's Wine prefix only,
    so that a program of the same name elsewhere is never touched."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as comm, open("/proc/%s/environ" % pid, "rb") as environ:
                if comm.read().strip() == program[:15] and \
                        ("WINEPREFIX=" + PREFIX).encode() in environ.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


def requests(what):
    with open(os.path.join(LIFECYCLE, "requests.log")) as log:
        return sum(what in line for line in log)


def registry(name):
    text = output(["wine", "reg", "query", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OperatorVelm",
                   "/v", name])
    values = [line.split()[-1] for line in text.splitlines() if line.split()[:1] == [name]]
    return values[0] if values else ""


def same(a, b):
    return os.path.isfile(a) and os.path.isfile(b) and filecmp.cmp(a, b, shallow=False)


def differences(expected, actual, ignore=("uninstall.exe", "tmp", NOTE)):
    """What keeps the folder actual from holding exactly the files of expected."""
    found = []
    for root, folders, files in os.walk(expected):
        for name in files:
            path = os.path.relpath(os.path.join(root, name), expected)
            if not same(os.path.join(root, name), os.path.join(actual, path)):
                found.append("differs or missing: " + path)
    for root, folders, files in os.walk(actual):
        folders[:] = [name for name in folders if name not in ignore]
        for name in files:
            path = os.path.relpath(os.path.join(root, name), actual)
            if name not in ignore and not os.path.exists(os.path.join(expected, path)):
                found.append("not in the release: " + path)
    return found


def is_release(number, folder=FOLDER):
    return not differences(os.path.join(RUN, "unpacked-%d" % number, "OperatorVelm"), folder)


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
    shortcut and entry: nothing was changed."""
    if not is_release(1):
        fail("%s changed the folder, which is no longer release 1's: %s" % (what, differences(
            os.path.join(RUN, "unpacked-1", "OperatorVelm"), FOLDER)))
    if not same(os.path.join(RUN, "uninstall-1.exe"), os.path.join(FOLDER, "uninstall.exe")):
        fail(what + " replaced or removed uninstall.exe")
    if not os.path.exists(SHORTCUT):
        fail(what + " removed the Start-menu shortcut")
    if registry("DisplayVersion") != "1":
        fail("%s changed the uninstaller entry: %s" % (what, registry("DisplayVersion")))


def refused(what, cwd, line):
    """The command ends with exit code 3 (a program of the folder is open)
    and changes nothing."""
    code = wine_cmd(cwd, line, settle=False)
    if code != 3:
        fail("%s exited with %d instead of 3 while a program of the folder was open" % (what, code))
    unchanged(what)


def double_click_installer():
    """Release 2's installer from tmp\\, as a double-click runs it, in a
    Russian session, past its welcome page; the process and the ids of the
    installer's windows."""
    installer = start(["wine", SETUP2], TMP, LANG="ru_RU.UTF-8")
    if not new_window("^Установка OperatorVelm", 60):
        fail(SETUP2 + " showed no window when run by double-click")
    time.sleep(1)  # drawn and ready for keys
    shown = windows("^Установка OperatorVelm")
    run(["xdotool", "key", "--window", shown[0], "Return"])
    return installer, shown


def ended(process, seconds):
    try:
        return process.wait(seconds) is not None
    except subprocess.TimeoutExpired:
        return False


def main():
    global LOG
    shutil.rmtree(RUN, ignore_errors=True)
    os.makedirs(RUN)
    LOG = open(os.path.join(RUN, "wine.log"), "w")
    atexit.register(lambda: run(["wineserver", "-k"], timeout=30))
    if run(["wineboot", "-i"], timeout=180) != 0:
        fail("a new Wine prefix could not be made")
    run(["wineserver", "-w"], timeout=120)

    # A display number no other X server holds.
    display = next(n for n in range(57, 100) if not os.path.exists("/tmp/.X%d-lock" % n))
    xvfb = subprocess.Popen(["Xvfb", ":%d" % display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=LOG, stderr=LOG)
    atexit.register(xvfb.kill)
    ENV["DISPLAY"] = ":%d" % display
    if not wait(10, lambda: run(["xdpyinfo"]) == 0):
        fail("Xvfb did not start")

    for number in (1, 2):
        if not os.path.isfile(os.path.join(RELEASE, str(number), "Version.json")):
            fail("release.sh left no release %d" % number)
        with zipfile.ZipFile(os.path.join(RELEASE, str(number), "OperatorVelm-%d.zip" % number)) as archive:
            archive.extractall(os.path.join(RUN, "unpacked-%d" % number))
    if same(*(os.path.join(RUN, "unpacked-%d" % n, "OperatorVelm", "OperatorVelm.exe") for n in (1, 2))):
        fail("release 1 and 2 ship the same OperatorVelm.exe, so nothing below could tell them apart")

    # -- 1. release 1, installed silently into a Cyrillic folder with spaces --
    shutil.copy(os.path.join(RELEASE, "1", "OperatorVelm-1-setup.exe"), RUN)
    wine_cmd(RUN, "OperatorVelm-1-setup.exe /S /D=" + FOLDER_WINDOWS)
    if not os.path.isfile(os.path.join(FOLDER, "OperatorVelm.exe")):
        fail("release 1's installer left nothing in " + FOLDER_WINDOWS)
    if not is_release(1):
        fail("the installed folder is not release 1's folder")
    if not os.path.isfile(os.path.join(FOLDER, "uninstall.exe")):
        fail("no uninstaller in the folder")
    if not os.path.isfile(SHORTCUT):
        fail("no Start-menu shortcut")
    if not shortcut_works_in(SHORTCUT, FOLDER_WINDOWS):
        fail("the shortcut does not start the program in its folder")
    if registry("DisplayVersion") != "1":
        fail("no uninstaller registered for release 1")
    shutil.copy(os.path.join(FOLDER, "uninstall.exe"), os.path.join(RUN, "uninstall-1.exe"))
    step("1. release 1 installed silently into %s: the folder is release 1's, with uninstall.exe, a Start-menu"
         " shortcut working in the folder and a per-user uninstaller entry" % FOLDER_WINDOWS)

    # -- 2, 3. release 1 offers release 2; Updater saves its installer --------
    with open(os.path.join(LIFECYCLE, "server", "files", "Velm", "Version.json")) as manifest:
        step("2. https://localhost:%s serves release 2's Version.json: %s" % (PORT, manifest.read().strip()))
    velm = start(["wine", "OperatorVelm.exe"], FOLDER)
    window = new_window("^OperatorVelm$", 60)
    if not window:
        fail("release 1's OperatorVelm.exe showed no window")
    if not wait(30, lambda: requests(MANIFEST) >= 1):
        fail("release 1 did not ask for Version.json")
    time.sleep(3)  # the reply is read and the button relabelled
    screenshot(window, "screenshot.png")
    click_update(window)
    if not wait(30, lambda: requests(DOWNLOAD) >= 1):
        fail("after the click no download reached the server (was the update offered?)")
    done = new_window("^Download Complete$", 60)
    if not done:
        fail('Updater showed no "Download Complete" box; shown: ' + output(
            ["xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname", "%@"]))
    screenshot(done, "updater-complete.png")
    if not ended(velm, 10):
        fail("OperatorVelm.exe did not quit after starting Updater")
    if not same(os.path.join(RELEASE, "2", SETUP2), os.path.join(TMP, SETUP2)):
        fail("tmp\\%s is not the served installer" % SETUP2)
    if os.listdir(TMP) != [SETUP2]:
        fail("tmp\\ holds more than the installer: %s" % os.listdir(TMP))
    step("3. release 1 offered the update; the click started Updater.exe and OperatorVelm quit; tmp\\%s is the"
         " served installer byte for byte" % SETUP2)

    # -- 4-7. an open program stops the installer and the uninstaller --------
    refused(SETUP2 + " /S, with Updater's box still open,", TMP, SETUP2 + " /S")
    press(done, "Return")
    if not wait(10, lambda: not ours("Updater.exe")):
        fail("Updater.exe did not end after its box")
    step('4. with Updater\'s "Download Complete" box still open, %s /S from tmp\\ exited with 3 and left the'
         " folder byte for byte release 1's; Updater ended after its box" % SETUP2)

    # The operator starts release 1 again to go on working.
    velm = start(["wine", "OperatorVelm.exe"], FOLDER)
    window = new_window("^OperatorVelm$", 60)
    if not window:
        fail("release 1's OperatorVelm.exe showed no window when started again")
    refused(SETUP2 + " /S, with OperatorVelm open,", TMP, SETUP2 + " /S")
    step("5. with OperatorVelm open, %s /S from tmp\\ exited with 3 and left the folder byte for byte"
         " release 1's" % SETUP2)
    # In place (_?=), so that its exit code is the uninstaller's own.
    refused("the silent uninstaller, with OperatorVelm open,", FOLDER, "uninstall.exe /S _?=" + FOLDER_WINDOWS)
    step("6. with OperatorVelm open, the silent uninstaller exited with 3 and removed nothing")

    # By double-click: the box asks to close the programs; «Отмена» ends it.
    installer, shown = double_click_installer()
    box = new_window("^Установка OperatorVelm", 60, shown)
    if not box:
        fail("with OperatorVelm open, the installer asked nothing after its welcome page")
    time.sleep(1)  # drawn
    screenshot("root", "installer-programs-open.png")
    press(box, "Escape")
    if not ended(installer, 30):
        fail("the installer did not end after «Отмена»")
    if installer.returncode != 3:
        fail("after «Отмена» the installer exited with %d instead of 3" % installer.returncode)
    unchanged("the installer, cancelled,")
    step("7. run by double-click with OperatorVelm open, the installer asked to close the programs"
         " (build-windows/installer-programs-open.png); «Отмена» ended it with 3 and the folder stayed"
         " release 1's")

    # -- 8. closed, the installer run again updates the folder in place -------
    press(window, "alt+F4")
    if not ended(velm, 20):
        fail("release 1's OperatorVelm.exe did not end when its window was closed")
    with open(os.path.join(FOLDER, NOTE), "w", newline="") as note:
        note.write("Показания абонента 1042: уточнить\r\n")
    shutil.copy(os.path.join(FOLDER, NOTE), os.path.join(RUN, "note"))
    installer, shown = double_click_installer()
    # version.json comes last, just before the finish page.
    version2 = os.path.join(RUN, "unpacked-2", "OperatorVelm", "version.json")
    if not wait(120, lambda: same(version2, os.path.join(FOLDER, "version.json"))):
        fail("version.json after the update: " + open(os.path.join(FOLDER, "version.json")).read())
    time.sleep(2)
    run(["xdotool", "key", "--window", shown[0], "Return"])  # «Готово», «Запустить OperatorVelm» ticked
    if not ended(installer, 30):
        fail("the installer did not end on its finish page")
    if installer.returncode != 0:
        fail("the installer that updated the folder exited with %d" % installer.returncode)
    if not is_release(2):
        fail("the updated folder is not release 2's folder: %s" % differences(
            os.path.join(RUN, "unpacked-2", "OperatorVelm"), FOLDER))
    if not same(os.path.join(RELEASE, "2", SETUP2), os.path.join(TMP, SETUP2)):
        fail("tmp\\ lost the installer")
    if not same(os.path.join(RUN, "note"), os.path.join(FOLDER, NOTE)):
        fail("the operator's file did not survive the update")
    if registry("DisplayVersion") != "2":
        fail("the uninstaller entry does not name release 2")
    if os.path.exists(os.path.join(USER, "AppData", "Local", "Programs", "OperatorVelm")):
        fail("the update went into the default folder instead of the one it was saved below")
    with open(os.path.join(FOLDER, "version.json")) as version:
        step("8. OperatorVelm closed, %s run again from tmp\\ updated the folder in place and exited with 0:"
             " version.json says %s, the programs are release 2's, tmp\\ and the operator's file are kept"
             % (SETUP2, version.read().strip()))

    # -- 9. release 2, started by the finish page, offers nothing -------------
    asked = requests(MANIFEST)
    window = new_window("^OperatorVelm$", 60)
    if not window:
        fail("the finish page did not start release 2's OperatorVelm.exe")
    if not wait(30, lambda: requests(MANIFEST) > asked):
        fail("release 2 did not ask for Version.json")
    time.sleep(3)
    screenshot(window, "screenshot-release-2.png")
    click_update(window)
    time.sleep(3)
    if requests(DOWNLOAD) != 1:
        fail("release 2 downloaded the update again")
    if not ours("OperatorVelm.exe"):
        fail("release 2's OperatorVelm.exe quit on the click, as if it had offered an update")
    press(window, "alt+F4")
    if not wait(20, lambda: not ours("OperatorVelm.exe")):
        fail("release 2's OperatorVelm.exe did not end when its window was closed")
    step("9. release 2, started by the finish page, asked the server again and offered nothing: its update"
         " button did nothing")

    # -- 10. with nothing open, the silent installer from tmp\ ends with 0 ----
    code = wine_cmd(TMP, SETUP2 + " /S")
    if code != 0:
        fail("with nothing open, %s /S from tmp\\ exited with %d" % (SETUP2, code))
    if not is_release(2) or not same(os.path.join(RUN, "note"), os.path.join(FOLDER, NOTE)):
        fail("after %s /S the folder is not release 2's with the operator's file" % SETUP2)
    step("10. with nothing open, %s /S from tmp\\ exited with 0 and the folder is release 2's" % SETUP2)

    # -- 11. uninstalling leaves the operator's files -------------------------
    wine_cmd(FOLDER, "uninstall.exe /S")
    unpacked = os.path.join(RUN, "unpacked-2", "OperatorVelm")
    left = [os.path.relpath(os.path.join(root, name), unpacked) for root, _, files in os.walk(unpacked)
            for name in files if os.path.exists(os.path.join(FOLDER, os.path.relpath(root, unpacked), name))]
    if left:
        fail("uninstalling left installed files: %s" % left)
    if os.path.exists(os.path.join(FOLDER, "uninstall.exe")):
        fail("uninstalling left uninstall.exe")
    if os.path.exists(SHORTCUT):
        fail("uninstalling left the Start-menu shortcut")
    if registry("DisplayName"):
        fail("uninstalling left the uninstaller entry")
    if not same(os.path.join(RUN, "note"), os.path.join(FOLDER, NOTE)):
        fail("uninstalling took the operator's file")
    if not same(os.path.join(RELEASE, "2", SETUP2), os.path.join(TMP, SETUP2)):
        fail("uninstalling took tmp\\")
    remaining = sorted(os.path.relpath(os.path.join(root, name), FOLDER) for root, folders, files in os.walk(FOLDER)
                       for name in folders + files)
    if remaining != sorted(["tmp", "tmp/" + SETUP2, NOTE]):
        fail("after uninstalling the folder holds: %s" % remaining)
    step("11. uninstalled: the installed files, shortcut and entry are gone; the folder keeps only "
         + " ".join(remaining))


if __name__ == "__main__":
    main()
