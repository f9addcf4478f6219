#!/usr/bin/env python3
"""An operator's update from release 1 to release 2 under Wine and Xvfb.

Usage: windows_lifecycle.py <lifecycle folder> <port> <screenshot folder> [scenario...]

windows-check.sh runs it inside the Debian 13 chroot. The lifecycle folder
holds release/1/ and release/2/ as release.sh made them for the update host
localhost:<port>, and server/, which lifecycle_server.py serves on that
port (its CA trusted by the chroot, and so by Wine), logging each request
to requests.log. Each scenario below installs release 1 into a folder of
its own and proves one thing of the update to release 2; without names,
all run, in order. Each step prints what it showed; the first failure ends
the run with "lifecycle: FAILED in <scenario>: ..." and exit status 1.
"""
import atexit
import base64
import filecmp
import hashlib
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import time
import zipfile

LIFECYCLE, PORT, SHOTS = os.path.abspath(sys.argv[1]), sys.argv[2], os.path.abspath(sys.argv[3])
RUN = os.path.join(LIFECYCLE, "run")
SETUP1, SETUP2 = "OperatorVelm-1-setup.exe", "OperatorVelm-2-setup.exe"
SERVED = os.path.join(LIFECYCLE, "server", "files", "Velm")
MANIFEST = 'GET /files/Velm/Version.json HTTP/1.1" 200'
DOWNLOAD = 'GET /files/Velm/%s HTTP/1.1" 200' % SETUP2
NOTE = "Мои заметки.txt"
PREFIX = os.path.join(RUN, "wine")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OperatorVelm"
LOG = subprocess.DEVNULL  # Wine's own output, in run/wine.log once the run starts
scenario = ""


def step(text):
    print("lifecycle: " + text, flush=True)


def check(ok, text):
    if not ok:
        print("lifecycle: FAILED in %s: %s" % (scenario, text), file=sys.stderr, flush=True)
        sys.exit(1)


def wait(seconds, ready, pause=0.2):
    """Whether ready() came true within that many seconds."""
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(pause)
    return True


def run(command, cwd=None, timeout=300, env=None, **more):
    """Runs a command to its end; its exit code, 124 if it took too long."""
    try:
        return subprocess.run(command, cwd=cwd, env=dict(env or ENV, **more), stdout=LOG, stderr=LOG,
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


def output(command, env=None):
    return subprocess.run(command, env=env or ENV, capture_output=True, text=True).stdout


class Folder:
    """A folder of the Wine prefix's C: drive, by its Windows name."""

    def __init__(self, windows, drive=None):
        self.windows = windows
        self.path = os.path.join(drive or os.path.join(PREFIX, "drive_c"), *windows[3:].split("\\"))
        self.tmp = os.path.join(self.path, "tmp")

    def __truediv__(self, name):
        return os.path.join(self.path, *name.split("\\"))

    def cmd(self, line, cwd=None, settle=True, env=None):
        """Runs the line through cmd in the folder (or cwd), which passes it
        on as typed (NSIS wants /D= and _?= last and unquoted); its exit
        code. With settle, waits for every program of the prefix to end."""
        code = run(["wine", "cmd", "/c", line], cwd=cwd or self.path, env=env)
        if settle:
            run(["wineserver", "-w"], timeout=120, env=env)
        return code

    def install(self, number=1, env=None):
        """Release <number>'s installer, run silently, installs the folder anew."""
        shutil.rmtree(self.path, ignore_errors=True)
        code = self.cmd("OperatorVelm-%d-setup.exe /S /D=%s" % (number, self.windows), cwd=RUN, env=env)
        check(code == 0 and not self.differences(number),
              "release %d's installer exited with %d, and the folder differs: %s"
              % (number, code, self.differences(number)))

    def saved_installer(self):
        """Release 2's installer in tmp\\, as Updater leaves it."""
        os.makedirs(self.tmp, exist_ok=True)
        shutil.copy(os.path.join(LIFECYCLE, "release", "2", SETUP2), self.tmp)

    def differences(self, number):
        """What keeps the folder from holding exactly the files of that
        release, besides its uninstaller, tmp\\ and the operator's file."""
        diff = subprocess.run(["diff", "-r", "-q", "--exclude=uninstall.exe", "--exclude=tmp", "--exclude=" + NOTE,
                               unpacked(number), self.path], capture_output=True, text=True)
        return "" if diff.returncode == 0 else (diff.stdout + diff.stderr).strip()

    def stages(self):
        return [name for name in os.listdir(self.tmp) if name.startswith(".velm-")] if os.path.isdir(self.tmp) else []


def unpacked(number):
    return os.path.join(RUN, "unpacked-%d" % number, "OperatorVelm")


def release_files():
    return sorted(os.path.relpath(os.path.join(root, name), unpacked(1))
                  for root, _, files in os.walk(unpacked(1)) for name in files)


def same(a, b):
    return os.path.isfile(a) and os.path.isfile(b) and filecmp.cmp(a, b, shallow=False)


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
    """A value of the uninstaller entry, "" without one. Exported, since
    reg query prints what the console's code page lacks as "?"."""
    exported = os.path.join(RUN, "entry.reg")
    if run(["wine", "reg", "export", UNINSTALL_KEY, exported, "/y"]) != 0:
        return ""
    with open(exported, encoding="utf-16") as file:
        for line in file:
            if line.startswith('"%s"=' % name):
                value = line.strip().split("=", 1)[1]
                return value.strip('"').replace("\\\\", "\\") if value.startswith('"') else value
    return ""


def shortcut_path():
    user = pwd.getpwuid(os.getuid()).pw_name
    return os.path.join(PREFIX, "drive_c", "users", user,
                        "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/OperatorVelm.lnk")


def shortcut_works_in(folder):
    """Whether the shortcut starts the program in the folder: the link keeps
    its working folder as a UTF-16 string of its own, not merely as the
    start of the program's path."""
    if not os.path.exists(shortcut_path()):
        return False
    with open(shortcut_path(), "rb") as file:
        data = file.read()
    wanted, backslash = folder.windows.encode("utf-16-le"), "\\".encode("utf-16-le")
    at = data.find(wanted)
    while at >= 0 and data[at + len(wanted):at + len(wanted) + 2] == backslash:
        at = data.find(wanted, at + 1)
    return at >= 0


def serve_release_2():
    for name in ("Version.json", SETUP2):
        shutil.copy(os.path.join(LIFECYCLE, "release", "2", name), SERVED)


def start_operatorvelm(which, folder, log=None):
    program = start(["wine", "OperatorVelm.exe"], folder.path, log)
    window = new_window("^OperatorVelm$", 60)
    check(window, which + " OperatorVelm.exe showed no window")
    return program, window


def offers_update(which, folder, shot=None):
    """OperatorVelm of the folder asks for Version.json and offers release 2:
    a click starts Updater, which downloads its installer, and OperatorVelm
    quits. The id of Updater's "Download Complete" box, still open."""
    asked, fetched = requests(MANIFEST), requests(DOWNLOAD)
    velm, window = start_operatorvelm(which, folder)
    check(wait(30, lambda: requests(MANIFEST) > asked), which + " did not ask for Version.json")
    time.sleep(3)  # the reply is read and the button relabelled
    if shot:
        screenshot(window, shot)
    click_update(window)
    check(wait(30, lambda: requests(DOWNLOAD) > fetched),
          "after the click on %s no download reached the server (was the update offered?)" % which)
    done = new_window("^Download Complete$", 60)
    check(done, 'Updater showed no "Download Complete" box; shown: %s' % output(
        ["xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname", "%@"]))
    check(ended(velm, 10), which + " OperatorVelm.exe did not quit after starting Updater")
    return done


def close_box(box):
    press(box, "Return")
    check(wait(10, lambda: not ours("Updater.exe")), "Updater.exe did not end after its box")


def double_click_installer(folder):
    """Release 2's installer from tmp\\ as a double-click runs it, in a
    Russian session, past its welcome page: the process, and the ids of the
    installer's windows. Wine traces the text of each message box it shows
    into run/installer.log."""
    log = open(os.path.join(RUN, "installer.log"), "w")
    installer = start(["wine", SETUP2], folder.tmp, log, LANG="ru_RU.UTF-8", WINEDEBUG="+msgbox")
    check(new_window("^Установка OperatorVelm", 60), SETUP2 + " showed no window when run by double-click")
    time.sleep(1)  # drawn and ready for keys
    shown = windows("^Установка OperatorVelm")
    run(["xdotool", "key", "--window", shown[0], "Return"])
    return installer, shown


def box_texts():
    """The beginnings of the texts of the installer's message boxes so far,
    as Wine traces them: L"..." with \\XXXX for each character outside ASCII."""
    with open(os.path.join(RUN, "installer.log"), encoding="utf-8", errors="replace") as log:
        return [re.sub(r"\\([0-9a-f]{4})", lambda code: chr(int(code.group(1), 16)), line.split('L"', 1)[1])
                for line in log if "MSGBOX_OnInit" in line]


# -- the operator's update ------------------------------------------------------
def update_from_release_1_to_2():
    folder = Folder("C:\\Рабочее место\\Оператор Velm")
    note, note_copy = folder / NOTE, os.path.join(RUN, "note")
    folder.install()
    check(os.path.isfile(folder / "uninstall.exe") and os.path.isfile(shortcut_path()),
          "no uninstall.exe in the folder, or no Start-menu shortcut")
    check(shortcut_works_in(folder), "the shortcut does not start the program in its folder")
    check(registry("DisplayVersion") == "1", "no uninstaller registered for release 1")
    uninstall_1 = os.path.join(RUN, "uninstall-1.exe")
    shutil.copy(folder / "uninstall.exe", uninstall_1)
    step("1. release 1 installed silently into %s: the folder is release 1's, with uninstall.exe, a Start-menu"
         " shortcut working in the folder and a per-user uninstaller entry" % folder.windows)

    serve_release_2()
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        step("2. https://localhost:%s serves release 2's Version.json: %s" % (PORT, manifest.read().strip()))
    done = offers_update("release 1's", folder, "screenshot.png")
    screenshot(done, "updater-complete.png")
    saved = os.path.join(folder.tmp, SETUP2)
    check(same(os.path.join(SERVED, SETUP2), saved), "tmp\\%s is not the served installer" % SETUP2)
    check(os.listdir(folder.tmp) == [SETUP2], "tmp\\ holds more than the installer: %s" % os.listdir(folder.tmp))
    step("3. release 1 offered the update; the click started Updater.exe and OperatorVelm quit; tmp\\%s is the"
         " served installer byte for byte" % SETUP2)

    def unchanged(what):
        check(not folder.differences(1), "%s changed the folder: %s" % (what, folder.differences(1)))
        check(same(uninstall_1, folder / "uninstall.exe"), what + " replaced or removed uninstall.exe")
        check(os.path.exists(shortcut_path()), what + " removed the Start-menu shortcut")
        check(registry("DisplayVersion") == "1", what + " changed the uninstaller entry")
        check(not folder.stages(), what + " left " + " ".join(folder.stages()))

    def refused(what, line, cwd=None):
        code = folder.cmd(line, cwd=cwd, settle=False)
        check(code == 3, "%s exited with %d instead of 3 while a program of the folder was open" % (what, code))
        unchanged(what)

    refused(SETUP2 + " /S, with Updater's box still open,", SETUP2 + " /S", folder.tmp)
    close_box(done)
    step('4. with Updater\'s "Download Complete" box still open, %s /S from tmp\\ exited with 3 and left the'
         " folder byte for byte release 1's; Updater ended after its box" % SETUP2)
    # The operator starts release 1 again to go on working.
    velm, window = start_operatorvelm("release 1's, started again,", folder)
    refused(SETUP2 + " /S, with OperatorVelm open,", SETUP2 + " /S", folder.tmp)
    step("5. with OperatorVelm open, %s /S from tmp\\ exited with 3 and left the folder byte for byte"
         " release 1's" % SETUP2)
    # In place (_?=), so that its exit code is the uninstaller's own.
    refused("the silent uninstaller, with OperatorVelm open,", "uninstall.exe /S _?=" + folder.windows)
    step("6. with OperatorVelm open, the silent uninstaller exited with 3 and removed nothing")
    installer, shown = double_click_installer(folder)
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

    press(window, "alt+F4")
    check(ended(velm, 20), "release 1's OperatorVelm.exe did not end when its window was closed")
    with open(note, "w", newline="") as file:
        file.write("Показания абонента 1042: уточнить\r\n")
    shutil.copy(note, note_copy)
    installer, shown = double_click_installer(folder)
    # version.json comes last, just before the finish page.
    version = folder / "version.json"
    check(wait(120, lambda: same(os.path.join(unpacked(2), "version.json"), version)),
          "version.json after the update: " + open(version).read())
    time.sleep(2)
    run(["xdotool", "key", "--window", shown[0], "Return"])  # «Готово», «Запустить OperatorVelm» ticked
    check(ended(installer, 30), "the installer did not end on its finish page")
    check(installer.returncode == 0, "the installer that updated the folder exited with %d" % installer.returncode)
    check(not folder.differences(2), "the updated folder is not release 2's folder: %s" % folder.differences(2))
    check(same(os.path.join(SERVED, SETUP2), saved), "tmp\\ lost the installer")
    check(same(note_copy, note), "the operator's file did not survive")
    check(not folder.stages(), "the update left " + " ".join(folder.stages()))
    check(registry("DisplayVersion") == "2", "the uninstaller entry does not name release 2")
    check(not os.path.exists(os.path.join(PREFIX, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name,
                                          "AppData", "Local", "Programs", "OperatorVelm")),
          "the update went into the default folder instead of the one it was saved below")
    step("8. OperatorVelm closed, %s run again from tmp\\ updated the folder in place and exited with 0:"
         " version.json says %s, the programs are release 2's, tmp\\ and the operator's file are kept"
         % (SETUP2, open(version).read().strip()))

    asked = requests(MANIFEST)
    window = new_window("^OperatorVelm$", 60)
    check(window, "the finish page did not start release 2's OperatorVelm.exe")
    check(wait(30, lambda: requests(MANIFEST) > asked), "release 2 did not ask for Version.json")
    time.sleep(3)
    screenshot(window, "screenshot-release-2.png")
    downloads = requests(DOWNLOAD)
    click_update(window)
    time.sleep(3)
    check(requests(DOWNLOAD) == downloads, "release 2 downloaded the update again")
    check(ours("OperatorVelm.exe"), "release 2's OperatorVelm.exe quit on the click, as if it offered an update")
    press(window, "alt+F4")
    check(wait(20, lambda: not ours("OperatorVelm.exe")), "release 2's OperatorVelm.exe did not end when closed")
    step("9. release 2, started by the finish page, asked the server again and offered nothing: its update"
         " button did nothing")

    code = folder.cmd(SETUP2 + " /S", cwd=folder.tmp)
    check(code == 0, "with nothing open, %s /S from tmp\\ exited with %d" % (SETUP2, code))
    check(not folder.differences(2) and same(note_copy, note),
          "after %s /S the folder is not release 2's with the operator's file" % SETUP2)
    step("10. with nothing open, %s /S from tmp\\ exited with 0 and the folder is release 2's" % SETUP2)

    folder.cmd("uninstall.exe /S")
    remaining = sorted(os.path.relpath(os.path.join(root, name), folder.path)
                       for root, folders, files in os.walk(folder.path) for name in folders + files)
    check(remaining == sorted(["tmp", "tmp/" + SETUP2, NOTE]), "after uninstalling the folder holds: %s" % remaining)
    check(same(note_copy, note) and same(os.path.join(SERVED, SETUP2), saved),
          "uninstalling changed the operator's file or tmp\\")
    check(not os.path.exists(shortcut_path()), "uninstalling left the Start-menu shortcut")
    check(not registry("DisplayName"), "uninstalling left the uninstaller entry")
    step("11. uninstalled: the installed files, shortcut and entry are gone; the folder keeps only "
         + " ".join(remaining))


# -- forgeries ------------------------------------------------------------------
def not_offered(folder, what, manifest, reason, shot):
    """Release 1, asking for that manifest, offers nothing and logs a
    warning that says why."""
    with open(os.path.join(SERVED, "Version.json"), "w") as out:
        json.dump(manifest, out)
    asked, fetched = requests(MANIFEST), requests("GET /files/Velm/OperatorVelm-")
    log_path = os.path.join(RUN, "operatorvelm-%d.log" % asked)
    with open(log_path, "w") as log:
        velm, window = start_operatorvelm("release 1's", folder, log)
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


def forgeries_are_refused():
    folder = Folder("C:\\Оператор Velm 2")
    folder.install()
    serve_release_2()
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        signed = json.load(manifest)
    with open(os.path.join(SERVED, SETUP2), "r+b") as setup:  # one byte changed, under the same manifest
        setup.seek(-1, os.SEEK_END)
        last = setup.read(1)[0]
        setup.seek(-1, os.SEEK_END)
        setup.write(bytes([last ^ 0xFF]))
    asked = requests(MANIFEST)
    velm, window = start_operatorvelm("release 1's", folder)
    check(wait(30, lambda: requests(MANIFEST) > asked), "release 1 did not ask for Version.json")
    time.sleep(3)
    click_update(window)
    error = new_window("^Download Error$", 90)
    check(error, "Updater showed no \"Download Error\" box for the forged installer")
    screenshot(error, "updater-forged-installer.png")
    check(not os.path.exists(folder.tmp) or not os.listdir(folder.tmp), "tmp\\ holds %s" % os.listdir(folder.tmp))
    close_box(error)
    serve_release_2()
    step("12. release 1, installed anew into %s, offered the signed update; the server's installer had one byte"
         " changed: Updater ended in \"Download Error\" and tmp\\ holds no installer" % folder.windows)

    key = os.path.join(RUN, "other-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True, capture_output=True)
    with open(os.path.join(RUN, "signed"), "w", newline="") as message:
        message.write("%d\n%s" % (signed["Version"], signed["URL"]))
    other = subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", message.name],
                           check=True, capture_output=True).stdout
    not_offered(folder, "a manifest signed by another key", dict(signed, Signature=base64.b64encode(other).decode()),
                "does not match", "screenshot-other-key.png")
    step("13. a manifest signed by another key was not offered: «Версия актуальна», and a warning says why")
    setup1 = os.path.join(LIFECYCLE, "release", "1", SETUP1)
    shutil.copy(setup1, SERVED)
    with open(setup1, "rb") as file:
        moved = signed["URL"].replace(SETUP2, SETUP1).split("#")[0] + "#sha256=" \
            + hashlib.sha256(file.read()).hexdigest()
    not_offered(folder, "a signed manifest whose address was changed", dict(signed, URL=moved), "does not match",
                "screenshot-address-changed.png")
    step("14. release 2's signed manifest with its address changed to another file on the server (%s) was not"
         " offered" % SETUP1)


# -- an update cut short --------------------------------------------------------
def killed_update_leaves_every_file_whole():
    folder = Folder("C:\\Прерванное обновление")
    folder.install()
    with open(folder / "uninstall.exe", "rb") as file:
        whole = {hashlib.sha256(file.read()).hexdigest()}
    folder.saved_installer()
    serve_release_2()
    files = release_files()
    libraries = [name for name in files if name.endswith(".dll")]
    stage = os.path.join(folder.tmp, ".velm-2", "new")
    uninstallers = {}

    def staged():
        return sum(len(names) for _, _, names in os.walk(stage))

    def switched(names):
        return sum(os.stat(folder / name).st_ino != inodes[name] for name in names if os.path.exists(folder / name))

    points = [("its first file staged", lambda: staged() >= 1),
              ("half its files staged", lambda: staged() >= len(files) // 2),
              ("every file staged", lambda: staged() >= len(files) + 1 or switched(files)),
              ("its first library switched", lambda: switched(libraries) >= 1),
              ("its libraries switched", lambda: switched(libraries) >= len(libraries) - 1)]
    for point, reached in points:
        inodes = {name: os.stat(folder / name).st_ino for name in files}
        installer = start(["wine", "cmd", "/c", SETUP2 + " /S"], folder.tmp)
        busy = wait(120, lambda: reached() or installer.poll() is not None, pause=0.001)
        run(["wineserver", "-k"], timeout=30)
        installer.wait(30)
        check(busy, "the installer did not reach %s within 120 s" % point)
        held = {name: "1" if same(unpacked(1) + "/" + name, folder / name) else
                "2" if same(unpacked(2) + "/" + name, folder / name) else "neither" for name in files}
        with open(folder / "uninstall.exe", "rb") as file:
            uninstallers[point] = hashlib.sha256(file.read()).hexdigest()
        new, in_stage = sorted(name for name in files if held[name] == "2"), staged()
        check("neither" not in held.values(), "killed at %s, files of neither release: %s" % (point, held))
        check(held["version.json"] == "1" or len(new) == len(files),
              "killed at %s, version.json names release 2 over a folder that holds only %s" % (point, new))
        step("15. the update killed (wineserver -k) after %s: %d files left in the stage; every file whole, %s"
             % (point, in_stage, "release 2's: " + ", ".join(new) if new else "all release 1's"))
        close_box(offers_update("the folder's", folder))
        step("15. and OperatorVelm started from that folder offered the update again")
    code = folder.cmd(SETUP2 + " /S", cwd=folder.tmp)
    check(code == 0 and not folder.differences(2) and not folder.stages(),
          "run again, the installer exited with %d; the folder differs from release 2's: %s, stages left: %s"
          % (code, folder.differences(2), folder.stages()))
    with open(folder / "uninstall.exe", "rb") as file:
        whole.add(hashlib.sha256(file.read()).hexdigest())
    check(set(uninstallers.values()) <= whole, "a kill left an uninstall.exe of neither release")
    step("15. run again, the installer exited with 0: release 2 whole, no staging folder left, and every"
         " uninstall.exe seen was one of the two releases'")


# -- a full disk ----------------------------------------------------------------
def full_disk_changes_nothing():
    mount = os.path.join(RUN, "small-drive")
    os.makedirs(mount, exist_ok=True)
    setup_bytes = os.path.getsize(os.path.join(LIFECYCLE, "release", "2", SETUP2))
    folder_bytes = sum(os.path.getsize(os.path.join(unpacked(1), name)) for name in release_files())
    size = folder_bytes + setup_bytes + (4 << 20)  # the folder and its installer, not a second copy
    check(run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "velm-small", mount]) == 0,
          "could not mount a small tmpfs")
    atexit.register(run, ["umount", "-l", mount])
    drive = os.path.join(PREFIX, "dosdevices", "v:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(mount, drive)
    folder = Folder("V:\\Velm", drive=mount)
    folder.install()
    folder.saved_installer()
    code = folder.cmd(SETUP2 + " /S", cwd=folder.tmp)
    check(code == 2, "on a full disk the silent update exited with %d instead of 2" % code)
    check(not folder.differences(1) and not folder.stages(), "on a full disk the update changed the folder: %s %s"
          % (folder.differences(1), folder.stages()))
    installer, shown = double_click_installer(folder)
    box = new_window("^Установка OperatorVelm", 60, shown)
    check(box, "on a full disk the installer, run by double-click, said nothing")
    time.sleep(1)
    screenshot("root", "installer-disk-full.png")
    text = " ".join(box_texts()[-1:])
    check("недостаточно места" in text, "on a full disk the installer said: %r" % text)
    press(box, "Return")
    if not ended(installer, 10):
        run(["xdotool", "key", "--window", shown[0], "Return"])  # «Закрыть»
    check(ended(installer, 30) and installer.returncode == 2,
          "run by double-click on a full disk, the installer exited with %s" % installer.returncode)
    check(not folder.differences(1) and not folder.stages(), "run by double-click, the update changed the folder")
    step("16. on a drive with room for one copy of the folder, the silent update exited with 2 and the folder"
         " stayed release 1's with no staging folder; by double-click it said «%s»"
         % text.split("\\r")[0])
    run(["umount", mount])
    os.remove(drive)


# -- a second copy of the folder ------------------------------------------------
def second_copy_keeps_its_entry_and_shortcut():
    first, copy = Folder("C:\\Первая копия"), Folder("C:\\Вторая копия")
    first.install()
    shutil.rmtree(copy.path, ignore_errors=True)
    shutil.copytree(unpacked(1), copy.path)
    copy.saved_installer()
    began = time.monotonic()
    code = copy.cmd(SETUP2 + " /S", cwd=copy.tmp)
    took = time.monotonic() - began
    check(code == 0 and not copy.differences(2), "the copy's update exited with %d: %s" % (code, copy.differences(2)))
    check(registry("InstallLocation") == copy.windows and shortcut_works_in(copy),
          "the copy's update did not take over the entry and the shortcut")
    code = first.cmd("uninstall.exe /S")
    check(not os.path.exists(first / "OperatorVelm.exe"), "the first copy's uninstaller left its programs")
    check(not copy.differences(2) and os.path.exists(copy / "uninstall.exe"),
          "uninstalling the first copy changed the second: %s" % copy.differences(2))
    check(registry("InstallLocation") == copy.windows, "uninstalling the first copy took the second's entry")
    check(shortcut_works_in(copy), "uninstalling the first copy took the second's shortcut")
    step("17. a copy unpacked from release 1's zip, updated from its own tmp\\ in %.1f s (silently, with the"
         " time Wine takes to start), owns the entry and the shortcut; uninstalling the first copy left the"
         " copy's files, entry and shortcut" % took)
    copy.cmd("uninstall.exe /S")
    check(not registry("DisplayName") and not os.path.exists(shortcut_path()),
          "uninstalling the copy left its entry or shortcut")


# -- read-only files, as an operator without root -------------------------------
def read_only_files_are_replaced():
    user = "velm-operator"
    if run(["id", user]) != 0:
        check(run(["useradd", "--create-home", user]) == 0, "could not add the user " + user)
    account = pwd.getpwnam(user)
    prefix = os.path.join(RUN, "wine-" + user)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    os.chown(prefix, account.pw_uid, account.pw_gid)
    env = dict(ENV, WINEPREFIX=prefix, HOME=account.pw_dir, USER=user)
    for name in (SETUP1, SETUP2):
        os.chmod(os.path.join(RUN, name), 0o644)
    os.chmod(RUN, 0o755)

    def as_user(command, cwd=None):
        try:
            return subprocess.run(command, cwd=cwd, env=env, stdout=LOG, stderr=LOG, timeout=300,
                                  user=account.pw_uid, group=account.pw_gid, extra_groups=[]).returncode
        except subprocess.TimeoutExpired:
            return 124

    check(as_user(["wineboot", "-i"]) == 0, "a Wine prefix for %s could not be made" % user)
    folder = Folder("C:\\Velm", drive=os.path.join(prefix, "drive_c"))
    marked = ["OperatorVelm.exe", "version.json", "platforms\\qwindows.dll"]

    def cmd(line, cwd):
        code = as_user(["wine", "cmd", "/c", line], cwd)
        as_user(["wineserver", "-w"])
        return code

    def mark_read_only():
        for name in marked:
            cmd("attrib +r " + name, folder.path)
        check(not any(os.stat(folder / name).st_mode & 0o222 for name in marked), "attrib +r left a file writable")

    check(cmd("OperatorVelm-1-setup.exe /S /D=" + folder.windows, RUN) == 0 and not folder.differences(1),
          "release 1 did not install for " + user)
    folder.saved_installer()
    for path in (folder.tmp, os.path.join(folder.tmp, SETUP2)):
        os.chown(path, account.pw_uid, account.pw_gid)
    # A sub-folder of root's lets every file be staged and checked, but not
    # renamed into it: what was switched before it goes back.
    os.chown(folder / "platforms", 0, 0)
    code = cmd(SETUP2 + " /S", folder.tmp)
    check(code == 2 and not folder.differences(1) and not folder.stages(),
          "when a rename failed, the update exited with %d and left: %s %s"
          % (code, folder.differences(1), folder.stages()))
    os.chown(folder / "platforms", account.pw_uid, account.pw_gid)
    mark_read_only()
    code = cmd(SETUP2 + " /S", folder.tmp)
    check(code == 0 and not folder.differences(2),
          "with %s read-only, the update exited with %d: %s" % (", ".join(marked), code, folder.differences(2)))
    # A file the operator may not change at all is not taken for an open one.
    foreign = folder / "libgcc_s_seh-1.dll"
    os.chown(foreign, 0, 0)
    code = cmd(SETUP2 + " /S", folder.tmp)
    check(code == 2 and not folder.differences(2) and not folder.stages(),
          "with a file of root's, the update exited with %d instead of 2: %s" % (code, folder.differences(2)))
    os.chown(foreign, account.pw_uid, account.pw_gid)
    mark_read_only()
    code = cmd("uninstall.exe /S _?=" + folder.windows, folder.path)
    left = [name for name in marked if os.path.exists(folder / name)]
    check(code == 0 and not left, "the uninstaller exited with %d and left %s" % (code, left))
    as_user(["wineserver", "-k"])
    step("18. as %s, an update whose rename into a folder of root's failed moved back the files it had"
         " switched and exited with 2, the folder release 1's byte for byte" % user)
    step("18. as %s, with %s read-only, the silent update exited with 0 with release 2 whole, and the"
         " uninstaller removed them; a file of root's, which %s may not write, stopped the update with 2"
         " and changed nothing" % (user, ", ".join(marked), user))


SCENARIOS = [update_from_release_1_to_2, forgeries_are_refused, killed_update_leaves_every_file_whole,
             full_disk_changes_nothing, second_copy_keeps_its_entry_and_shortcut, read_only_files_are_replaced]


def main():
    global LOG, scenario
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
        shutil.copy(os.path.join(release, "OperatorVelm-%d-setup.exe" % number), RUN)
    check(not same(*(os.path.join(unpacked(n), "OperatorVelm.exe") for n in (1, 2))),
          "release 1 and 2 ship the same OperatorVelm.exe, so nothing below could tell them apart")
    chosen = sys.argv[4:] or [each.__name__ for each in SCENARIOS]
    for each in SCENARIOS:
        if each.__name__ in chosen:
            scenario = each.__name__
            each()
            run(["wineserver", "-k"], timeout=30)


if __name__ == "__main__":
    main()
