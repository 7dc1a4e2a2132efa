"""End-to-end harness: runs the real program as a whole process.

Two runners share one interface:
- NativeRunner starts the Linux build; its message boxes arrive on standard
  error as lines "[kind] caption: text".
- WineRunner starts the Windows build under Wine (Xvfb display and private
  prefix from the environment) and reads and answers its message boxes with
  the test-only helper boxhelper.exe.

Environment: VELKIN_NATIVE_BUILD (native build folder, always needed: its
key drive tool lays out the drives), VELKIN_WIN_BUILD (the Windows build
folder; Wine tests are skipped without it).
"""
import atexit
import itertools
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

NATIVE_BUILD = os.environ.get("VELKIN_NATIVE_BUILD", "")
WIN_BUILD = os.environ.get("VELKIN_WIN_BUILD", "")
WINE = os.environ.get("VELKIN_WINE", "/usr/lib/wine/wine64")
# Each build's test run takes its own runner; both run when unset.
ONLY = os.environ.get("VELKIN_E2E_ONLY", "")
COMMANDS = ("Decrypt", "Encrypt", "Open", "Status")


class Box:
    def __init__(self, kind, caption, text):
        self.kind, self.caption, self.text = kind, caption, text

    def __repr__(self):
        return "Box(%r, %r, %r)" % (self.kind, self.caption, self.text)


class Result:
    def __init__(self, code, boxes, stderr=""):
        self.code, self.boxes, self.stderr = code, boxes, stderr

    def __repr__(self):
        return "Result(code=%r, boxes=%r)" % (self.code, self.boxes)


def parse_native_boxes(stderr):
    """Boxes from the native build's standard error; a text may span lines."""
    boxes = []
    for line in stderr.splitlines():
        if line.startswith("[") and "] " in line and ": " in line:
            kind, rest = line[1:].split("] ", 1)
            if kind in ("information", "warning", "question"):
                caption, text = rest.split(": ", 1)
                boxes.append(Box(kind, caption, text))
                continue
        if boxes and not line.startswith(("(no terminal", "(answered")):
            boxes[-1].text += "\n" + line
    return boxes


def merge_env(base, extra):
    """base with the entries of extra; an entry whose value is None is removed."""
    merged = dict(base)
    for name, value in (extra or {}).items():
        if value is None:
            merged.pop(name, None)
        else:
            merged[name] = value
    return merged


def keydrive_tool():
    return os.path.join(NATIVE_BUILD, "velkin-keydrive")


def make_drive(folder, size="256K", windows=False):
    """Lays out a key drive in folder; for Windows copies the Windows build's
    Decrypt.exe, Encrypt.exe, Open.exe and Status.exe."""
    subprocess.run([keydrive_tool(), "make", folder, "--size", size,
                    "--program", os.path.join(NATIVE_BUILD, "velkin")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if windows:
        # The drop targets as they ship: the program under each name, with its own icon.
        for name in COMMANDS:
            shipped = os.path.join(WIN_BUILD, name + ".exe")
            if not os.path.exists(shipped):
                shipped = os.path.join(WIN_BUILD, "velkin.exe")
            shutil.copy(shipped, os.path.join(folder, name + ".exe"))
        # The Secure Workspace's siblings for the Windows copies.
        for sibling in ("bkgui.exe", "bkfm.exe"):
            if os.path.exists(os.path.join(WIN_BUILD, sibling)):
                shutil.copy(os.path.join(WIN_BUILD, sibling), os.path.join(folder, "SETTINGS", sibling))
    return folder


def size_text(nbytes, round_up=False):
    """An amount of bytes as the program shows it to a user: bytes below
    1 KB, else KB, MB, GB or TB (powers of 1024) with one decimal, the last
    decimal rounded down (or up)."""
    if nbytes < 1024:
        return "%d byte%s" % (nbytes, "" if nbytes == 1 else "s")
    units, unit, per = ("KB", "MB", "GB", "TB"), 0, 1024
    while unit + 1 < len(units) and nbytes // per >= 1024:
        per, unit = per * 1024, unit + 1
    tenths = -(-nbytes * 10 // per) if round_up else nbytes * 10 // per
    if tenths >= 10240 and unit + 1 < len(units):
        per, unit = per * 1024, unit + 1
        tenths = -(-nbytes * 10 // per) if round_up else nbytes * 10 // per
    return "%d.%d %s" % (tenths // 10, tenths % 10, units[unit])


def exhausted(needed, left):
    """The program's text for a key too short for what it was asked to encrypt."""
    have = ("but this key drive has only %s left" % size_text(left)) if left else \
        "and this key drive has none left"
    return ("key exhausted: this needs %s of key, %s. Make a new key drive for new files; this one still "
            "decrypts every file made with it" % (size_text(needed, True), have))


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_status(drive):
    with open(os.path.join(drive, "SETTINGS", "STATUS.DAT"), "rb") as f:
        data = f.read()
    return struct.unpack("<III", data[:12])


def temp_name_pattern(target):
    """A regular expression for a temporary output of target: its name, a
    dot, eight random hexadecimal digits and ".tmp"."""
    return re.escape(target) + r"\.[0-9a-f]{8}\.tmp"


def read_log(drive):
    path = os.path.join(drive, "LOG", "log.txt")
    if not os.path.exists(path):
        return None
    return read_bytes(path).decode("utf-8")


def tree_contents(root):
    """{relative path: bytes} of every file below root."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


class NativeRunner:
    name = "native"
    sep = "/"

    def available(self):
        return (ONLY in ("", "native") and bool(NATIVE_BUILD)
                and os.path.exists(os.path.join(NATIVE_BUILD, "velkin")))

    def program(self, drive, command):
        return os.path.join(drive, command)

    def path(self, unix_path):
        return unix_path

    def env(self, drive, extra=None):
        full_env = dict(os.environ)
        # Instances of one test share their single-instance locks, and only
        # them; the program takes only a folder closed to others.
        lock_folder = os.path.join(os.path.dirname(drive), "locks")
        os.makedirs(lock_folder, mode=0o700, exist_ok=True)
        full_env["XDG_RUNTIME_DIR"] = lock_folder
        # Boxes stay lines on standard error unless a test asks for the
        # desktop's dialogs (the test run's own display is for Wine).
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            full_env.pop(name, None)
        return merge_env(full_env, extra)

    def start(self, drive, command, args, env=None, cwd=None):
        return subprocess.Popen([self.program(drive, command)] + list(args), env=self.env(drive, env),
                                cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, encoding="utf-8", errors="replace")

    def finish(self, process, caption, answers=None, timeout=300):
        out, err = process.communicate(timeout=timeout)
        return Result(process.returncode, parse_native_boxes(err), err)

    def run(self, drive, command, args=(), env=None, answers=None, timeout=300, cwd=None):
        return self.finish(self.start(drive, command, args, env, cwd), command, answers, timeout)


class WineRunner:
    name = "wine"
    sep = "\\"

    def available(self):
        return (ONLY in ("", "wine") and bool(WIN_BUILD) and bool(NATIVE_BUILD)
                and os.path.exists(os.path.join(WIN_BUILD, "velkin.exe"))
                and os.path.exists(self.helper()) and os.path.exists(WINE)
                and bool(os.environ.get("WINEPREFIX")) and bool(os.environ.get("DISPLAY")))

    def helper(self):
        return os.path.join(WIN_BUILD, "tests", "wine", "boxhelper.exe")

    def run_helper(self, *args):
        """Runs the box helper with the arguments; its exit code."""
        return subprocess.run([WINE, self.helper()] + list(args), env=self.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE).returncode

    def open_text_files_with_notepad(self):
        """The prefix names the notepad command for text files but does not
        map the .txt extension to it."""
        subprocess.run([WINE, "reg", "add", "HKCR\\.txt", "/ve", "/d", "txtfile", "/f"],
                       env=self.env(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # The key drive appears to the program as a drive of its own, as a
    # removable drive does on Windows: the key number is read from the root
    # of the program's drive.
    DRIVE_LETTER = "k:"

    def program(self, drive, command):
        link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", self.DRIVE_LETTER)
        if os.path.islink(link) or os.path.exists(link):
            if os.path.realpath(link) != os.path.realpath(drive):
                os.remove(link)
        if not os.path.islink(link):
            os.symlink(os.path.abspath(drive), link)
        return self.DRIVE_LETTER.upper() + "\\" + command + ".exe"

    def path(self, unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def env(self, extra=None):
        full_env = dict(os.environ)
        full_env.setdefault("WINEDEBUG", "-all")
        return merge_env(full_env, extra)

    # Wine's error messages of the latest program started on each drive, in
    # a folder of this test process (never beside the drive, where a test
    # could find them among its files).
    _stderr_folder = None
    _stderr_files = {}
    _stderr_count = itertools.count()

    def stderr_path(self, drive):
        return self._stderr_files.get(os.path.abspath(drive), "")

    def new_stderr_path(self, drive):
        if WineRunner._stderr_folder is None:
            WineRunner._stderr_folder = tempfile.mkdtemp(prefix="velkin-e2e-wine-")
            atexit.register(shutil.rmtree, WineRunner._stderr_folder, True)
        path = os.path.join(WineRunner._stderr_folder, "%d.txt" % next(WineRunner._stderr_count))
        WineRunner._stderr_files[os.path.abspath(drive)] = path
        return path

    def start(self, drive, command, args, env=None, cwd=None):
        # Wine's error channel is kept, so that a run that fails without a
        # box can be explained (see run).
        with open(self.new_stderr_path(drive), "wb") as stderr:
            return subprocess.Popen([WINE, self.program(drive, command)] + list(args),
                                    env=self.env(merge_env({"WINEDEBUG": "-all,err+all"}, env)),
                                    cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=stderr)

    def wait_box(self, caption, press="ok", timeout=2):
        """Waits for one box with the caption; answers it; None when none came."""
        done = subprocess.run([WINE, self.helper(), "wait", "--caption", caption, "--timeout",
                               str(timeout), "--press", press], env=self.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if done.returncode != 0:
            return None
        line = done.stdout.decode("utf-8", "replace").strip().splitlines()[-1]
        info = json.loads(line)
        return Box(info["icon"], info["caption"], info["text"])

    def finish(self, process, caption, answers=None, timeout=300):
        """Answers every box the program shows until it exits. answers: presses in order."""
        answers = list(answers or [])
        boxes = []
        deadline = time.time() + timeout
        while process.poll() is None and time.time() < deadline:
            press = answers[0] if answers else "ok"
            box = self.wait_box(caption, press, timeout=1)
            if box:
                boxes.append(box)
                if answers:
                    answers.pop(0)
        if process.poll() is None:
            process.kill()
            raise AssertionError("program did not end within %s s" % timeout)
        return Result(process.returncode, boxes)

    # Wine itself, now and then, fails to set up a new process before the
    # program is loaded (a fixed address it needs is taken); the program
    # never ran, so it is started again.
    WINE_START_FAILURES = ("failed to map the shared user data",)

    def wine_failed_to_start(self, drive, result):
        if result.code == 0 or result.boxes:
            return False
        path = self.stderr_path(drive)
        errors = read_bytes(path).decode("utf-8", "replace") if os.path.exists(path) else ""
        return any(text in errors for text in self.WINE_START_FAILURES)

    def run(self, drive, command, args=(), env=None, answers=None, timeout=300, cwd=None):
        for attempt in range(3):
            result = self.finish(self.start(drive, command, args, env, cwd), command, answers, timeout)
            if not self.wine_failed_to_start(drive, result):
                break
        if result.code != 0 and not result.boxes:
            # Expected in some tests; shown by the test run only when the test fails.
            describe_silent_failure(drive, command, result, self.stderr_path(drive))
        return result


def describe_silent_failure(drive, command, result, stderr_path):
    """Writes what explains an exit code without a box: the ends of the
    drive's log and of Wine's error messages."""
    def tail(text):
        return "(none)" if not text else text[-2000:]
    wine_errors = None
    if stderr_path and os.path.exists(stderr_path):
        wine_errors = read_bytes(stderr_path).decode("utf-8", "replace")
    sys.stderr.write("\n[%s ended with %s and showed no box]\n-- drive's log:\n%s\n-- Wine's errors:\n%s\n"
                     % (command, result.code, tail(read_log(drive)), tail(wine_errors)))


RUNNERS = {"native": NativeRunner(), "wine": WineRunner()}


class DriveTestCase(unittest.TestCase):
    """A fresh key drive and a work folder per test, for the runner of the subclass."""
    runner_name = "native"
    drive_size = "256K"

    @classmethod
    def setUpClass(cls):
        cls.runner = RUNNERS[cls.runner_name]
        if not cls.runner.available():
            raise unittest.SkipTest("%s build not available" % cls.runner_name)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velkin-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.drive = make_drive(os.path.join(self.tmp, "drive"), self.drive_size,
                                windows=self.runner_name == "wine")
        self.work = os.path.join(self.tmp, "work")
        os.makedirs(self.work)

    def run_command(self, command, *args, **kwargs):
        return self.runner.run(self.drive, command, args, **kwargs)

    def p(self, *parts):
        """A path below the work folder, as the program is given it."""
        return self.runner.path(os.path.join(self.work, *parts))

    def assertBox(self, result, kind, text, code):
        self.assertEqual(result.code, code, result)
        self.assertTrue(result.boxes, "no box shown: %r" % result)
        self.assertEqual((result.boxes[-1].kind, result.boxes[-1].text), (kind, text), result)


class NotepadTestCase(DriveTestCase):
    """The Windows build with Wine's notepad as the application that .txt
    files open with."""
    runner_name = "wine"
    TITLE = "notes.txt - Notepad"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.runner.open_text_files_with_notepad()

    def setUp(self):
        super().setUp()
        # A failed test must not leave a window behind that shows the name.
        self.addCleanup(self.runner.run_helper, "close", "--caption", self.TITLE, "--timeout", "0.5")


def both_builds(cases_class):
    """Makes a native and a Wine test class from one mixin of cases."""
    module_globals = __import__(cases_class.__module__).__dict__
    for name in ("native", "wine"):
        cls = type(cases_class.__name__.replace("Cases", "") + name.capitalize(),
                   (cases_class, DriveTestCase), {"runner_name": name})
        module_globals[cls.__name__] = cls
    return cases_class
