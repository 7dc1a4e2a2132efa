"""The workspace file manager's window on the Linux desktop (GTK 3).

Open, dropped on a workspace archive from the desktop (no terminal, a
display), starts the file manager, which shows its window. The tests run on
a display of their own (Xvfb) with a session bus for the accessibility
interface, through which a helper (gtk_window_helper.py, run by the
system's Python) reads the window's list, status line and buttons. The
buttons are pressed, rows clicked, file choosers filled in and files
dragged onto the window with xdotool, as a user's keyboard and mouse would.
What counts is what the archive then holds, what stands on disk, and what
the window shows. A failed test leaves a screenshot of the display and
names it in its output.
"""
import io
import json
import os
import re
import shutil
import signal
import subprocess
import tarfile
import time
import unittest

import formatcodec
from test_desktop import start_xvfb
from velkin_e2e import NATIVE_BUILD, DriveTestCase, read_bytes, write_bytes
from workspace_e2e import MARKER, SUFFIX, run_sibling

SYSTEM_PYTHON = "/usr/bin/python3"
HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gtk_window_helper.py")
XDOTOOL = shutil.which("xdotool")
SCREENSHOTS = os.path.join(NATIVE_BUILD or ".", "test-screenshots")
GTK_STUB = os.path.join(NATIVE_BUILD or ".", "tests", "desktop", "gtk-stub")

ADD_TITLE = "Add files to the workspace (they are encrypted, the originals erased)"
EXTRACT_TITLE = "Extract '%s' into which folder? It is decrypted there."


def missing_requirements():
    missing = [tool for tool in ("Xvfb", "xdotool", "dbus-daemon") if not shutil.which(tool)]
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import gi; gi.require_version('Gtk', '3.0'); "
                            "gi.require_version('Atspi', '2.0'); from gi.repository import Gtk, Atspi"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) \
        if os.path.exists(SYSTEM_PYTHON) else None
    if probe is None or probe.returncode != 0:
        missing.append("PyGObject with GTK 3 and Atspi")
    return missing


def archive_members(archive):
    with tarfile.open(archive) as t:
        return {m.name: (t.extractfile(m).read() if m.isfile() else None, m.mtime) for m in t.getmembers()}


class WorkspaceWindowTest(DriveTestCase):
    runner_name = "native"
    drive_size = "1M"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        missing = missing_requirements()
        if missing:
            raise unittest.SkipTest("needs " + ", ".join(missing))
        cls.xvfb, cls.display = start_xvfb()
        # A session bus of its own: the accessibility interface's bus is
        # started on it when the first program asks for it.
        cls.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        cls.bus_address = cls.bus.stdout.readline().strip()

    @classmethod
    def tearDownClass(cls):
        cls.bus.kill()
        cls.bus.wait()
        cls.xvfb.kill()
        cls.xvfb.wait()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.process = None
        self.home = os.path.join(self.tmp, "home")
        self.tools = os.path.join(self.tmp, "tools")
        os.makedirs(self.home)
        os.makedirs(self.tools)
        # A dialog tool that shows nothing: a box of the program stays on
        # its standard error and cannot hold a test up.
        self.tool("zenity", "exit 255\n")
        self.addCleanup(self.stop_window)
        self.addCleanup(self.screenshot_if_failed)   # runs first: the window is still there

    # ---- the setting
    def tool(self, name, body):
        path = os.path.join(self.tools, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path

    def desktop_env(self, **extra):
        env = {"DISPLAY": self.display, "DBUS_SESSION_BUS_ADDRESS": self.bus_address, "HOME": self.home,
               "PATH": self.tools + os.pathsep + "/usr/bin:/bin", "XDG_DATA_HOME": os.path.join(self.home, "data"),
               "XDG_CONFIG_HOME": os.path.join(self.home, "config"), "XDG_CACHE_HOME": os.path.join(self.home, "cache"),
               "NO_AT_BRIDGE": None, "LANG": "C.UTF-8"}
        env.update(extra)
        return env

    def make_workspace(self, files, name="w"):
        """A workspace archive of the drive's key holding files ({name: bytes}),
        made as the conversion makes it: encrypted in place under their own
        names, then packed by the archive tool."""
        folder = os.path.join(self.work, name)
        for rel, data in list(files.items()) + [(MARKER, b"")]:
            os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
            write_bytes(os.path.join(folder, rel), data)
        opener = {"VKLIB_OPENER": self.runner.program(self.drive, "Open")}
        result = self.runner.run(self.drive, "Encrypt", [folder], env=opener)
        self.assertEqual(result.code, 0, result)
        archive = folder + SUFFIX
        result = run_sibling(self.runner, self.drive, "bkgui", ["u", "-ttar", archive, folder + "/*"], env=opener)
        self.assertEqual(result.code, 0, result)
        shutil.rmtree(folder)
        return archive

    @staticmethod
    def add_member(archive, name, data):
        """Writes the archive anew with one more member, in the order of the names' bytes."""
        with tarfile.open(archive) as t:
            members = [(m, t.extractfile(m).read() if m.isfile() else None) for m in t.getmembers()]
        extra = tarfile.TarInfo(name)
        extra.size, extra.mtime = len(data), int(time.time())
        members.append((extra, data))
        members.sort(key=lambda m: (m[0].name != MARKER, m[0].name.encode()))
        with tarfile.open(archive, "w", format=tarfile.PAX_FORMAT) as t:
            for member, content in members:
                t.addfile(member, io.BytesIO(content) if content is not None else None)

    def plaintexts(self, archive):
        """{member name: plaintext} of the archive's files, decrypted with the test's own codec."""
        store = formatcodec.KeyStore(self.drive)
        return {name: formatcodec.read_encrypted(store, data).plaintext
                for name, (data, _) in archive_members(archive).items() if data is not None and name != MARKER}

    # ---- the window
    def open_window(self, archive, **env):
        """Open on the archive, from the desktop: the file manager's window."""
        self.title = os.path.basename(archive)
        # A session of its own: the file manager it starts ends with it.
        self.process = subprocess.Popen([self.runner.program(self.drive, "Open"), archive],
                                        env=self.runner.env(self.drive, self.desktop_env(**env)),
                                        start_new_session=True, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, errors="replace")
        self.window = self.wait_window(self.title, process=self.process)
        self.wait_state(lambda s: s["rows"] is not None, "the window's list")

    def stop_window(self):
        if self.process:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.communicate()

    def xdotool(self, *args):
        return subprocess.run([XDOTOOL, *map(str, args)], env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=30).stdout

    def windows(self, title):
        """The visible windows of that whole title, the largest first (the
        toolkit keeps small helper windows of the program's name)."""
        found = []
        for window in self.xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(title)).split():
            geometry = dict(line.split("=", 1) for line in
                            self.xdotool("getwindowgeometry", "--shell", window).split() if "=" in line)
            found.append((int(geometry.get("WIDTH", 0)) * int(geometry.get("HEIGHT", 0)), window))
        return [window for area, window in sorted(found, reverse=True) if area > 100]

    def wait_window(self, title, process=None, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.windows(title)
            if found:
                return found[0]
            if process is not None and process.poll() is not None:
                _, err = process.communicate()
                self.fail("the program ended (code %s) without a window %r: %s" % (process.returncode, title, err))
            time.sleep(0.2)
        self.fail("no window titled %r within %d s" % (title, timeout))

    def state(self):
        done = subprocess.run([SYSTEM_PYTHON, HELPER, "state", self.title],
                              env=dict(os.environ, DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS=self.bus_address),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=60)
        return json.loads(done.stdout) if done.returncode == 0 else None

    def wait_state(self, condition, what, timeout=120):
        deadline = time.time() + timeout
        while True:
            shown = self.state()
            if shown is not None and condition(shown):
                return shown
            if time.time() > deadline:
                self.fail("the window did not show %s within %d s; it shows %r" % (what, timeout, shown))
            time.sleep(0.3)

    def wait_done(self, status):
        """Waits until the window takes actions again, with that status line."""
        return self.wait_state(lambda s: s["status"] == status and all(s["buttons"].values()) and s["list_enabled"],
                               "the status %r with every button enabled" % status)

    def names(self):
        return [row[0] for row in self.state()["rows"]]

    def press(self, keys, window=None):
        self.xdotool("windowfocus", "--sync", window or self.window)
        self.xdotool("key", "--clearmodifiers", *keys.split())

    def click_row(self, name):
        shown = self.state()
        names = [row[0] for row in shown["rows"]]
        self.assertIn(name, names)
        x, y = shown["centres"][names.index(name)]
        self.xdotool("mousemove", x, y, "click", "1")
        self.wait_state(lambda s: s["selected"] == name, "%r selected" % name)

    def choose(self, title, path):
        """Types a path into a file chooser and takes it."""
        chooser = self.wait_window(title)
        self.press("ctrl+l", chooser)
        self.xdotool("type", "--delay", "20", path)
        time.sleep(0.3)
        self.press("Return", chooser)

    def answer_box(self, keys):
        self.press(keys, self.wait_window("bkfm"))

    def close_window(self):
        self.press("alt+c")
        out, err = self.process.communicate(timeout=60)
        self.assertEqual(self.process.returncode, 0, err)
        self.assertEqual(self.windows(self.title), [])
        return err

    def screenshot_if_failed(self):
        result = self._outcome.result
        if not any(test is self for test, _ in result.failures + result.errors):
            return
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, self.id().rsplit(".", 1)[-1] + ".png")
        shot = subprocess.run(["import", "-window", "root", path], env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) \
            if shutil.which("import") else None
        if shot is not None and shot.returncode == 0:
            print("\n[screenshot of the display at the failure: %s]" % path)
        else:
            print("\n[no screenshot: %s]" % (shot.stderr.strip() if shot else "imagemagick's import is missing"))

    # ---- the tests
    def test_list_and_buttons(self):
        files = {"a.txt": b"alpha", "sub/b.txt": b"bravo" * 100}
        archive = self.make_workspace(files)
        # A name that no program here would write, as a hostile archive
        # holds it: it must not clear the screen or forge a row.
        hostile = "notes\x1b[2J\n[1] forged row.txt"
        self.add_member(archive, hostile, archive_members(archive)["a.txt"][0])
        self.open_window(archive)

        # The list: names as they are, control characters escaped; folders
        # with a trailing '/'; the date of the last change in local time.
        members = archive_members(archive)
        shown = self.state()
        self.assertEqual([row[0] for row in shown["rows"]],
                         ["a.txt", "notes\\x1B[2J\\x0A[1] forged row.txt", "sub/", "sub/b.txt"])
        for row, name in zip(shown["rows"], ["a.txt", hostile, "sub", "sub/b.txt"]):
            self.assertEqual(row[2], time.strftime("%Y-%m-%d %H:%M", time.localtime(members[name][1])))
            plaintext = files.get(name, files["a.txt"] if name == hostile else None)   # a copy of a.txt
            self.assertEqual(row[1], "" if plaintext is None else str(len(plaintext)))   # the plaintext's size
        self.assertEqual(shown["selected"], "a.txt")
        self.assertEqual(shown["status"], "Files dropped on this window are encrypted and added.")
        self.assertEqual(sorted(shown["buttons"]), sorted(["Open", "Add\u2026", "Extract\u2026", "Remove", "Close"]))

        # Add...: the file chooser's file is encrypted, its plaintext erased,
        # and the window lists it.
        added = os.path.join(self.work, "added.txt")
        write_bytes(added, b"added through the chooser")
        self.press("alt+a")
        self.choose(ADD_TITLE, added)
        self.wait_done("'added.txt' was added to the workspace")
        self.assertFalse(os.path.exists(added))
        self.assertEqual(self.plaintexts(archive)["added.txt"], b"added through the chooser")
        self.assertIn("added.txt", self.names())
        # Nothing of it reaches the desktop's list of recent files.
        for folder, _, names in os.walk(self.home):
            for name in names:
                self.assertNotIn(b"added.txt", read_bytes(os.path.join(folder, name)), name)

        # Extract...: the selected file, decrypted into the chosen folder.
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        self.click_row("sub/")
        self.press("alt+x")
        self.choose(EXTRACT_TITLE % "sub", out + "/")
        self.wait_done("'sub' was extracted to '%s'" % os.path.join(out, "sub"))
        self.assertEqual(read_bytes(os.path.join(out, "sub", "b.txt")), b"bravo" * 100)
        # A failure is a warning box over the window and stays in the status
        # line. (A folder chooser lists only folders: the file in the way
        # does not take the chooser's Return for itself.)
        taken = os.path.join(self.work, "taken")
        os.makedirs(taken)
        write_bytes(os.path.join(taken, "sub"), b"in the way")
        self.press("alt+x")
        self.choose(EXTRACT_TITLE % "sub", taken + "/")
        self.answer_box("Return")
        status = self.wait_state(lambda s: all(s["buttons"].values()), "the buttons enabled")["status"]
        self.assertEqual(status, "'%s' exists already; nothing was extracted" % os.path.join(taken, "sub"))
        self.assertEqual(read_bytes(os.path.join(taken, "sub")), b"in the way")

        # Remove: asked first, No the default.
        self.click_row("a.txt")
        for keys, removed in (("Return", False), ("alt+y", True)):
            with self.subTest(answer=keys):
                self.press("alt+r")
                self.answer_box(keys)
                if removed:
                    self.wait_done("'a.txt' was removed from the workspace")
                time.sleep(0.5)
                self.assertEqual("a.txt" in archive_members(archive), not removed)
                self.assertEqual("a.txt" in self.names(), not removed)

        self.close_window()

    def test_files_dropped_on_the_window_are_added(self):
        archive = self.make_workspace({"a.txt": b"alpha"})
        self.open_window(archive)
        dropped = {"first.txt": b"dropped one", "second file.txt": b"dropped two"}
        for name, data in dropped.items():
            write_bytes(os.path.join(self.work, name), data)
        drag = subprocess.run([SYSTEM_PYTHON, HELPER, "drag", self.title] +
                              [os.path.join(self.work, name) for name in dropped],
                              env=dict(os.environ, DISPLAY=self.display), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=120)
        self.assertEqual(drag.returncode, 0, drag.stderr)
        self.wait_done("'first.txt' was added to the workspace\n'second file.txt' was added to the workspace")
        plaintexts = self.plaintexts(archive)
        for name, data in dropped.items():
            self.assertEqual(plaintexts[name], data)
            self.assertFalse(os.path.exists(os.path.join(self.work, name)))
        self.assertEqual(self.names(), ["a.txt", "first.txt", "second file.txt"])
        self.close_window()

    def test_open_a_file_and_its_change_is_saved(self):
        """Open has the program open the file with the desktop's application
        for its type; while it is open the window takes no action."""
        archive = self.make_workspace({"notes.txt": b"text"})
        application = self.tool("application.sh", 'sleep 4\nprintf " changed" >> "$1"\n')
        data = os.path.join(self.home, "data")
        os.makedirs(os.path.join(data, "applications"))
        with open(os.path.join(data, "applications", "velkin-test.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Test editor\nExec=%s %%f\nMimeType=text/plain;\n"
                    % application)
        os.makedirs(os.path.join(self.home, "config"))
        with open(os.path.join(self.home, "config", "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\ntext/plain=velkin-test.desktop\n")
        self.open_window(archive)
        self.press("alt+o")
        busy = self.wait_state(lambda s: s["status"] == "Opening 'notes.txt'...", "the file being opened")
        self.assertEqual((set(busy["buttons"].values()), busy["list_enabled"]), ({False}, False))
        self.wait_done("'notes.txt' was changed and is saved in the workspace")
        self.assertEqual(self.plaintexts(archive)["notes.txt"], b"text changed")
        self.assertEqual(os.listdir(os.path.join(self.drive, "TEMP")), [])
        self.close_window()

    def test_terminal_serves_where_no_window_can_be_shown(self):
        archive = self.make_workspace({"inside.txt": b"i"})
        empty = os.path.join(self.tmp, "no-gtk")
        os.makedirs(empty)
        write_bytes(os.path.join(empty, "libgtk-3.so.0"), b"")
        cases = [
            ("GTK missing", {"LD_LIBRARY_PATH": empty}, "GTK 3 could not be loaded"),
            ("GTK incomplete", {"LD_LIBRARY_PATH": GTK_STUB}, "the GTK 3 library found lacks gtk_main"),
            ("no display", {"DISPLAY": ":%d" % (1000 + os.getpid() % 1000)}, "GTK 3 cannot open the display"),
        ]
        # The desktop's terminal program: runs the file manager with "l" and
        # "q" typed, its output on this one's standard output.
        self.tool("x-terminal-emulator", 'shift\nprintf "l\\nq\\n" | "$@"\n')
        for name, env, reason in cases:
            with self.subTest(name):
                full_env = self.runner.env(self.drive, self.desktop_env(
                    PATH=self.tools + ":/bin", VKLIB_OPENER=self.runner.program(self.drive, "Open"), **env))
                done = subprocess.run([os.path.join(self.drive, "SETTINGS", "bkfm"), archive],
                                      stdin=subprocess.DEVNULL, env=full_env, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("bkfm: no window: %s" % reason, done.stderr)
                self.assertIn("inside.txt", done.stdout)


if __name__ == "__main__":
    unittest.main()
