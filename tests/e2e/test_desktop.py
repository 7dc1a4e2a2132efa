"""The Linux build on the desktop: message boxes, questions and the progress
window as dialogs of the desktop's dialog tool.

Each class starts its own virtual display (Xvfb). The dialog tool the
program finds on PATH is a stand-in that records how it was started (and,
for a progress dialog, every line of its input) and then runs the real
zenity, or, for kdialog, which is not installed, exits with a chosen code.
xdotool finds the dialogs by title and presses their keys.
"""
import json
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from velkin_e2e import NATIVE_BUILD, DriveTestCase, parse_native_boxes

REAL_ZENITY = shutil.which("zenity")
REAL_KDIALOG = shutil.which("kdialog")
XDOTOOL = shutil.which("xdotool")
XVFB = shutil.which("Xvfb")
DEMO = os.path.join(NATIVE_BUILD, "tests", "desktop", "desktopdemo")
# The progress dialog is titled with the program's name, as its boxes are.
DEMO_TITLE = "desktopdemo"
# How long the dialog stays after a phase for the next one (the program's
# own figure), and a margin for a busy machine.
LINGER = 2.0

# The stand-in dialog tool. DIALOG_LOG: where it records; DIALOG_REAL: the
# real tool to run; without it the stand-in exits with DIALOG_EXIT.
STAND_IN = r'''#!%s
import json, os, subprocess, sys, time

def record(**entry):
    entry["time"] = time.time()
    entry["tool"] = os.path.basename(sys.argv[0])
    entry["pid"] = os.getpid()
    with open(os.environ["DIALOG_LOG"], "a", encoding="utf-8") as log:
        log.write(json.dumps(entry) + "\n")

record(args=sys.argv[1:])
real = os.environ.get("DIALOG_REAL")
if not real:
    code = int(os.environ.get("DIALOG_EXIT", "0"))
    record(exit=code)
    sys.exit(code)
progress = "--progress" in sys.argv
child = subprocess.Popen([real] + sys.argv[1:], stdin=subprocess.PIPE if progress else subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
if progress:
    for line in sys.stdin.buffer:
        record(line=line.decode("utf-8", "surrogateescape"))
        try:
            child.stdin.write(line)
            child.stdin.flush()
        except BrokenPipeError:
            break
    record(eof=True)
    child.stdin.close()
code = child.wait()
record(exit=code)
sys.exit(code)
''' % sys.executable


def start_xvfb():
    """A private display: (process, ":N")."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen([XVFB, "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.time() + 20
    while not number.endswith(b"\n") and time.time() < deadline:
        ready, _, _ = select.select([read_end], [], [], 0.5)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip():
        server.kill()
        raise unittest.SkipTest("Xvfb did not start")
    return server, ":" + number.decode().strip()


class DesktopTestCase(DriveTestCase):
    """A private display, a folder of stand-in tools and a record of their starts."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        missing = [name for name, path in (("zenity", REAL_ZENITY), ("xdotool", XDOTOOL), ("Xvfb", XVFB))
                   if not path]
        if missing or not os.path.exists(DEMO):
            raise unittest.SkipTest("needs %s and the desktop demo" % (", ".join(missing) or "nothing"))
        cls.xvfb, cls.display = start_xvfb()
        cls.warm_up_toolkit()

    @classmethod
    def warm_up_toolkit(cls):
        """Shows one dialog of the real zenity that closes itself.

        The first toolkit program on a new display or a new machine may spend
        a long time on one-time work (font and icon caches); that belongs to
        neither the program nor a test's wait for its window."""
        env = dict(os.environ, DISPLAY=cls.display)
        env.pop("WAYLAND_DISPLAY", None)
        try:
            subprocess.run([REAL_ZENITY, "--info", "--title=warm-up", "--text=warm-up", "--timeout=1"],
                           env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=180)
        except subprocess.TimeoutExpired:
            pass

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.kill()
        cls.xvfb.wait()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.tools = os.path.join(self.tmp, "tools")
        os.makedirs(self.tools)
        self.log = os.path.join(self.tmp, "dialogs.log")

    # ---- the tools the program finds
    def add_tool(self, name, text=STAND_IN):
        path = os.path.join(self.tools, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)

    def desktop_env(self, real=True, exit_code=0, **extra):
        env = {"DISPLAY": self.display, "PATH": self.tools, "DIALOG_LOG": self.log,
               "DIALOG_EXIT": str(exit_code)}
        if real:
            env["DIALOG_REAL"] = REAL_ZENITY
        env.update(extra)
        return env

    def records(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def starts(self):
        return [r for r in self.records() if "args" in r]

    # ---- the display
    def xdotool(self, *args):
        return subprocess.run([XDOTOOL, *args], env={**os.environ, "DISPLAY": self.display},
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              timeout=30).stdout

    def visible_windows(self, title_pattern):
        return self.xdotool("search", "--onlyvisible", "--name", "^(%s)$" % title_pattern).split()

    def wait_window(self, title_pattern, timeout=60, process=None):
        """The first visible window whose whole title matches title_pattern.

        With process, fails at once when that program ends before the window
        is there. A failure tells what the dialog tool recorded and which
        windows the display shows."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.visible_windows(title_pattern)
            if found:
                return found[0]
            if process is not None and process.poll() is not None:
                _, err = process.communicate()
                self.fail("the program ended (exit code %s) without a window titled %r; its standard "
                          "error: %r; dialog tool: %r" % (process.returncode, title_pattern, err,
                                                          self.records()))
            time.sleep(0.1)
        shown = [self.xdotool("getwindowname", w).strip() for w in self.visible_windows(".*")]
        self.fail("no window titled %r appeared in %d s; visible windows: %r; dialog tool: %r"
                  % (title_pattern, timeout, shown, self.records()))

    def wait_no_window(self, title_pattern, timeout=10):
        deadline = time.time() + timeout
        while self.visible_windows(title_pattern):
            if time.time() > deadline:
                self.fail("a window titled %r is still there" % title_pattern)
            time.sleep(0.1)

    def press(self, window, keys):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", "--clearmodifiers", *keys.split())

    # ---- programs
    def start_demo(self, args, env, stderr=subprocess.PIPE):
        full_env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            full_env.pop(name, None)
        full_env.update(env)
        return subprocess.Popen([DEMO, *args], env=full_env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=stderr, text=True)

    def finish(self, process, timeout=60):
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out, err


class BoxDialogTest(DesktopTestCase):

    def test_boxes_of_the_program_are_dialogs_with_its_caption_icon_and_text(self):
        missing = self.p("missing.txt")
        cases = [
            ("Encrypt", [], "--info", 0),
            ("Decrypt", [missing], "--warning", 1),
        ]
        self.add_tool("zenity")
        for command, args, option, code in cases:
            with self.subTest(command=command):
                os.path.exists(self.log) and os.remove(self.log)
                process = self.runner.start(self.drive, command, args, self.desktop_env())
                window = self.wait_window(command, process=process)
                self.press(window, "Return")
                result = self.runner.finish(process, command, timeout=60)
                self.assertEqual(result.code, code, result.stderr)
                # The line on standard error stays, for the session's log.
                self.assertEqual(len(result.boxes), 1, result.stderr)
                box = result.boxes[0]
                self.assertEqual(self.starts()[0]["args"],
                                 [option, "--title=" + command, "--text=" + box.text, "--no-markup"])
                if args:
                    self.assertIn(missing, box.text)
                self.wait_no_window(command)

    def test_question_answer_reaches_the_program_and_no_is_the_default(self):
        # Markup and line breaks reach the dialog as plain text.
        text = "Convert 'a & <b>x</b>' now?\n\nIt will be erased."
        cases = [("alt+y", 0, "yes", "(answered Yes)"),
                 ("Return", 3, "no", "(answered No)"),
                 ("Escape", 3, "no", "(answered No)")]
        self.add_tool("zenity")
        for keys, code, answer, note in cases:
            with self.subTest(keys=keys):
                os.path.exists(self.log) and os.remove(self.log)
                demo = self.start_demo(["box", "question", "Open", text], self.desktop_env())
                self.press(self.wait_window("Open", process=demo), keys)
                returncode, out, err = self.finish(demo)
                self.assertEqual((returncode, out.strip()), (code, "answer " + answer), err)
                self.assertEqual(self.starts()[0]["args"],
                                 ["--question", "--title=Open", "--text=" + text, "--no-markup",
                                  "--icon-name=dialog-information", "--default-cancel",
                                  "--ok-label=_Yes", "--cancel-label=_No"])
                self.assertIn(note, err)
                self.wait_no_window("Open")

    def test_kdialog_serves_when_zenity_is_missing(self):
        cases = [
            # kind, kdialog's exit code, its option, the answer the program gets
            ("information", 0, "--msgbox", "yes"),
            ("warning", 0, "--sorry", "yes"),
            # The question's first button, the default, reads No; the second Yes.
            ("question", 0, "--yesno", "no"),
            ("question", 1, "--yesno", "yes"),
            ("question", 2, "--yesno", "no"),     # Escape or a closed window
            ("question", 134, "--yesno", "no"),   # kdialog failed: the fallback's No
        ]
        self.add_tool("kdialog")
        for kind, exit_code, option, answer in cases:
            with self.subTest(kind=kind, exit_code=exit_code):
                os.path.exists(self.log) and os.remove(self.log)
                demo = self.start_demo(["box", kind, "Status", "Some text"],
                                       self.desktop_env(real=False, exit_code=exit_code))
                returncode, out, err = self.finish(demo)
                self.assertEqual(out.strip(), "answer " + answer, err)
                args = self.starts()[0]["args"]
                self.assertEqual(args[:4], ["--title", "Status", option, "Some text"])
                if kind == "question":
                    self.assertEqual(args[4:], ["--yes-label", "No", "--no-label", "Yes"])

    @unittest.skipUnless(REAL_KDIALOG, "kdialog not installed")
    def test_real_kdialog_question_defaults_to_no(self):
        cases = [("Return", "no"), ("Escape", "no"), ("Right Return", "yes")]
        self.add_tool("kdialog")
        for keys, answer in cases:
            with self.subTest(keys=keys):
                demo = self.start_demo(["box", "question", "Open", "Go on?"],
                                       self.desktop_env(DIALOG_REAL=REAL_KDIALOG))
                window = self.wait_window("Open", process=demo)
                time.sleep(0.5)   # Qt takes key presses only once the box is laid out
                self.press(window, keys)
                returncode, out, err = self.finish(demo)
                self.assertEqual(out.strip(), "answer " + answer, err)
                self.wait_no_window("Open")

    def test_dialogs_only_in_a_graphical_session_without_a_terminal(self):
        cases = [
            ("X11 session", {"DISPLAY": ":0"}, False, True),
            ("Wayland session", {"DISPLAY": "", "WAYLAND_DISPLAY": "wayland-0"}, False, True),
            ("no session", {"DISPLAY": ""}, False, False),
            ("terminal", {"DISPLAY": ":0"}, True, False),
        ]
        self.add_tool("kdialog")
        for name, session, on_terminal, dialog in cases:
            with self.subTest(name):
                os.path.exists(self.log) and os.remove(self.log)
                env = self.desktop_env(real=False, exit_code=1)   # kdialog's Yes
                env.update(session)
                if on_terminal:
                    master, slave = pty.openpty()
                    demo = self.start_demo(["box", "question", "Open", "Go on?"], env, stderr=slave)
                    os.close(slave)
                    returncode, out, _ = self.finish(demo)
                    err = os.read(master, 4096).decode()
                    os.close(master)
                else:
                    demo = self.start_demo(["box", "question", "Open", "Go on?"], env)
                    returncode, out, err = self.finish(demo)
                self.assertEqual(bool(self.starts()), dialog, err)
                self.assertEqual(out.strip(), "answer yes" if dialog else "answer no", err)
                if not dialog:
                    self.assertIn("(no terminal: answered No)", err)

    def test_without_a_usable_tool_boxes_stay_on_standard_error(self):
        cases = [
            ("no tool", None),
            ("tool that cannot start", "#!/nonexistent/interpreter\n"),
            ("tool that fails", STAND_IN),
        ]
        for name, tool in cases:
            with self.subTest(name):
                shutil.rmtree(self.tools)
                os.makedirs(self.tools)
                if tool:
                    self.add_tool("zenity", tool)
                env = self.desktop_env(real=False, exit_code=255)
                demo = self.start_demo(["box", "question", "Open", "Go on?"], env)
                returncode, out, err = self.finish(demo, timeout=30)
                self.assertEqual((returncode, out.strip()), (3, "answer no"), err)
                self.assertEqual([(b.kind, b.caption, b.text) for b in parse_native_boxes(err)],
                                 [("question", "Open", "Go on?")])
                self.assertIn("(no terminal: answered No)", err)
                result = self.runner.run(self.drive, "Encrypt", env=env, timeout=30)
                self.assertBox(result, "information",
                               "Drag and drop the file that you want to encrypt onto this icon", 0)


class ProgressTestCase(DesktopTestCase):
    """Reads the progress dialogs' starts and input lines from the record."""

    def progress_starts(self):
        return [r for r in self.starts() if "--progress" in r["args"]]

    def lines_of(self, start):
        return [r["line"] for r in self.records() if r.get("pid") == start["pid"] and "line" in r]

    def wait_all_closed(self, timeout=10):
        """Every progress dialog got the end of its input and exited."""
        deadline = time.time() + timeout
        while True:
            records = self.records()
            open_ones = [s["pid"] for s in self.progress_starts()
                         if not any(r.get("pid") == s["pid"] and "exit" in r for r in records)]
            if not open_ones:
                return
            if time.time() > deadline:
                self.fail("progress dialogs still open: %r" % open_ones)
            time.sleep(0.1)

    def run_phases(self, *phases):
        """Runs the demo's phases; the (begin, end) wall-clock times of each."""
        self.add_tool("zenity")
        demo = self.start_demo(["progress", *phases], self.desktop_env())
        returncode, out, err = self.finish(demo)
        self.assertEqual(returncode, 0, err)
        self.wait_all_closed()
        marks = [float(line.split(" ")[1]) for line in out.splitlines()]
        return list(zip(marks[0::2], marks[1::2]))


class ProgramProgressTest(ProgressTestCase):
    drive_size = "160M"

    def test_one_dialog_titled_by_the_command_shows_its_phases_and_goes_away(self):
        # Whether zenity's window comes up before a phase of a fraction of a
        # second is over depends on the machine; the phase delay test below
        # watches the window itself. The encryption must outlast the
        # dialog's delay even on a fast processor: a file of 128 MiB on the
        # portable digest takes several tenths of a second.
        self.add_tool("zenity")
        path = os.path.join(self.work, "big.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(128 << 20))
        result = self.runner.run(self.drive, "Encrypt", [path],
                                 env=self.desktop_env(VELKIN_DIGEST_PATH="portable"))
        self.assertEqual((result.code, result.boxes), (0, []), result.stderr)
        self.assertTrue(os.path.exists(path + " (encrypted)"))
        self.wait_all_closed()
        self.wait_no_window("Encrypt")

        starts = self.progress_starts()
        self.assertEqual(len(starts), 1, "one dialog for the command's phases: %r" % self.records())
        self.assertIn("--title=Encrypt", starts[0]["args"])
        self.assertIn("--no-cancel", starts[0]["args"])
        texts = [line for line in self.lines_of(starts[0]) if line.startswith("#")]
        bars = [float(line) for line in self.lines_of(starts[0]) if not line.startswith("#")]
        self.assertTrue(texts and bars, starts[0])
        # Two lines of phase text and the estimate's line, as one input line.
        for text in texts:
            self.assertRegex(text, r"^#(Scanning file|Encrypting file|Deleting)"
                                   r"(\\n| )%s\\n" % re.escape(path))
        # The erasing followed the encryption in the same dialog, from an empty bar.
        self.assertTrue(texts[-1].startswith("#Deleting"), texts)
        self.assertTrue(any(t.startswith(("#Scanning", "#Encrypting")) for t in texts), texts)
        self.assertTrue(all(0 <= bar < 100 for bar in bars), bars)
        self.assertTrue(any(bar == 0 and max(bars[:i]) > 0 for i, bar in enumerate(bars) if i), bars)


class PhaseDelayTest(ProgressTestCase):

    def test_short_phase_never_shows_the_dialog(self):
        # The dialog comes up 100 ms into a phase. A machine busy with other
        # work can hold the demo up past that in a phase meant to last 40 ms;
        # only a run whose phase really ended well within the delay tells.
        for attempt in range(3):
            if os.path.exists(self.log):
                os.remove(self.log)
            (begin, end), = self.run_phases("40:Scanning")
            if end - begin < 0.08:
                self.assertEqual(self.progress_starts(), [])
                return
        self.skipTest("the 40 ms phase lasted %.0f ms or more in three runs: the machine is too "
                      "busy to tell" % ((end - begin) * 1000))

    def test_dialog_shows_after_the_delay_with_estimate_and_hides_after_the_phase(self):
        self.add_tool("zenity")
        demo = self.start_demo(["progress", "6000:Scanning"], self.desktop_env())
        self.wait_window(DEMO_TITLE, timeout=6, process=demo)
        returncode, out, err = self.finish(demo)
        self.assertEqual(returncode, 0, err)
        self.wait_all_closed()
        self.wait_no_window(DEMO_TITLE)
        marks = [line.split(" ") for line in out.splitlines()]
        begin, end = float(marks[0][1]), float(marks[1][1])
        starts = self.progress_starts()
        self.assertEqual(len(starts), 1)
        self.assertIn("--title=" + DEMO_TITLE, starts[0]["args"])
        self.assertGreaterEqual(starts[0]["time"], begin + 0.1)
        lines = self.lines_of(starts[0])
        self.assertEqual(lines[0], "#Scanning file\\ndemo.bin\\n \n")
        self.assertTrue(any(line.startswith("#Scanning file\\ndemo.bin\\nEstimated remaining time is ")
                            for line in lines), lines)
        bars = [float(line) for line in lines if not line.startswith("#")]
        self.assertEqual(bars, sorted(bars))
        self.assertEqual(bars[-1], 99.9)
        eof = [r for r in self.records() if r.get("pid") == starts[0]["pid"] and r.get("eof")][0]
        self.assertGreaterEqual(eof["time"], end + 0.2)

    def test_one_dialog_serves_phases_that_follow_within_a_while(self):
        cases = [
            # phases, dialogs expected
            (("600:Scanning", "600:Scanning"), 1),
            (("600:Scanning", "600:Deleting"), 1),
            (("600:Encrypting", "pause:%d" % (LINGER * 500), "600:Deleting"), 1),
            (("600:Encrypting", "pause:%d" % (LINGER * 1000 + 1500), "600:Deleting"), 2),
        ]
        for phases, dialogs in cases:
            with self.subTest(phases=phases):
                os.path.exists(self.log) and os.remove(self.log)
                marks = self.run_phases(*phases)
                starts = self.progress_starts()
                self.assertEqual([s["args"][1] for s in starts], ["--title=" + DEMO_TITLE] * dialogs)
                if dialogs == 2:
                    # The first went once the while after its phase was over,
                    # before the next phase began.
                    eof = [r for r in self.records() if r.get("pid") == starts[0]["pid"] and r.get("eof")][0]
                    self.assertGreaterEqual(eof["time"], marks[0][1] + LINGER)
                    self.assertLess(eof["time"], marks[1][0])


if __name__ == "__main__":
    unittest.main()
