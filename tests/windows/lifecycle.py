#!/usr/bin/env python3
# An operator's lifecycle from release 1 to release 2, under Wine.
#
# Usage: lifecycle.py <build-windows folder> <scenario>
#
# One CTest test per scenario (tests/windows/CMakeLists.txt), on an X display
# and in the Wine prefix of the fixture wine-lifecycle. Release 1 and 2 lie in
# <build-windows>/lifecycle/release/, made by windows-check.sh with release.sh
# for the update host localhost:<port>, with the keys and the certificate in
# <build-windows>/lifecycle/, and release 2 again in <build-windows>/rebuild/;
# the fixture lifecycle-folders unpacks their zips (unpacked() below). This
# script serves release 2 on that port over HTTPS, with the certificate of
# the test suite, whose CA the fixture lifecycle-ca has the system (and so
# Wine) trust, and works in <build-windows>/lifecycle/<scenario>/. Each step
# prints what it showed; the first failure ends the test with
# "lifecycle: FAILED in <scenario>: ..." and exit status 1. Each scenario
# first ends whatever an earlier one, cut short, left running in the prefix.
import base64
import filecmp
import functools
import hashlib
import http.server
import json
import os
import pathlib
import pwd
import re
import shutil
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import zipfile

OUT, SCENARIO = os.path.abspath(sys.argv[1]), sys.argv[2]
RELEASES = os.path.join(OUT, "lifecycle", "release")
RUN = os.path.join(OUT, "lifecycle", SCENARIO)
SETUP1, SETUP2 = "OperatorVelm-1-setup.exe", "OperatorVelm-2-setup.exe"
SERVED = os.path.join(RUN, "server", "files", "Velm")
MANIFEST, DOWNLOAD = "GET /files/Velm/Version.json", "GET /files/Velm/" + SETUP2
NOTE = "Мои заметки.txt"
PREFIX = os.environ.get("WINEPREFIX", "")
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OperatorVelm"
APPDATA = os.path.join(PREFIX, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name, "AppData")
LINK = "Roaming/Microsoft/Windows/Start Menu/Programs/OperatorVelm.lnk"
SHORTCUT = os.path.join(APPDATA, LINK)
CERTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "certs")
REQUESTS = []
LOG = subprocess.DEVNULL  # Wine's own output, in wine.log once the run starts
# What the programs and the installer write into the folder besides the release.
LOGS = ("OperatorVelm.log", "OperatorVelm.1.log", "OperatorVelm.log.lock")
OUTCOME = " OperatorVelm: This is release "  # the update check's last line
SMALL_DRIVE = os.path.join(OUT, "lifecycle", "small-drive")


def step(text):
    print("lifecycle: " + text, flush=True)


def check(ok, text):
    # Ends the test unless ok.
    if not ok:
        print("lifecycle: FAILED in %s: %s" % (SCENARIO, text), flush=True)
        sys.exit(1)


def wait(seconds, ready, pause=0.2):
    # Whether ready() came true within that many seconds.
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(pause)
    return True


def run(command, cwd=None, timeout=300, user=None, **env):
    # Runs a command to its end, as root or as the account given; its exit
    # code, 124 if it took too long.
    ids = dict(user=user.pw_uid, group=user.pw_gid, extra_groups=[]) if user else {}
    try:
        return subprocess.run(command, cwd=cwd, env=dict(os.environ, **env), stdout=LOG, stderr=LOG,
                              timeout=timeout, **ids).returncode
    except subprocess.TimeoutExpired:
        return 124


def end_wine(user=None, **env):
    # Ends every program of the prefix. -k only asks the server to go: a
    # program started while it still goes meets it dying, and never starts.
    run(["wineserver", "-k"], timeout=30, user=user, **env)
    run(["wineserver", "-w"], timeout=60, user=user, **env)


def start(command, cwd, log=None, **env):
    return subprocess.Popen(command, cwd=cwd, env=dict(os.environ, **env), stdout=log or LOG, stderr=log or LOG)


def ended(process, seconds):
    try:
        return process.wait(seconds) is not None
    except subprocess.TimeoutExpired:
        return False


def output(command):
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        return ""


def same(a, b):
    return os.path.isfile(a) and os.path.isfile(b) and filecmp.cmp(a, b, shallow=False)


def digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def unpacked(number):
    return os.path.join(OUT, *(("lifecycle", "unpacked-1") if number == 1 else ()), "OperatorVelm")


def release_files():
    return sorted(os.path.relpath(os.path.join(root, name), unpacked(1))
                  for root, _, names in os.walk(unpacked(1)) for name in names)


def whole(folder, files, when):
    # Every file of the folder is release 1's or 2's (or both's, where the
    # two are the same), and version.json 1's unless no file is 1's alone; the
    # files that are 2's alone.
    held = {name: "".join(number for number in "12" if same(os.path.join(unpacked(int(number)), name), folder / name))
            for name in files}
    new = sorted(name for name in files if held[name] == "2")
    check("" not in held.values(), "%s, files of neither release (or none): %s" % (when, held))
    check(held["version.json"] == "1" or "1" not in held.values(), "%s, version.json names release 2 over a folder that holds only %s" % (when, new))
    return new


class Folder:
    # A folder of a Wine prefix, by its Windows name, worked in as root or
    # as the account given (with a prefix of its own).

    def __init__(self, windows, drive=None, user=None, **env):
        self.windows, self.user, self.env = windows, user, env
        self.path = os.path.join(drive or os.path.join(PREFIX, "drive_c"), *windows[3:].split("\\"))
        self.shortcut = os.path.join(drive, "users", user.pw_name, "AppData", LINK) if user else SHORTCUT
        self.tmp = os.path.join(self.path, "tmp")

    def __truediv__(self, name):
        return os.path.join(self.path, *name.split("\\"))

    def cmd(self, line, cwd=None, settle=True):
        # Runs the line through cmd in the folder (or cwd), which passes it
        # on as typed (NSIS wants /D= and _?= last and unquoted); its exit
        # code. With settle, waits for every program of the prefix to end.
        code = run(["wine", "cmd", "/c", line], cwd or self.path, user=self.user, **self.env)
        if settle:
            run(["wineserver", "-w"], timeout=120, user=self.user, **self.env)
        return code

    def install(self, number=1):
        # That release's installer, run silently, installs the folder anew.
        shutil.rmtree(self.path, ignore_errors=True)
        code = self.cmd("OperatorVelm-%d-setup.exe /S /D=%s" % (number, self.windows), os.path.join(RELEASES, str(number)))
        check(code == 0 and not self.differences(number), "release %d's installer exited with %d" % (number, code))

    def saved_installer(self):
        # Release 2's installer in tmp\, as Updater leaves it.
        os.makedirs(self.tmp, exist_ok=True)
        shutil.copy(os.path.join(RELEASES, "2", SETUP2), self.tmp)
        for path in (self.tmp, os.path.join(self.tmp, SETUP2)):
            os.chown(path, self.user.pw_uid if self.user else 0, self.user.pw_gid if self.user else 0)

    def differences(self, number):
        # What keeps the folder from holding exactly the files of that
        # release, besides its uninstaller, tmp\ and the operator's file.
        excluded = ["--exclude=" + name for name in ("uninstall.exe", "tmp", NOTE) + LOGS]
        diff = subprocess.run(["diff", "-r", "-q"] + excluded + [unpacked(number), self.path], capture_output=True,
                              text=True)
        return "" if diff.returncode == 0 else (diff.stdout + diff.stderr).strip()

    def stages(self):
        return [name for name in os.listdir(self.tmp) if name.startswith(".velm-")] if os.path.isdir(self.tmp) else []

    def update(self, expected, setup=SETUP2):
        # That installer run silently from tmp\ exits as expected.
        code = self.cmd(setup + " /S", cwd=self.tmp)
        check(code == expected, "%s /S from %s\\tmp exited with %d instead of %d" % (setup, self.windows, code, expected))

    def log(self):
        # The lines of the folder's log, none before it is written.
        if not os.path.exists(self / LOGS[0]):
            return []
        with open(self / LOGS[0], encoding="utf-8") as log:
            return log.read().splitlines()

    def logs(self, text, after, seconds=30):
        # Whether a line with that text follows the first after lines of
        # the log within that many seconds.
        return wait(seconds, lambda: any(text in line for line in self.log()[after:]))


# -- the update host ------------------------------------------------------------
class Handler(http.server.SimpleHTTPRequestHandler):
    # Connections stay open after a response, as with real servers. A server
    # that closes right after the last byte, without a TLS close_notify, now
    # and then leaves Wine's TLS layer holding the last record, and the
    # download stalls.
    protocol_version = "HTTP/1.1"

    def log_request(self, code="-", size="-"):
        REQUESTS.append("%s %s" % (self.requestline, getattr(code, "value", code)))


def serve():
    # Release 2's update host on the port its manifest names, over HTTPS
    # with the test suite's certificate for localhost; the port.
    with open(os.path.join(RELEASES, "2", "Version.json")) as manifest:
        port = urllib.parse.urlsplit(json.load(manifest)["URL"]).port or 443
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), functools.partial(
        Handler, directory=os.path.join(RUN, "server")))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(CERTS, "server.pem"), os.path.join(CERTS, "server.key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    os.makedirs(SERVED)
    serve_release_2()
    return port


def serve_release_2():
    for name in ("Version.json", SETUP2):
        shutil.copy(os.path.join(RELEASES, "2", name), SERVED)


def requests(what):
    # How many requests starting with what were answered with 200.
    return sum(line.startswith(what) and line.endswith(" 200") for line in REQUESTS)


# -- the screen, the registry and the shortcut ----------------------------------
def windows(title):
    # Ids of the shown windows whose title matches the regular expression.
    return output(["xdotool", "search", "--onlyvisible", "--name", title]).split()


def new_window(title, seconds, known=()):
    # The id of a shown window of that title that is none of the known ones.
    found = []

    def look():
        found[:] = [window for window in windows(title) if window not in known]
        return bool(found)

    return found[0] if wait(seconds, look) else None


def press(window, key):
    # Without a window manager only a focused window gets keys as typed.
    check(run(["xdotool", "windowfocus", "--sync", window, "key", key], timeout=30) != 124, "%s took no focus" % window)


def press_until(window, key, done):
    # Whether done() came true within a minute, the key sent to the window
    # before each look: a page not yet drawn, or not yet ready, misses it.
    def pressed():
        run(["xdotool", "key", "--window", window, key], timeout=30)
        return done()

    return wait(60, pressed, pause=0)


def screenshot(window, name):
    run(["import", "-window", window, os.path.join(OUT, name)])


def click_update(window):
    # The update button is the lowest one, spanning the window.
    size = dict(line.split("=") for line in output(["xdotool", "getwindowgeometry", "--shell", window]).split())
    run(["xdotool", "mousemove", "--window", window, str(int(size["WIDTH"]) // 2),
         str(int(size["HEIGHT"]) - 22), "click", "1"])


def ours(program):
    # Whether that Windows program runs in this prefix; one of the same
    # name elsewhere is never counted.
    for pid in output(["pgrep", "-x", program[:15]]).split():
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if ("WINEPREFIX=" + PREFIX).encode() in environ.read().split(b"\0"):
                    return True
        except OSError:  # ended meanwhile
            pass
    return False


def registry(name, folder=None):
    # A value of the uninstaller entry (in the folder's prefix), "" without
    # one. Exported, since reg query prints what the console's code page lacks
    # as "?".
    user, env = (folder.user, folder.env) if folder else (None, {})
    exported = os.path.join(env.get("WINEPREFIX", RUN), "entry.reg")
    if run(["wine", "reg", "export", UNINSTALL_KEY, exported, "/y"], user=user, **env) != 0:
        return ""
    with open(exported, encoding="utf-16") as file:
        values = dict(line.strip().split("=", 1) for line in file if line.startswith('"'))
    return values.get('"%s"' % name, "").strip('"').replace("\\\\", "\\")


def shortcut_works_in(folder):
    # Whether the shortcut starts the program in the folder: the link keeps
    # its working folder as a UTF-16 string of its own, not merely as the
    # start of the program's path.
    if not os.path.exists(folder.shortcut):
        return False
    with open(folder.shortcut, "rb") as file:
        data = file.read()
    wanted, backslash = folder.windows.encode("utf-16-le"), "\\".encode("utf-16-le")
    at = data.find(wanted)
    while at >= 0 and data[at + len(wanted):at + len(wanted) + 2] == backslash:
        at = data.find(wanted, at + 1)
    return at >= 0


def start_operatorvelm(which, folder, log=None, asking=False, **env):
    # OperatorVelm of the folder, shown; with asking, once it has asked
    # for Version.json and shown what the answer offers.
    asked, logged = requests(MANIFEST), len(folder.log())
    program = start(["wine", "OperatorVelm.exe"], folder.path, log, **env)
    window = new_window("^OperatorVelm$", 60)
    check(window, "%s OperatorVelm.exe showed no window (exit code %s); Wine's output ends:\n%s" % (which, program.poll(), pathlib.Path((log or LOG).name).read_text(errors="replace")[-800:]))
    if asking:
        check(wait(30, lambda: requests(MANIFEST) > asked), which + " did not ask for Version.json")
        check(folder.logs(OUTCOME, logged), which + " logged no outcome of its check: %s" % folder.log()[logged:])
    return program, window


def offers_update(which, folder, shot=None):
    # OperatorVelm of the folder asks for Version.json and offers release 2:
    # a click starts Updater, which downloads its installer, and OperatorVelm
    # quits. The id of Updater's "Download Complete" box, still open.
    fetched = requests(DOWNLOAD)
    velm, window = start_operatorvelm(which, folder, asking=True)
    if shot:
        screenshot(window, shot)
    click_update(window)
    check(wait(30, lambda: requests(DOWNLOAD) > fetched), "a click on %s downloaded nothing" % which)
    done = new_window("^Download Complete$", 60)
    check(done, 'Updater showed no "Download Complete" box; shown: %s' % output( ["xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname", "%@"]))
    check(ended(velm, 10), which + " OperatorVelm.exe did not quit after starting Updater")
    return done


def close_box(box):
    press(box, "Return")
    check(wait(10, lambda: not ours("Updater.exe")), "Updater.exe did not end after its box")


def double_click_installer(folder):
    # Release 2's installer from tmp\ as a double-click runs it, in a
    # Russian session, past its welcome page: the process, and the ids of the
    # installer's windows. Wine traces the text of each message box it shows
    # into installer.log.
    log, logged = open(os.path.join(RUN, "installer.log"), "w"), len(folder.log())
    installer = start(["wine", SETUP2], folder.tmp, log, LANG="ru_RU.UTF-8", WINEDEBUG="+msgbox")
    check(new_window("^Установка OperatorVelm", 60), SETUP2 + " showed no window when run by double-click")
    shown = windows("^Установка OperatorVelm")
    check(press_until(shown[0], "Return", lambda: folder.logs(" setup: выпуск 2, ", logged, 5)), SETUP2 + " did not begin its work after its welcome page")
    return installer, shown


def box_texts():
    # The beginnings of the texts of the installer's message boxes so far,
    # as Wine traces them: L"..." with \XXXX for each character outside ASCII.
    with open(os.path.join(RUN, "installer.log"), encoding="utf-8", errors="replace") as log:
        return [re.sub(r"\\([0-9a-f]{4})", lambda code: chr(int(code.group(1), 16)), line.split('L"', 1)[1])
                for line in log if "MSGBOX_OnInit" in line]


# -- the scenarios --------------------------------------------------------------
def update_from_release_1_to_2():
    folder = Folder("C:\\Рабочее место\\Оператор Velm")
    note, note_copy, saved = folder / NOTE, os.path.join(RUN, "note"), os.path.join(folder.tmp, SETUP2)
    folder.install()
    check(os.path.isfile(folder / "uninstall.exe") and shortcut_works_in(folder) and registry("DisplayVersion") == "1", "no uninstall.exe, no Start-menu shortcut working in the folder, or no entry for release 1")
    uninstall_1 = digest(folder / "uninstall.exe")
    step("1. release 1 installed silently into %s: the folder is release 1's, with uninstall.exe, a Start-menu shortcut working in the folder and a per-user uninstaller entry" % folder.windows)
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        step("2. https://localhost:%s serves release 2's Version.json: %s" % (PORT, manifest.read().strip()))
    done = offers_update("release 1's", folder, "screenshot.png")
    screenshot(done, "updater-complete.png")
    check(same(os.path.join(SERVED, SETUP2), saved) and os.listdir(folder.tmp) == [SETUP2], "tmp\\ does not hold the served installer alone: %s" % os.listdir(folder.tmp))
    step("3. release 1 offered the update; the click started Updater.exe and OperatorVelm quit; tmp\\%s is the served installer byte for byte" % SETUP2)

    def unchanged(what):
        check(not folder.differences(1), "%s changed the folder: %s" % (what, folder.differences(1)))
        check(digest(folder / "uninstall.exe") == uninstall_1 and os.path.exists(SHORTCUT) and registry("DisplayVersion") == "1", what + " changed uninstall.exe, the shortcut or the entry")
        check(not folder.stages(), what + " left " + " ".join(folder.stages()))

    def refused(what, line, cwd=None):
        code = folder.cmd(line, cwd=cwd, settle=False)
        check(code == 3, "%s exited with %d instead of 3 while a program of the folder was open" % (what, code))
        unchanged(what)

    refused(SETUP2 + " /S, with Updater's box still open,", SETUP2 + " /S", folder.tmp)
    close_box(done)
    step('4. with Updater\'s "Download Complete" box still open, %s /S from tmp\\ exited with 3 and left the' " folder byte for byte release 1's; Updater ended after its box" % SETUP2)
    # The operator starts release 1 again to go on working.
    velm, window = start_operatorvelm("release 1's, started again,", folder)
    refused(SETUP2 + " /S, with OperatorVelm open,", SETUP2 + " /S", folder.tmp)
    step("5. with OperatorVelm open, %s /S from tmp\\ exited with 3 and left the folder byte for byte release 1's" % SETUP2)
    # In place (_?=), so that its exit code is the uninstaller's own.
    refused("the silent uninstaller, with OperatorVelm open,", "uninstall.exe /S _?=" + folder.windows)
    step("6. with OperatorVelm open, the silent uninstaller exited with 3 and removed nothing")
    installer, shown = double_click_installer(folder)
    box = new_window("^Установка OperatorVelm", 60, shown)
    check(box and wait(10, box_texts), "with OperatorVelm open, the installer asked nothing after its welcome page")
    screenshot("root", "installer-programs-open.png")
    press(box, "Escape")
    check(ended(installer, 30) and installer.returncode == 3, "«Отмена» did not end the installer with 3")
    unchanged("the installer, cancelled,")
    step("7. run by double-click with OperatorVelm open, the installer asked to close the programs (build-windows/installer-programs-open.png); «Отмена» ended it with 3 and the folder stayed release 1's")

    press(window, "alt+F4")
    check(ended(velm, 20), "release 1's OperatorVelm.exe did not end when its window was closed")
    with open(note, "w", newline="") as file:
        file.write("Показания абонента 1042: уточнить\r\n")
    shutil.copy(note, note_copy)
    logged = len(folder.log())
    installer, shown = double_click_installer(folder)
    # The installer's last line comes just before its finish page.
    version = folder / "version.json"
    check(folder.logs(" setup: код выхода 0: ", logged, 120), "the installer logged no end with 0: %s" % folder.log()[logged:])
    # «Готово» on the finish page, «Запустить OperatorVelm» ticked.
    check(press_until(shown[0], "Return", lambda: ended(installer, 2)) and installer.returncode == 0, "the installer did not end on its finish page with 0")
    check(not folder.differences(2), "the updated folder is not release 2's folder: %s" % folder.differences(2))
    check(same(os.path.join(SERVED, SETUP2), saved) and same(note_copy, note), "tmp\\ or the operator's file was lost")
    check(not folder.stages() and registry("DisplayVersion") == "2", "a stage was left, or the entry is not 2's")
    check(not os.path.exists(os.path.join(APPDATA, "Local", "Programs", "OperatorVelm")), "the update went into the default folder instead of the one it was saved below")
    step("8. OperatorVelm closed, %s run again from tmp\\ updated the folder in place and exited with 0: version.json says %s, the programs are release 2's, tmp\\ and the operator's file are kept" % (SETUP2, open(version).read().strip()))

    downloads = requests(DOWNLOAD)
    window = new_window("^OperatorVelm$", 60)
    check(window, "the finish page did not start release 2's OperatorVelm.exe")
    check(folder.logs(OUTCOME, logged), "release 2 logged no outcome of its check")
    screenshot(window, "screenshot-release-2.png")
    click_update(window)
    check(not wait(3, lambda: requests(DOWNLOAD) > downloads or not ours("OperatorVelm.exe")), "release 2 offered the update again")
    press(window, "alt+F4")
    check(wait(20, lambda: not ours("OperatorVelm.exe")), "release 2's OperatorVelm.exe did not end when closed")
    step("9. release 2, started by the finish page, asked the server again and offered nothing: its update button did nothing")

    folder.update(0)
    check(not folder.differences(2) and same(note_copy, note), "the folder is not release 2's with the note")
    check(" setup: код выхода 0: " in folder.log()[-1], "the installer's last line in the log: " + folder.log()[-1])
    step("10. with nothing open, %s /S from tmp\\ exited with 0 and the folder is release 2's; the log ends: %s" % (SETUP2, folder.log()[-1]))

    folder.cmd("uninstall.exe /S")
    remaining = sorted(os.path.relpath(os.path.join(root, name), folder.path)
                       for root, folders, files in os.walk(folder.path) for name in folders + files)
    check(remaining == sorted(["tmp", "tmp/" + SETUP2, NOTE, LOGS[0]]), "after uninstalling the folder holds: %s" % remaining)
    check(same(note_copy, note) and same(os.path.join(SERVED, SETUP2), saved), "uninstalling changed note or tmp\\")
    check(not os.path.exists(SHORTCUT) and not registry("DisplayName"), "uninstalling left the shortcut or entry")
    step("11. uninstalled: the installed files, shortcut and entry are gone; the folder keeps only " + " ".join(remaining))
    check(any(" Updater: Saved tmp/%s, " % SETUP2 in line for line in folder.log()), "Updater logged no save")
    step("11. the folder's log:\n  " + "\n  ".join(folder.log()))


def not_offered(folder, what, manifest, reason, shot):
    # The folder's OperatorVelm, asking for that manifest, offers nothing
    # and logs a warning that says why.
    with open(os.path.join(SERVED, "Version.json"), "w") as out:
        json.dump(manifest, out)
    fetched = requests("GET /files/Velm/OperatorVelm-")
    log_path = os.path.join(RUN, "operatorvelm-%d.log" % len(REQUESTS))
    with open(log_path, "w") as log:
        velm, window = start_operatorvelm("the folder's", folder, log, asking=True)
        screenshot(window, shot)
        click_update(window)
        check(not wait(3, lambda: requests("GET /files/Velm/OperatorVelm-") > fetched or velm.poll() is not None), what + " was offered")
        press(window, "alt+F4")
        check(ended(velm, 20), "release 1's OperatorVelm.exe did not end when its window was closed")
    with open(log_path) as log:
        check(reason in log.read(), "no warning that says %r for %s" % (reason, what))


def forgeries_are_refused():
    folder = Folder("C:\\Оператор Velm 2")
    folder.install()
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        signed = json.load(manifest)
    forged = pathlib.Path(SERVED, SETUP2)  # one byte changed, under the same manifest
    forged.write_bytes((data := forged.read_bytes())[:-1] + bytes([data[-1] ^ 0xFF]))
    velm, window = start_operatorvelm("release 1's", folder, asking=True)
    click_update(window)
    error = new_window("^Download Error$", 90)
    check(error, "Updater showed no \"Download Error\" box for the forged installer")
    screenshot(error, "updater-forged-installer.png")
    check(not os.path.exists(folder.tmp) or not os.listdir(folder.tmp), "tmp\\ holds %s" % os.listdir(folder.tmp))
    close_box(error)
    check(" Updater: Download Error: " in folder.log()[-1], "Updater logged no error: %s" % folder.log()[-1:])
    serve_release_2()
    step("12. release 1, installed anew into %s, offered the signed update; the server's installer had one byte changed: Updater ended in \"Download Error\" and tmp\\ holds no installer" % folder.windows)

    key = os.path.join(RUN, "other-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True, capture_output=True)
    not_offered(folder, "a manifest signed by another key", sign(signed, key), "does not match",
                "screenshot-other-key.png")
    step("13. a manifest signed by another key was not offered: «Версия актуальна», and a warning says why")
    shutil.copy(os.path.join(RELEASES, "1", SETUP1), SERVED)
    moved = signed["URL"].replace(SETUP2, SETUP1).split("#")[0] + "#sha256=" + digest(os.path.join(SERVED, SETUP1))
    not_offered(folder, "a signed manifest whose address was changed", dict(signed, URL=moved), "match",
                "screenshot-address-changed.png")
    step("14. release 2's signed manifest with its address changed to another file on the server (%s) was not offered" % SETUP1)
    step("14. the folder's log:\n  " + "\n  ".join(folder.log()))


def killed_update_leaves_every_file_whole():
    folder = Folder("C:\\Прерванное обновление")
    folder.install()
    folder.saved_installer()
    uninstallers, seen = {digest(folder / "uninstall.exe")}, set()
    files = release_files()
    libraries = [name for name in files if name.endswith(".dll")]
    stage = os.path.join(folder.tmp, ".velm-2", "new")

    def staged():
        return sum(len(names) for _, _, names in os.walk(stage))

    def switched(names):
        return sum(os.stat(folder / name).st_ino != inodes[name] for name in names if os.path.exists(folder / name))

    points = [("its first file staged", lambda: staged() >= 1),
              ("half its files staged", lambda: staged() >= len(files) // 2),
              ("every file staged", lambda: staged() > len(files) or switched(files)),
              ("its first library switched", lambda: switched(libraries) >= 1),
              ("its libraries switched", lambda: switched(libraries) >= len(libraries) - 1)]
    for point, reached in points:
        inodes = {name: os.stat(folder / name).st_ino for name in files}
        installer = start(["wine", "cmd", "/c", SETUP2 + " /S"], folder.tmp)
        busy = wait(120, lambda: reached() or installer.poll() is not None, pause=0.01)
        end_wine()
        check(busy and ended(installer, 30), "the installer did not reach %s within 120 s, or lived on" % point)
        seen.add(digest(folder / "uninstall.exe"))
        new = whole(folder, files, "killed after " + point)
        step("15. the update killed (wineserver -k) after %s: %d files left in the stage; every file whole, %s" % (point, staged(), "release 2's: " + ", ".join(new) if new else "all release 1's"))
        if "version.json" in new:  # the kill came after the last rename
            step("15. the update had ended whole before the kill")
            continue
        close_box(offers_update("the folder's", folder))
        step("15. and OperatorVelm started from that folder offered the update again")
    folder.update(0)
    uninstallers.add(digest(folder / "uninstall.exe"))
    check(not folder.differences(2) and not folder.stages(), "run again, the installer left: %s %s" % (folder.differences(2), folder.stages()))
    check(seen <= uninstallers, "a kill left an uninstall.exe of neither release")
    step("15. run again, the installer exited with 0: release 2 whole, no staging folder left, and every uninstall.exe seen was one of the two releases'")


def full_disk_changes_nothing():
    mount, drive = SMALL_DRIVE, os.path.join(PREFIX, "dosdevices", "v:")
    os.makedirs(mount, exist_ok=True)
    # Room for the folder and its installer, not for a second copy.
    size = sum(os.path.getsize(os.path.join(root, name)) for root, _, names in os.walk(unpacked(1))
               for name in names) + os.path.getsize(os.path.join(RELEASES, "2", SETUP2)) + (4 << 20)
    # Unmounted by the fixture's end, lifecycle-cleanup, even after a run that timed out.
    check(run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "velm-small", mount]) == 0, "no small tmpfs")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(mount, drive)
    folder = Folder("V:\\Velm", drive=mount)
    folder.install()
    folder.saved_installer()
    folder.update(2)
    check(not folder.differences(1) and not folder.stages(), "on a full disk the update changed the folder: %s %s" % (folder.differences(1), folder.stages()))
    installer, shown = double_click_installer(folder)
    box = new_window("^Установка OperatorVelm", 60, shown)
    check(box, "on a full disk the installer, run by double-click, said nothing")
    wait(10, lambda: "недостаточно места" in " ".join(box_texts()[-1:]))
    screenshot("root", "installer-disk-full.png")
    text = " ".join(box_texts()[-1:])
    check("недостаточно места" in text, "on a full disk the installer said: %r" % text)
    press(box, "Return")
    if not ended(installer, 10):
        run(["xdotool", "key", "--window", shown[0], "Return"])  # «Закрыть»
    check(ended(installer, 30) and installer.returncode == 2, "by double-click it exited with %s" % installer.returncode)
    check(not folder.differences(1) and not folder.stages(), "run by double-click, the update changed the folder")
    step("16. on a drive with room for one copy of the folder, the silent update exited with 2 and the folder stayed release 1's with no staging folder; by double-click it said «%s»" % text.split("\\r")[0])


def second_copy_keeps_its_entry_and_shortcut():
    first, copy = Folder("C:\\Первая копия"), Folder("C:\\Вторая копия")
    first.install()
    shutil.rmtree(copy.path, ignore_errors=True)
    shutil.copytree(unpacked(1), copy.path)
    copy.saved_installer()
    began = time.monotonic()
    copy.update(0)
    took = time.monotonic() - began
    check(not copy.differences(2) and registry("InstallLocation") == copy.windows and shortcut_works_in(copy), "the copy's update left: %s; or it did not take the entry and the shortcut" % copy.differences(2))
    first.cmd("uninstall.exe /S")
    check(not os.path.exists(first.path), "the first copy's uninstaller left its folder, which held only its files")
    check(not copy.differences(2) and os.path.exists(copy / "uninstall.exe"), "uninstalling the first copy changed the second: %s" % copy.differences(2))
    check(registry("InstallLocation") == copy.windows and shortcut_works_in(copy), "uninstalling the first copy took the second's entry or shortcut")
    step("17. a copy unpacked from release 1's zip, updated from its own tmp\\ in %.1f s (silently, with the time Wine takes to start), owns the entry and the shortcut; uninstalling the first copy left the copy's files, entry and shortcut" % took)
    copy.cmd("uninstall.exe /S")
    check(not registry("DisplayName") and not os.path.exists(SHORTCUT), "uninstalling the copy left entry or shortcut")


def read_only_files_are_replaced():
    # Run as an ordinary user in a prefix of its own: Wine run as root
    # writes read-only files all the same.
    name = "velm-operator"
    if run(["id", name]) != 0:
        check(run(["useradd", "--create-home", name]) == 0, "could not add the user " + name)
    user = pwd.getpwnam(name)
    prefix = os.path.join(RUN, "wine-" + name)
    os.makedirs(prefix)
    os.chown(prefix, user.pw_uid, user.pw_gid)
    os.chmod(RUN, 0o755)
    env = dict(WINEPREFIX=prefix, HOME=user.pw_dir, USER=name)
    check(run(["wineboot", "-i"], user=user, **env) == 0, "a Wine prefix for %s could not be made" % name)
    folder = Folder("C:\\Velm", os.path.join(prefix, "drive_c"), user, **env)
    # Qt6Core.dll is switched first, before the rename that fails below.
    marked = ["OperatorVelm.exe", "version.json", "platforms\\qwindows.dll", "Qt6Core.dll"]

    def writable():
        return [each for each in marked if os.stat(folder / each).st_mode & 0o222]

    def mark_read_only():
        for each in marked:
            folder.cmd("attrib +r " + each)
        check(not writable(), "attrib +r left writable: %s" % writable())

    folder.install()
    folder.saved_installer()
    mark_read_only()
    # A sub-folder of root's lets every file be staged and checked, but not
    # renamed into it: what was switched before it goes back.
    os.chown(folder / "platforms", 0, 0)
    folder.update(2)
    check(not folder.differences(1) and not folder.stages() and not writable(), "when a rename failed, the update left: %s %s; writable: %s" % (folder.differences(1), folder.stages(), writable()))
    check(registry("DisplayVersion", folder) == "1" and shortcut_works_in(folder), "when a rename failed, the entry or the shortcut changed")
    os.chown(folder / "platforms", user.pw_uid, user.pw_gid)
    step("18. as %s, an update whose rename into a folder of root's failed moved back the files it had switched and exited with 2: the folder release 1's byte for byte, %s still read-only, entry and shortcut release 1's; the log ends: %s" % (name, ", ".join(marked), folder.log()[-1]))
    folder.update(0)
    check(not folder.differences(2), "with %s read-only, the update left: %s" % (marked, folder.differences(2)))
    # A file the operator may not change at all is not taken for an open one.
    os.chown(folder / "libgcc_s_seh-1.dll", 0, 0)
    folder.update(2)
    check(not folder.differences(2) and not folder.stages(), "with a file of root's, the update changed the folder")
    os.chown(folder / "libgcc_s_seh-1.dll", user.pw_uid, user.pw_gid)
    mark_read_only()
    code = folder.cmd("uninstall.exe /S _?=" + folder.windows)
    left = [each for each in marked if os.path.exists(folder / each)]
    check(code == 0 and not left, "the uninstaller exited with %d and left %s" % (code, left))
    end_wine(user, **env)
    step("18. as %s, with %s read-only, the silent update exited with 0 with release 2 whole, and the uninstaller removed them; a file of root's, which %s may not write, stopped the update with 2 and changed nothing" % (name, ", ".join(marked), name))


def two_installers_at_once():
    # Release 2's installer run silently twice from tmp\, as a double
    # double-click does, the second started at delays that fall into the
    # first's staging and switch: one at a time works on the folder. Two
    # folders, each updated from its own tmp\ at the same time, are both
    # updated whole.
    one, other, files = Folder("C:\\Оператор 1"), Folder("C:\\Оператор 2"), release_files()
    for delay, second in [(0, other), (0.3, other)] + [(delay, one) for delay in (0, 0.5, 1, 1.5, 2, 2.5, 3)]:
        folders = [one] if second is one else [one, other]
        for folder in folders:
            folder.install()
            folder.saved_installer()
        first = start(["wine", "cmd", "/c", SETUP2 + " /S"], one.tmp)
        time.sleep(delay)
        later = start(["wine", "cmd", "/c", SETUP2 + " /S"], second.tmp)
        codes = [process.returncode if ended(process, 300) else None for process in (first, later)]
        run(["wineserver", "-w"], timeout=120)
        when = "with the second installer (%s) %.1f s after the first (exit codes %s)" % (second.windows, delay, codes)
        for folder in folders:
            whole(folder, files, when)
        left = [folder.differences(2) or folder.stages() for folder in folders]
        allowed = ([0, 0], [0, 4]) if second is one else ([0, 0],)
        check(sorted(codes, key=str) in allowed and not any(left), "%s, the folders hold %s" % (when, left))
        step("21. two silent installers, in %s and %s, %.1f s apart exited with %s and %s; every file whole, the folder release 2's, no stage left" % (one.windows, second.windows, delay, codes[0], codes[1]))
    step("21. the log ends: %s" % " | ".join(one.log()[-4:]))


def older_installer_is_refused():
    folder = Folder("C:\\Выпуск 2")
    folder.install(2)
    os.makedirs(folder.tmp)
    shutil.copy(os.path.join(RELEASES, "1", SETUP1), folder.tmp)
    version = folder / "version.json"
    # As the build writes it; compact; after another key over several lines; past 32 bits; not readable.
    for spelling, expected in ((open(version).read(), 5), ('{"Version":2}', 5), ('{"URL": "",\r\n "Version"\r\n: 2\r\n}', 5),
                               ('{"Version": 4294967297}', 2), (None, 2)):
        os.remove(version)
        if spelling is None:
            os.mkdir(version)
        else:
            pathlib.Path(version).write_text(spelling, newline="")
        folder.update(expected, SETUP1)
        kept = os.path.isdir(version) if spelling is None else open(version, newline="").read() == spelling
        others = [line for line in folder.differences(2).splitlines() if "version.json" not in line]
        check(kept and not others and registry("DisplayVersion") == "2" and (expected == 5 or "version.json" in folder.log()[-1]), "over version.json %r, release 1's installer changed the folder: %s; the log ends: %s" % (spelling, others, folder.log()[-1]))
        step("22. over release 2 with version.json %r, release 1's installer from tmp\\ exited with %d and changed nothing; the log ends: %s" % (spelling, expected, folder.log()[-1]))
    os.rmdir(version)
    shutil.copy(os.path.join(unpacked(2), "version.json"), version)
    code = folder.cmd("%s /S /D=%s" % (SETUP1, folder.windows), os.path.join(RELEASES, "1"))
    check(code == 5 and not folder.differences(2), "release 1's installer from another folder exited with %d over release 2's folder and left: %s" % (code, folder.differences(2)))
    step("22. over release 2, release 1's installer exited with 5 from tmp\\ and with 5 from another folder; the folder is release 2's byte for byte; the log says: %s" % folder.log()[-1])
    folder.saved_installer()
    folder.update(0)
    check(not folder.differences(2) and os.listdir(folder.tmp) == [SETUP2], "release 2's installer over itself left %s in tmp\\: %s" % (os.listdir(folder.tmp), folder.differences(2)))
    step("22. release 2's installer over release 2 (a repair) exited with 0 and removed release 1's installer from tmp\\, keeping its own")


def plugins_come_from_the_folder_only():
    # Release 2's folder in C:\Velm, with an import library in C:\lib
    # (which makes Qt take C:\ for its prefix) and copies of the folder's
    # plugins under other names in C:\plugins\, named by QT_PLUGIN_PATH and
    # QT_QPA_PLATFORM_PLUGIN_PATH as well: neither program loads a DLL from
    # C:\plugins\, and each loads its folder's own (Wine's +loaddll).
    folder, drive = Folder("C:\\Velm"), os.path.join(PREFIX, "drive_c")
    shutil.rmtree(folder.path, ignore_errors=True)
    shutil.copytree(unpacked(2), folder.path)
    plugins = ["platforms\\qwindows.dll", "styles\\qmodernwindowsstyle.dll", "tls\\qschannelbackend.dll"]
    # Qt looks only at whether the import library is there.
    for planted, plugin in [("lib\\libQt6Core.a", plugins[0])] + [("plugins\\" + p.replace("\\", "\\planted-"), p) for p in plugins]:
        os.makedirs(os.path.dirname(os.path.join(drive, *planted.split("\\"))), exist_ok=True)
        shutil.copy(folder / plugin, os.path.join(drive, *planted.split("\\")))
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        address = json.load(manifest)["URL"]
    steered = dict(WINEQT_PLUGIN_PATH="C:\\plugins", WINEQT_QPA_PLATFORM_PLUGIN_PATH="C:\\plugins\\platforms")
    wrong = []
    for env, how in (({}, "the prefix C:\\ alone"), (steered, "QT_PLUGIN_PATH and QT_QPA_PLATFORM_PLUGIN_PATH too")):
        for program in ("OperatorVelm.exe", "Updater.exe"):
            trace = os.path.join(RUN, "loaddll-%s-%d.log" % (program, len(env)))
            with open(trace, "w") as log:
                if program == "OperatorVelm.exe":
                    velm, window = start_operatorvelm("C:\\Velm's", folder, log, True, WINEDEBUG="+loaddll", **env)
                    press(window, "alt+F4")
                    check(ended(velm, 20), "OperatorVelm.exe did not end when its window was closed")
                else:
                    shutil.rmtree(folder.tmp, ignore_errors=True)
                    start(["wine", program, "--url=" + address], folder.path, log, WINEDEBUG="+loaddll", **env)
                    box = new_window("^Download Complete$", 60)
                    check(box, "Updater.exe in C:\\Velm showed no \"Download Complete\" box")
                    close_box(box)
            with open(trace, encoding="utf-8", errors="replace") as log:
                loaded = {path.replace("\\\\", "\\") for path in re.findall(r'Loaded L"([^"]+)"', log.read())}
            planted = sorted(path for path in loaded if path.lower().startswith("c:\\plugins\\"))
            own = sorted(path for path in loaded if path.lower().startswith("c:\\velm\\") and "\\" in path[8:])
            wrong += [program] if planted or len(own) != len(plugins) else []
            step("23. with %s, %s loaded from C:\\plugins\\ %s, and from its folder %s" % (how, program, ", ".join(planted) or "nothing", ", ".join(own)))
    check(not wrong, "%s loaded a planted plugin, or not their folder's own" % wrong)
    for planted in ("lib", "plugins"):
        shutil.rmtree(os.path.join(drive, planted))


def sign(manifest, key):
    # The manifest signed with that key alone, as release.sh signs.
    with open(os.path.join(RUN, "signed"), "w", newline="") as message:
        message.write("%d\n%s" % (manifest["Version"], manifest["URL"]))
    signature = subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", message.name],
                               check=True, capture_output=True).stdout
    return dict(manifest, Signature=base64.b64encode(signature).decode())


def a_new_key_alone_is_trusted_by_release_2_only():
    # Release 2 carries the old and the new public key and is signed with
    # both (release 1 offered it in update_from_release_1_to_2); a manifest
    # signed with the new key alone is offered by release 2, not by release 1.
    with open(os.path.join(SERVED, "Version.json")) as manifest:
        signed = json.load(manifest)
    check(isinstance(signed.get("Signature"), list) and len(signed["Signature"]) == 2, "release 2's manifest does not carry two signatures: %s" % signed)
    newer = sign(dict(signed, Version=3), os.path.join(OUT, "lifecycle", "new-signing-key.pem"))
    with open(os.path.join(SERVED, "Version.json"), "w") as out:
        json.dump(newer, out)
    release_2, release_1 = Folder("C:\\Выпуск 2"), Folder("C:\\Выпуск 1")
    release_2.install(2)
    close_box(offers_update("release 2's", release_2))
    release_1.install(1)
    not_offered(release_1, "a manifest signed with the new key alone", newer, "does not match",
                "screenshot-new-key-release-1.png")
    step("19. release 2, built with the old and the new key, offered release 3 signed with the new key alone; release 1, which knows only the old key, did not")


def releases_are_reproducible_and_signed():
    # Release 2 rebuilt from two fresh clones is the same bytes; release 1
    # (another commit) differs from it only where the code did; release 2's
    # Authenticode signatures verify, and without them its programs are the
    # rebuilt, unsigned ones.
    rebuilt = [os.path.join(OUT, "rebuild", clone, "build-windows", "release", "2") for clone in "ab"]
    names = sorted(os.listdir(rebuilt[0]))
    check(names == ["OperatorVelm-2-setup.exe", "OperatorVelm-2.zip", "Version.json", "build-info.txt"],
          "the rebuild holds %s" % names)
    differ = [name for name in names if not same(*(os.path.join(folder, name) for folder in rebuilt))]
    check(not differ, "two rebuilds of one commit differ in %s" % differ)
    with open(os.path.join(OUT, "rebuild", "commit")) as written:  # by windows-check.sh, where git is
        commit = written.read().strip()
    with open(os.path.join(rebuilt[0], "build-info.txt")) as info:
        lines = info.read().splitlines()
    check("commit: " + commit in lines and "Version.json: signed with 2 key(s)" in lines
          and "%s  %s" % (digest(os.path.join(rebuilt[0], SETUP2)), SETUP2) in lines,
          "the build info does not name the commit %s, both keys and the installer: %s" % (commit, lines))
    step("20. both rebuilds' build info is the same and names the commit:\n  " + "\n  ".join(lines))
    step("20. release 2 rebuilt from two fresh clones, at two times: installer, zip and Version.json are the same"
         " bytes; the installer's SHA-256 is %s" % digest(os.path.join(rebuilt[0], SETUP2)))
    diff = subprocess.run(["diff", "-r", "-q", unpacked(1), unpacked(2)], capture_output=True, text=True).stdout
    changed = sorted(os.path.relpath(line.split()[1], unpacked(1)) for line in diff.splitlines())
    check(changed == ["OperatorVelm.exe", "Updater.exe", "version.json"], "release 1 and 2 differ in %s" % changed)
    step("20. release 1 (another commit) and release 2 differ only in " + ", ".join(changed))
    folder = Folder("C:\\Подписанный выпуск")
    folder.install(2)
    ca = os.path.join(OUT, "lifecycle", "authenticode", "ca.pem")
    signed = [os.path.join(unpacked(2), "OperatorVelm.exe"), os.path.join(unpacked(2), "Updater.exe"),
              folder / "uninstall.exe", os.path.join(RELEASES, "2", SETUP2)]
    for path in signed:
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca, "-in", path],
                                  capture_output=True, text=True)
        check(verified.returncode == 0 and "Timestamp Server Signature verification: ok" in verified.stdout,
              "the signature of %s fails or carries no time stamp: %s" % (path, verified.stdout[-800:]))
    with zipfile.ZipFile(os.path.join(rebuilt[0], "OperatorVelm-2.zip")) as archive:
        archive.extractall(os.path.join(RUN, "rebuilt"))
    def unsigned(path):
        # The program's bytes but for what signing sets besides the
        # signature: the PE header's checksum and the zeros that align it.
        with open(path, "rb") as file:
            data = bytearray(file.read())
        header = int.from_bytes(data[60:64], "little")
        data[header + 88:header + 92] = bytes(4)
        return bytes(data).rstrip(b"\0")

    for program in ("OperatorVelm.exe", "Updater.exe"):
        bare = os.path.join(RUN, "bare-" + program)
        run(["osslsigncode", "remove-signature", "-in", os.path.join(unpacked(2), program), "-out", bare])
        check(unsigned(bare) == unsigned(os.path.join(RUN, "rebuilt", "OperatorVelm", program)),
              "%s without its signature is not the unsigned rebuild's" % program)
    step("20. osslsigncode verify passed with the run's CA for OperatorVelm.exe, Updater.exe, uninstall.exe and %s,"
         " each with a time stamp (release 2's key is on a token); without their signatures (and"
         " the checksum and alignment that signing sets) the programs are the unsigned rebuild's; the installer is"
         " %d bytes signed, %d unsigned; its verify said:\n  %s" % (SETUP2, os.path.getsize(signed[3]),
         os.path.getsize(os.path.join(rebuilt[0], SETUP2)), "\n  ".join(line.strip() for line in verified.stdout
         .splitlines() if "Subject: /CN=OperatorVelm" in line or "time:" in line or "verification: ok" in line)))


def main():
    global LOG, PORT
    shutil.rmtree(RUN, ignore_errors=True)
    os.makedirs(RUN)
    LOG = open(os.path.join(RUN, "wine.log"), "w")
    check(os.environ.get("DISPLAY"), "no X display: run the tests under xvfb-run")
    end_wine()
    PORT = serve()
    globals()[SCENARIO]()


if __name__ == "__main__":
    main()
