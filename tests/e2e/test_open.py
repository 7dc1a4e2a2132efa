"""The open command through the real program: the working copy in TEMP, the
editor and the wait for it, the re-encryption on a change, the questions
when no application is associated with a type, and the refusals.

Windows build under Wine: the editor is Wine's notepad, driven from outside
by boxhelper.exe (it sets the text of notepad's edit control, saves and
closes the window). Native build: an editor script in EDITOR on a terminal
(a pseudo-terminal), or, on a private Xvfb display, the desktop's opener
(xdg-open) with a test application that shows a titled X11 window
(titled_window.py) or holds the file open.
"""
import os
import pty
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

import formatcodec
from velkin_e2e import (WINE, DriveTestCase, NotepadTestCase, both_builds, parse_native_boxes,
                        read_log, read_status, temp_name_pattern)

SUFFIX = formatcodec.SUFFIX
HERE = os.path.dirname(os.path.abspath(__file__))
TITLED_WINDOW = os.path.join(HERE, "titled_window.py")
INFO_FIRST_LINE = "Drag and drop the file that you want to open onto this icon"
UNCHANGED = "file %s was unchanged by editor, no need to re-encrypt"
TITLE_NOTES = "notes.txt - Notepad"


def plaintext_of(drive, path):
    """The plaintext of an encrypted file, read with the test's own codec."""
    with open(path, "rb") as f:
        return formatcodec.read_encrypted(formatcodec.KeyStore(drive), f.read()).plaintext


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def no_association_question(path, encrypted):
    if encrypted:
        return "There is no application to open\n%s.\n\nDo you want to decrypt it?\n\n" % path
    return ("There is no application to open\n%s.\n\nDo you want to encrypt it?\n\n"
            "After encryption, you can drop\n%s (encrypted)\nonto the icon to decrypt it again.\n"
            % (path, path))


class OpenHelpers:
    """Files in the work folder and on the key drive, for the open tests."""

    def write(self, name, data):
        path = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def encrypted(self, name, data):
        """An encrypted file made by the program's Encrypt command."""
        self.write(name, data)
        result = self.run_command("Encrypt", self.p(name))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        return os.path.join(self.work, name + SUFFIX)

    def temp(self, *parts):
        return os.path.join(self.drive, "TEMP", *parts)

    def assertTempEmpty(self):
        self.assertEqual(os.listdir(self.temp()), [])

    def no_association_cases(self, name, plain, yes, no):
        """The four cases of a file type without an application. For each,
        the dropped file is made and (its name, whether it is encrypted, the
        answer) handed out; once the caller has run the program, the files
        left behind are checked."""
        cases = [
            # dropped encrypted?, answer, files left in the work folder
            (True, no, {name + SUFFIX: "encrypted"}),
            (True, yes, {name: "plain"}),
            (False, yes, {name + SUFFIX: "encrypted"}),
            (False, no, {name: "plain"}),
        ]
        for encrypted, answer, left in cases:
            with self.subTest(encrypted=encrypted, answer=answer):
                for old in os.listdir(self.work):
                    os.remove(os.path.join(self.work, old))
                if encrypted:
                    self.encrypted(name, plain)
                else:
                    self.write(name, plain)
                yield name + (SUFFIX if encrypted else ""), encrypted, answer
                self.assertEqual(sorted(os.listdir(self.work)), sorted(left))
                for left_name, kind in left.items():
                    path = os.path.join(self.work, left_name)
                    found = plaintext_of(self.drive, path) if kind == "encrypted" else read_bytes(path)
                    self.assertEqual(found, plain)
                self.assertTempEmpty()


@both_builds
class OpenRefusalCases(OpenHelpers):
    """What both builds do before any editor is involved."""

    def working_copy_shown(self, name):
        """The working copy's full path as the program names it."""
        if self.runner_name == "wine":
            return self.runner.DRIVE_LETTER.upper() + "\\TEMP\\" + name
        return os.path.join(self.drive, "TEMP", name)

    def test_without_a_file_shows_usage_key_number_and_version(self):
        high, first, last = read_status(self.drive)
        used = (last - first - 1) // 3
        with open(os.path.join(self.drive, "SETTINGS", "STATUS.DAT"), "wb") as f:
            f.write(struct.pack("<III", first + used, first, last))
        with open(os.path.join(self.drive, "SETTINGS", "KEY.DAT"), "rb") as f:
            words = struct.unpack("<6H", f.read(12))
        result = self.run_command("Open")
        expected = ("%s\n\nThe key is currently %.1f%% used.\n\nThe key number is %s.\n\n"
                    "The program version is V1.3.8 (2011-03-23 11:28:09).\n\n"
                    % (INFO_FIRST_LINE, used * 100.0 / (last - first - 1),
                       "-".join("%04X" % w for w in words)))
        self.assertBox(result, "information", expected, 0)
        self.assertEqual(result.boxes[-1].caption, "Open")

    def test_a_plaintext_named_like_an_encrypted_file_is_refused_untouched(self):
        path = self.write("report" + SUFFIX, b"not encrypted at all")
        result = self.run_command("Open", self.p("report" + SUFFIX))
        drive_name = "K:" if self.runner_name == "wine" else self.drive
        self.assertBox(result, "warning",
                       "Error: file '%s' looks from its name as if it is encrypted but it was not "
                       "encrypted with the key currently in drive %s" % (self.p("report" + SUFFIX),
                                                                         drive_name), 1)
        self.assertEqual(read_bytes(path), b"not encrypted at all")

    def test_a_working_copy_already_in_TEMP_is_never_overwritten(self):
        encrypted = self.encrypted("notes.txt", b"the file's own text")
        before = read_bytes(encrypted)
        high = read_status(self.drive)[0]
        for dropped, data in (("notes.txt" + SUFFIX, None), ("notes.txt", b"a new plaintext")):
            with self.subTest(dropped=dropped):
                if data:
                    self.write(dropped, data)
                with open(self.temp("notes.txt"), "wb") as f:
                    f.write(b"edits that were never encrypted again")
                result = self.run_command("Open", self.p(dropped))
                self.assertBox(result, "warning",
                               "Error: a working copy '%s' is already in the folder TEMP: it may "
                               "hold changes that were not encrypted again, or another instance may "
                               "be editing it. Move it away or delete it, then open '%s' again"
                               % (self.working_copy_shown("notes.txt"), self.p(dropped)), 1)
                self.assertEqual(read_bytes(self.temp("notes.txt")),
                                 b"edits that were never encrypted again")
                self.assertEqual(read_bytes(encrypted), before)
                if data:
                    self.assertEqual(read_bytes(os.path.join(self.work, dropped)), data)
                self.assertEqual(read_status(self.drive)[0], high)      # no key spent

    def test_an_encrypted_file_in_TEMP_under_its_stored_name_is_refused(self):
        encrypted = self.encrypted("notes.txt", b"kept safe")
        os.rename(encrypted, self.temp("notes.txt"))
        dropped = self.runner.path(self.temp("notes.txt"))
        result = self.run_command("Open", dropped)
        self.assertEqual(result.code, 1, result)
        self.assertIn("a working copy '%s' is already in the folder TEMP"
                      % self.working_copy_shown("notes.txt"), result.boxes[-1].text)
        self.assertEqual(plaintext_of(self.drive, self.temp("notes.txt")), b"kept safe")

    def test_a_missing_TEMP_folder_fails_to_open_the_working_copy(self):
        encrypted = self.encrypted("notes.txt", b"text")
        before = read_bytes(encrypted)
        shutil.rmtree(self.temp())
        result = self.run_command("Open", self.p("notes.txt" + SUFFIX))
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.boxes[-1].kind, "warning")
        self.assertRegex(result.boxes[-1].text, r"^Error: cannot open '%s': "
                         % temp_name_pattern("TEMP" + self.runner.sep + "notes.txt"))
        self.assertEqual(read_bytes(encrypted), before)


# ---------------------------------------------------------------- Windows build

class OpenWine(OpenHelpers, NotepadTestCase):
    """Open with Wine's notepad, the application that .txt files open with."""

    def helper(self, *args):
        return self.runner.run_helper(*args)

    def open_and(self, dropped, *action):
        """Opens the file, lets boxhelper act on notepad's window, and
        answers the boxes until the program ends."""
        process = self.runner.start(self.drive, "Open", [self.p(dropped)])
        self.assertEqual(self.helper(*action), 0, "boxhelper %s" % (action,))
        return self.runner.finish(process, "Open")

    def test_saved_edits_replace_the_encrypted_file_under_its_own_name(self):
        encrypted = self.encrypted("notes.txt", b"first version\r\n")
        high = read_status(self.drive)[0]
        result = self.open_and("notes.txt" + SUFFIX, "edit", "--caption", self.TITLE,
                               "--text", "edited in notepad")
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(os.listdir(self.work), ["notes.txt" + SUFFIX])
        edited = plaintext_of(self.drive, encrypted)
        self.assertEqual(edited, b"edited in notepad")
        self.assertEqual(read_status(self.drive)[0], high + formatcodec.reservation(len(edited)))
        self.assertTempEmpty()
        log = read_log(self.drive)
        self.assertIn("started editor for TEMP\\notes.txt\r\n", log)
        self.assertIn("file TEMP\\notes.txt was unlocked after ", log)

    def test_closing_without_changes_draws_no_key(self):
        encrypted = self.encrypted("notes.txt", b"stays as it is\r\n")
        before = read_bytes(encrypted)
        high = read_status(self.drive)[0]
        result = self.open_and("notes.txt" + SUFFIX, "close", "--caption", self.TITLE)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertIn(UNCHANGED % "TEMP\\notes.txt", read_log(self.drive))
        self.assertEqual(read_status(self.drive)[0], high)
        self.assertEqual(read_bytes(encrypted), before)
        self.assertTempEmpty()

    def test_a_plaintext_dropped_on_open_is_encrypted_and_edited(self):
        self.write("notes.txt", b"plain to begin with\r\n")
        high = read_status(self.drive)[0]
        result = self.open_and("notes.txt", "edit", "--caption", self.TITLE, "--text", "new text")
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(os.listdir(self.work), ["notes.txt" + SUFFIX])
        self.assertEqual(plaintext_of(self.drive, os.path.join(self.work, "notes.txt" + SUFFIX)),
                         b"new text")
        self.assertEqual(read_status(self.drive)[0],
                         high + formatcodec.reservation(21) + formatcodec.reservation(8))
        self.assertTempEmpty()

    def test_a_window_already_showing_the_name_refuses_the_launch(self):
        other = self.write(os.path.join("elsewhere", "notes.txt"), b"another file of that name")
        notepad = subprocess.Popen([WINE, "notepad.exe", self.p("elsewhere", "notes.txt")],
                                   env=self.runner.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(notepad.wait, 30)
        self.addCleanup(self.helper, "close", "--caption", self.TITLE, "--timeout", "5")
        self.assertEqual(self.helper("window", "--caption", self.TITLE), 0)
        encrypted = self.encrypted("notes.txt", b"the encrypted one")
        before = read_bytes(encrypted)
        result = self.run_command("Open", self.p("notes.txt" + SUFFIX))
        self.assertBox(result, "warning", "Error: please close window  '%s'" % self.TITLE, 1)
        self.assertEqual(read_bytes(encrypted), before)
        self.assertEqual(read_bytes(other), b"another file of that name")
        self.assertTempEmpty()

    def test_a_killed_open_is_finished_by_the_next_run(self):
        cases = [
            # what notepad does after the program was killed, files in the work folder afterwards
            (("close", "--caption", TITLE_NOTES), ["notes.txt" + SUFFIX]),
            (("edit", "--caption", TITLE_NOTES, "--text", "saved after the kill"),
             ["notes (recovered).txt" + SUFFIX, "notes.txt" + SUFFIX]),
        ]
        for action, files in cases:
            with self.subTest(action=action[0]):
                for old in os.listdir(self.work):
                    os.remove(os.path.join(self.work, old))
                encrypted = self.encrypted("notes.txt", b"as it was\r\n")
                process = self.runner.start(self.drive, "Open", [self.p("notes.txt" + SUFFIX)])
                self.assertEqual(self.helper("window", "--caption", self.TITLE), 0)
                process.kill()
                process.wait(60)
                self.assertEqual(self.helper(*action), 0)
                result = self.run_command("Status")
                self.assertEqual(result.code, 0, result)
                text = "\n".join(b.text for b in result.boxes)
                if len(files) == 2:
                    recovered = self.p(files[0])
                    self.assertIn("Its changes are kept, encrypted, as '%s'" % recovered, text)
                    self.assertEqual(plaintext_of(self.drive, os.path.join(self.work, files[0])),
                                     b"saved after the kill")
                else:
                    self.assertIn("held no changes and was erased", text)
                self.assertEqual(sorted(os.listdir(self.work)), files)
                self.assertEqual(plaintext_of(self.drive, encrypted), b"as it was\r\n")
                self.assertTempEmpty()

    def test_a_type_without_an_application_asks_what_to_do(self):
        for dropped, encrypted, answer in self.no_association_cases(
                "data.zzz", b"no application opens this", "yes", "no"):
            process = self.runner.start(self.drive, "Open", [self.p(dropped)])
            # Wine's shell says itself that no program opens the type.
            self.helper("wait", "--caption", "Error", "--press", "ok", "--timeout", "60")
            result = self.runner.finish(process, "Open", answers=[answer])
            self.assertEqual(result.code, 0, result)
            self.assertEqual([(b.kind, b.text) for b in result.boxes],
                             [("information", no_association_question(self.p(dropped), encrypted))])
            self.assertIn("openAndWait: couldn't open TEMP\\data.zzz (", read_log(self.drive))


# ---------------------------------------------------------------- native build

class Terminal:
    """Runs a program with a pseudo-terminal as its standard error, and as
    its standard input and output when on_terminal; typed answers are
    written to the terminal beforehand, one line each."""

    def __init__(self, argv, env, on_terminal=True, typed=()):
        master, slave = pty.openpty()
        attributes = termios.tcgetattr(slave)
        attributes[3] &= ~termios.ECHO           # answers do not show among the boxes
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        other = slave if on_terminal else subprocess.DEVNULL
        self.started = time.monotonic()
        self.process = subprocess.Popen(argv, env=env, stdin=other, stdout=other, stderr=slave)
        os.close(slave)
        for line in typed:
            os.write(master, (line + "\n").encode())
        self.chunks = []
        self.reader = threading.Thread(target=self.read, args=(master,), daemon=True)
        self.reader.start()

    def read(self, master):
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                break
            if not data:
                break
            self.chunks.append(data)
        os.close(master)

    def finish(self, timeout=120):
        code = self.process.wait(timeout)
        seconds = time.monotonic() - self.started
        self.reader.join(5)
        text = b"".join(self.chunks).decode("utf-8", "replace").replace("\r\n", "\n")
        text = text.replace("Yes or No? [y/N] ", "\n")
        return code, parse_native_boxes(text), seconds, text


class OpenNative(OpenHelpers, DriveTestCase):
    runner_name = "native"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.xvfb = None
        if shutil.which("Xvfb"):
            read_end, write_end = os.pipe()
            # A display of its own: no other window can show the test's names.
            cls.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                         "640x480x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            with os.fdopen(read_end) as f:
                cls.display = ":" + f.readline().strip()

    @classmethod
    def tearDownClass(cls):
        if cls.xvfb:
            cls.xvfb.terminate()
            cls.xvfb.wait(10)

    def needs_desktop(self):
        if not self.xvfb or not shutil.which("xdg-open") or not shutil.which("xdg-mime"):
            self.skipTest("needs Xvfb and xdg-utils")

    def base_env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "VISUAL", "EDITOR")
               and not k.startswith("XDG_") and k not in ("DESKTOP_SESSION", "KDE_FULL_SESSION",
                                                          "GNOME_DESKTOP_SESSION_ID")}
        locks = os.path.join(self.tmp, "locks")
        os.makedirs(locks, exist_ok=True)
        env["XDG_RUNTIME_DIR"] = locks
        env.update(extra)
        return env

    def script(self, name, body):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path

    def desktop_env(self, application_body, display=None):
        """An environment whose desktop opens text files with a test
        application: a script with the given body, the file as "$1"."""
        application = self.script("application.sh", application_body)
        data = os.path.join(self.tmp, "xdg-data")
        system = os.path.join(self.tmp, "xdg-system")
        config = os.path.join(self.tmp, "xdg-config")
        os.makedirs(os.path.join(data, "applications"), exist_ok=True)
        os.makedirs(system, exist_ok=True)
        os.makedirs(config, exist_ok=True)
        if os.path.isdir("/usr/share/mime") and not os.path.exists(os.path.join(system, "mime")):
            os.symlink("/usr/share/mime", os.path.join(system, "mime"))
        with open(os.path.join(data, "applications", "velkin-test.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Test editor\nExec=%s %%f\n"
                    "MimeType=text/plain;\n" % application)
        with open(os.path.join(config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\ntext/plain=velkin-test.desktop\n")
        return self.base_env(DISPLAY=display or self.display, XDG_DATA_HOME=data,
                             XDG_DATA_DIRS=system, XDG_CONFIG_HOME=config,
                             XDG_CONFIG_DIRS=os.path.join(self.tmp, "none"))

    def open(self, dropped, env, on_terminal=True, typed=()):
        return Terminal([os.path.join(self.drive, "Open"), dropped], env, on_terminal,
                        typed).finish()

    def test_terminal_editor_edits_the_working_copy(self):
        changer = self.script("change.sh", 'stat -c %%a "$1" > "%s"\nprintf " and more" >> "$1"\n'
                              % os.path.join(self.tmp, "mode"))
        cases = [
            # environment, what the file holds afterwards
            ({"EDITOR": changer}, b"text and more"),
            ({"EDITOR": "true"}, b"text"),
            ({"VISUAL": changer, "EDITOR": "true"}, b"text and more"),
            ({"VISUAL": " ", "EDITOR": "sh " + changer}, b"text and more"),   # words, no shell
        ]
        for editor, expected in cases:
            with self.subTest(editor=editor):
                encrypted = self.encrypted("notes.txt", b"text")
                high = read_status(self.drive)[0]
                code, boxes, _, output = self.open(encrypted, self.base_env(**editor))
                self.assertEqual((code, boxes), (0, []), output)
                self.assertEqual(os.listdir(self.work), ["notes.txt" + SUFFIX])
                self.assertEqual(plaintext_of(self.drive, encrypted), expected)
                changed = expected != b"text"
                self.assertEqual(read_status(self.drive)[0],
                                 high + (formatcodec.reservation(len(expected)) if changed else 0))
                if changed:
                    with open(os.path.join(self.tmp, "mode")) as f:
                        self.assertEqual(f.read().strip(), "600")   # the working copy
                else:
                    self.assertIn(UNCHANGED % "TEMP/notes.txt", read_log(self.drive))
                self.assertTempEmpty()
                os.remove(encrypted)

    def test_a_plaintext_dropped_on_open_is_encrypted_first(self):
        path = self.write("notes.txt", b"plain")
        changer = self.script("change.sh", 'printf " then edited" >> "$1"\n')
        code, boxes, _, output = self.open(path, self.base_env(EDITOR=changer))
        self.assertEqual((code, boxes), (0, []), output)
        self.assertEqual(os.listdir(self.work), ["notes.txt" + SUFFIX])
        self.assertEqual(plaintext_of(self.drive, path + SUFFIX), b"plain then edited")

    def test_the_command_waits_while_a_window_shows_the_file(self):
        self.needs_desktop()
        cases = [
            # window title, window property
            ("notes.txt - Test Editor", ""),
            ("notes - Test Editor", "--wm-name-only"),       # the prefix rule, WM_NAME alone
        ]
        for title, option in cases:
            with self.subTest(title=title):
                encrypted = self.encrypted("notes.txt", b"text")
                # The application hands the file to a window that stays 3 s
                # and ends at once, as one that passes it to a running
                # instance does.
                env = self.desktop_env('printf " changed" >> "$1"\n"%s" "%s" "%s" 3 %s &\n'
                                       % (sys.executable, TITLED_WINDOW, title, option))
                code, boxes, seconds, output = self.open(encrypted, env, on_terminal=False)
                self.assertEqual((code, boxes), (0, []), output)
                self.assertGreaterEqual(seconds, 3)
                self.assertEqual(plaintext_of(self.drive, encrypted), b"text changed")
                log = read_log(self.drive)
                self.assertRegex(log, r"file TEMP/notes.txt was unlocked after \d+ seconds with "
                                      r"([4-9]|\d\d+) waits")
                self.assertTempEmpty()
                os.remove(encrypted)

    def test_an_application_that_ends_at_once_still_costs_two_seconds(self):
        self.needs_desktop()
        encrypted = self.encrypted("notes.txt", b"text")
        code, boxes, seconds, output = self.open(encrypted, self.desktop_env("exit 0\n"),
                                                 on_terminal=False)
        self.assertEqual((code, boxes), (0, []), output)
        self.assertGreaterEqual(seconds, 2.25)      # the minimum and one window round
        self.assertRegex(read_log(self.drive), r"unlocked after \d+ seconds with 0 waits")
        self.assertIn(UNCHANGED % "TEMP/notes.txt", read_log(self.drive))

    def test_a_process_holding_the_file_delays_the_end(self):
        self.needs_desktop()
        encrypted = self.encrypted("notes.txt", b"text")
        env = self.desktop_env('sleep 4 < "$1" &\n')
        code, boxes, seconds, output = self.open(encrypted, env, on_terminal=False)
        self.assertEqual((code, boxes), (0, []), output)
        self.assertGreaterEqual(seconds, 4)
        self.assertRegex(read_log(self.drive), r"unlocked after \d+ seconds with ([4-9]|\d\d+) waits")
        self.assertTempEmpty()

    def test_a_window_already_showing_the_name_refuses_the_launch(self):
        self.needs_desktop()
        ready = os.path.join(self.tmp, "ready")
        window = subprocess.Popen([sys.executable, TITLED_WINDOW, "notes.txt - Other", "60",
                                   "--ready", ready], env=dict(os.environ, DISPLAY=self.display))
        self.addCleanup(window.wait, 10)
        self.addCleanup(window.kill)
        for _ in range(100):
            if os.path.exists(ready):
                break
            time.sleep(0.1)
        encrypted = self.encrypted("notes.txt", b"text")
        before = read_bytes(encrypted)
        code, boxes, _, output = self.open(encrypted, self.desktop_env("exit 0\n"), on_terminal=False)
        self.assertEqual(code, 1, output)
        self.assertEqual([(b.kind, b.text) for b in boxes],
                         [("warning", "Error: please close window  'notes.txt - Other'")])
        self.assertEqual(read_bytes(encrypted), before)
        self.assertTempEmpty()

    def test_without_access_to_the_windows_the_user_confirms_the_end(self):
        self.needs_desktop()
        encrypted = self.encrypted("notes.txt", b"text")
        # A display that cannot be reached: the opener still runs.
        env = self.desktop_env('printf " changed" >> "$1"\n', display=":4095")
        code, boxes, _, output = self.open(encrypted, env, typed=["n", "y"])
        self.assertEqual(code, 0, output)
        self.assertEqual([b.kind for b in boxes], ["question", "question"], output)
        self.assertTrue(boxes[0].text.startswith("Are you done with\nTEMP/notes.txt?"), boxes)
        self.assertEqual(plaintext_of(self.drive, encrypted), b"text changed")
        self.assertTempEmpty()

        # Where no question can be asked either, nothing is launched.
        before = read_bytes(encrypted)
        code, boxes, _, output = self.open(encrypted, env, on_terminal=False)
        self.assertEqual(code, 1, output)
        self.assertEqual(boxes[-1].text,
                         "Error: cannot open TEMP/notes.txt: the windows of this desktop cannot be "
                         "watched and no question can be asked, so the end of the editing could "
                         "not be told")
        self.assertEqual(read_bytes(encrypted), before)
        self.assertTempEmpty()

    def test_no_editor_and_no_desktop_asks_what_to_do(self):
        for dropped, encrypted, answer in self.no_association_cases(
                "data.txt", b"nothing opens this", "y", "n"):
            path = os.path.join(self.work, dropped)
            code, boxes, _, output = self.open(path, self.base_env(), typed=[answer])
            self.assertEqual(code, 0, output)
            self.assertEqual([(b.kind, b.text.rstrip("\n")) for b in boxes],
                             [("question", no_association_question(path, encrypted).rstrip("\n"))])

    def test_a_desktop_type_without_an_application_asks_too(self):
        self.needs_desktop()
        encrypted = self.encrypted("data.bin", bytes(range(256)) * 4)   # no application for it
        before = read_bytes(encrypted)
        code, boxes, _, output = self.open(encrypted, self.desktop_env("exit 0\n"), typed=["n"])
        self.assertEqual(code, 0, output)
        self.assertEqual([b.kind for b in boxes], ["question"], output)
        self.assertTrue(boxes[0].text.startswith("There is no application to open\n%s." % encrypted))
        self.assertEqual(read_bytes(encrypted), before)
        self.assertIn("openAndWait: couldn't open TEMP/data.bin (No application is associated "
                      "with this type of file)", read_log(self.drive))

    def test_a_failed_re_encryption_says_where_the_edits_are(self):
        encrypted = self.encrypted("notes.txt", b"text")
        before = read_bytes(encrypted)
        # More than the key drive has left.
        grower = self.script("grow.sh", 'head -c 400000 /dev/zero >> "$1"\n')
        code, boxes, _, output = self.open(encrypted, self.base_env(EDITOR=grower))
        self.assertEqual(code, 1, output)
        working = os.path.join(self.drive, "TEMP", "notes.txt")
        self.assertTrue(boxes[-1].text.startswith("Error: key exhausted"), boxes)
        self.assertTrue(boxes[-1].text.endswith(
            "\n\nYour changes were not encrypted; the edited file is kept as '%s'. The program's next run "
            "encrypts it beside '%s' unless you move it away first." % (working, encrypted)), boxes)
        self.assertEqual(os.path.getsize(working), 400004)
        self.assertEqual(read_bytes(encrypted), before)

    def test_an_editor_that_does_not_end_normally_is_no_finished_edit(self):
        fragment = self.script("fragment.sh", 'printf "frag" > "$1"\nkill -9 $$\n')
        failing = self.script("fail.sh", 'exit 3\n')
        working = self.temp("notes.txt")
        cases = [
            # editor, answer, exit code, the encrypted file afterwards, working copy left
            (fragment, "n", 1, b"the whole text", b"frag"),
            (fragment, "y", 0, b"frag", None),
            (failing, None, 1, b"the whole text", None),
        ]
        for editor, answer, code, kept, left in cases:
            with self.subTest(editor=editor, answer=answer):
                for old in os.listdir(self.work):
                    os.remove(os.path.join(self.work, old))
                encrypted = self.encrypted("notes.txt", b"the whole text")
                got, boxes, _, output = self.open(encrypted, self.base_env(EDITOR=editor),
                                                  typed=[answer] if answer else [])
                self.assertEqual(got, code, output)
                self.assertEqual(plaintext_of(self.drive, encrypted), kept)
                how = ("it was ended by signal 9 (Killed)" if editor == fragment
                       else "it exited with status 3")
                reason = "the editor of TEMP/notes.txt did not end normally: %s" % how
                if answer:
                    self.assertTrue(boxes[0].text.startswith(reason + ", so the changes in the working copy "
                                                             "may be incomplete."), boxes)
                if left:
                    self.assertEqual(read_bytes(working), left)
                    self.assertEqual(boxes[-1].text,
                                     "Error: %s.\n\nThe working copy '%s' is left as it is, with its changes; "
                                     "'%s' was not changed. The program's next run keeps those changes, "
                                     "encrypted, beside it, unless you move the working copy away first."
                                     % (reason, working, encrypted))
                    # The next run of any command keeps them beside the encrypted file.
                    result = self.run_command("Status")
                    recovered = os.path.join(self.work, "notes (recovered).txt" + SUFFIX)
                    self.assertIn("Its changes are kept, encrypted, as '%s'" % recovered,
                                  "\n".join(b.text for b in result.boxes))
                    self.assertEqual(plaintext_of(self.drive, recovered), left)
                    self.assertEqual(plaintext_of(self.drive, encrypted), kept)
                elif code == 1:
                    self.assertEqual(boxes[-1].text, "Error: %s; nothing was changed" % reason)
                self.assertTempEmpty()

    def test_a_killed_open_is_finished_by_the_next_run(self):
        cases = [
            # what the editor adds before the kill, files in the work folder afterwards
            ("", ["notes.txt" + SUFFIX]),
            (" and edits", ["notes (recovered).txt" + SUFFIX, "notes.txt" + SUFFIX]),
        ]
        for added, files in cases:
            with self.subTest(added=added):
                for old in os.listdir(self.work):
                    os.remove(os.path.join(self.work, old))
                encrypted = self.encrypted("notes.txt", b"text")
                editor = self.script("edit.sh", 'printf "%s" >> "$1"\nsleep 60\n' % added)
                terminal = Terminal([os.path.join(self.drive, "Open"), encrypted],
                                    self.base_env(EDITOR=editor))
                deadline = time.monotonic() + 60
                while not os.path.exists(self.temp("notes.txt")) and time.monotonic() < deadline:
                    time.sleep(0.1)
                time.sleep(0.5)
                terminal.process.kill()
                terminal.finish()
                self.assertTrue(os.path.exists(self.temp("notes.txt")))
                result = self.run_command("Status")
                text = "\n".join(b.text for b in result.boxes)
                if added:
                    recovered = os.path.join(self.work, files[0])
                    self.assertIn("Its changes are kept, encrypted, as '%s'" % recovered, text)
                    self.assertEqual(plaintext_of(self.drive, recovered), b"text" + added.encode())
                else:
                    self.assertIn("Its working copy '%s' held no changes and was erased."
                                  % self.temp("notes.txt"), text)
                self.assertEqual(sorted(os.listdir(self.work)), files)
                self.assertEqual(plaintext_of(self.drive, encrypted), b"text")
                self.assertTempEmpty()
                # Nothing is left for a later run.
                self.assertEqual(self.run_command("Status").boxes, [])

    def test_a_question_that_cannot_be_shown_ends_the_wait(self):
        self.needs_desktop()
        encrypted = self.encrypted("notes.txt", b"text")
        # No X11 display to watch: a Wayland session whose dialogs cannot
        # reach it (the stand-in says so as zenity does, with a No's code).
        tools = os.path.join(self.tmp, "tools")
        os.makedirs(tools)
        with open(os.path.join(tools, "zenity"), "w") as f:
            f.write("#!/bin/sh\necho 'Gtk-WARNING **: cannot open display: ' >&2\nexit 1\n")
        os.chmod(os.path.join(tools, "zenity"), 0o755)
        env = self.desktop_env('printf " changed" >> "$1"\n')
        env.update(DISPLAY="", WAYLAND_DISPLAY="velkin-test-none",
                   PATH=tools + os.pathsep + os.environ["PATH"])
        process = subprocess.Popen([os.path.join(self.drive, "Open"), encrypted], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        _, err = process.communicate(timeout=120)
        boxes = parse_native_boxes(err.decode())
        self.assertEqual(process.returncode, 1, err)
        recovered = os.path.join(self.work, "notes (recovered).txt" + SUFFIX)
        self.assertEqual(boxes[-1].text,
                         "Error: the question whether you are done with TEMP/notes.txt could not be shown, "
                         "so the end of the editing cannot be told. What the working copy holds now is kept, "
                         "encrypted, as '%s'; '%s' was not changed. Do not save the file again in its "
                         "application." % (recovered, encrypted))
        self.assertEqual(plaintext_of(self.drive, recovered), b"text changed")
        self.assertEqual(plaintext_of(self.drive, encrypted), b"text")
        self.assertTempEmpty()

    def test_a_plaintext_that_could_not_be_erased_is_named_at_the_end(self):
        path = self.write("notes.txt", b"plain")
        # An append-only file cannot be renamed, by root either.
        if os.geteuid() != 0 or subprocess.run(["chattr", "+a", path],
                                               stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("needs root and a file system with the append-only attribute")
        self.addCleanup(subprocess.run, ["chattr", "-a", path])
        for opener in (False, True):
            with self.subTest(VKLIB_OPENER=opener):
                if opener:
                    os.remove(path + SUFFIX)
                env = self.base_env(EDITOR="true", **({"VKLIB_OPENER": "x"} if opener else {}))
                code, boxes, _, output = self.open(path, env)
                self.assertEqual(code, 0, output)
                self.assertTrue(os.path.exists(path + SUFFIX))
                warning = "'%s' was encrypted, but the plaintext could not be erased" % path
                self.assertEqual([b.text.startswith(warning) for b in boxes],
                                 [] if opener else [True], output)
                self.assertEqual(read_log(self.drive).count(warning), 2 if opener else 1)


if __name__ == "__main__":
    unittest.main()
