#!/usr/bin/env python3
"""The user interface of the Windows build, watched from outside under Wine.

ProgressWindowTest: a phase of 2 s must show dialog 102 with its title,
phase text and bar, and hide it again after the phase; a phase of 50 ms must
never show it; a phase after another starts with an empty bar.

MessageBoxTest: each kind of box must come out with its own icon, its text as
given, its buttons and default button, and the button that the helper
presses must be the answer the program gets.

    ui_test.py --emulator run-under-wine.sh --boxhelper boxhelper.exe
               --progressdemo progressdemo.exe --boxdemo boxdemo.exe [TEST...]
"""
import argparse
import json
import subprocess
import sys
import unittest

ARGS = None


def start(*command, **kwargs):
    return subprocess.Popen([ARGS.emulator, *command], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, encoding="utf-8", **kwargs)


def read_until(stream, wanted, limit=60):
    """Reads lines until one starts with wanted; returns the lines read."""
    lines = []
    for _ in range(limit):
        line = stream.readline()
        if not line:
            break
        lines.append(line.rstrip("\r\n"))
        if lines[-1].startswith(wanted):
            return lines
    raise AssertionError(f"no line {wanted!r}, got {lines!r}")


class ProgressWindowTest(unittest.TestCase):

    def start_demo(self, duration_ms):
        demo = start(ARGS.progressdemo, str(duration_ms), "--sync")
        self.addCleanup(lambda: demo.poll() is None and demo.kill())
        read_until(demo.stdout, "ready")
        return demo

    def finish_demo(self, demo):
        out, err = demo.communicate(timeout=60)
        self.assertEqual(demo.returncode, 0, err)
        return out.splitlines()

    def test_long_phase_shows_dialog_with_texts_and_bar_then_hides_it(self):
        demo = self.start_demo(2000)
        demo.stdin.write("go\n")
        demo.stdin.flush()
        helper = subprocess.run(
            [ARGS.emulator, ARGS.boxhelper, "window", "--caption", "Scanning",
             "--timeout", "10"],
            capture_output=True, text=True, encoding="utf-8", timeout=120)
        self.assertEqual(helper.returncode, 0, helper.stderr)
        window = json.loads(helper.stdout.strip().splitlines()[-1])
        self.assertTrue(window["visible"])
        self.assertEqual(window["class"], "#32770")
        self.assertEqual(window["caption"], "Scanning")
        self.assertIn("Scanning file\ndemo.bin", window["texts"])
        self.assertEqual(len(window["texts"]), 2)
        self.assertEqual(len(window["bars"]), 1)
        bar = window["bars"][0]
        self.assertEqual((bar["id"], bar["visible"], bar["min"], bar["max"]),
                         (102, True, 0, 1000))
        self.assertTrue(0 <= bar["pos"] <= 1000, bar)

        lines = self.finish_demo(demo)
        # 500 ms after the phase's end the hide timer (200 ms) has fired.
        self.assertIn("after-end hidden", lines)

    def test_each_phase_starts_with_an_empty_bar(self):
        # The first phase ends with a full bar; the second must not show it
        # while it has done nothing yet.
        demo = start(ARGS.progressdemo, "1200", "--phases", "2")
        self.addCleanup(lambda: demo.poll() is None and demo.kill())
        lines = self.finish_demo(demo)
        self.assertEqual([line for line in lines if line.startswith("begin-bar")],
                         ["begin-bar 0", "begin-bar 0"], lines)

    def test_short_phase_never_shows_dialog(self):
        demo = self.start_demo(50)
        watcher = start(ARGS.boxhelper, "nowindow", "--caption", "Scanning",
                        "--for", "1500")
        self.addCleanup(lambda: watcher.poll() is None and watcher.kill())
        read_until(watcher.stderr, "watching")
        demo.stdin.write("go\n")
        demo.stdin.flush()
        lines = read_until(demo.stdout, "after-end")
        # The whole phase and the 500 ms after it ran while the watcher looked.
        ended_early = watcher.poll() is not None
        self.finish_demo(demo)
        out, _ = watcher.communicate(timeout=60)
        self.assertEqual(watcher.returncode, 0, f"window seen: {out}")
        self.assertFalse(ended_early, "the watcher ended before the phase did")
        self.assertIn("after-end hidden", lines)


# A text with what the helper must carry through: quotes, a backslash, a
# tab, a line break and characters beyond ASCII.
AWKWARD = 'Error: cannot open \'C:\\a "b".txt\':\tline\nnext \u00e9\u20ac\U0001F512'


class MessageBoxTest(unittest.TestCase):

    def show_and_answer(self, kind, caption, text, press):
        demo = subprocess.Popen([ARGS.emulator, ARGS.boxdemo, kind, caption, text],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: demo.poll() is None and demo.kill())
        helper = subprocess.run(
            [ARGS.emulator, ARGS.boxhelper, "wait", "--caption", caption,
             "--press", press, "--timeout", "30"],
            capture_output=True, text=True, encoding="utf-8", timeout=120)
        self.assertEqual(helper.returncode, 0, helper.stderr)
        box = json.loads(helper.stdout.strip().splitlines()[-1])
        demo.wait(timeout=60)
        return box, demo.returncode

    def test_kinds(self):
        cases = [
            # kind, press, icon, buttons, default, exit code
            ("information", "ok", "information", ["OK"], "OK", 0),
            ("warning", "ok", "warning", ["OK"], "OK", 0),
            ("question", "yes", "information", ["Yes", "No"], "No", 0),
            ("question", "no", "information", ["Yes", "No"], "No", 3),
        ]
        for kind, press, icon, buttons, default, code in cases:
            with self.subTest(kind=kind, press=press):
                caption = f"Box {kind} {press}"
                box, exit_code = self.show_and_answer(kind, caption, AWKWARD, press)
                self.assertEqual(box, {"caption": caption, "icon": icon, "text": AWKWARD,
                                       "buttons": buttons, "default": default})
                self.assertEqual(exit_code, code)

    def test_wait_times_out_without_box(self):
        helper = subprocess.run(
            [ARGS.emulator, ARGS.boxhelper, "wait", "--caption", "No such box",
             "--timeout", "1"], capture_output=True, text=True, timeout=120)
        self.assertEqual(helper.returncode, 2)
        self.assertEqual(helper.stdout, "")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--emulator", "--boxhelper", "--progressdemo", "--boxdemo"):
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
