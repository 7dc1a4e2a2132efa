"""Start-up of the real program: command line, boxes, exit codes, the
single-instance guard and the start line in the log."""
import os
import shutil
import subprocess
import time
import unittest

from velkin_e2e import DriveTestCase, both_builds, merge_env, read_log

UNEXPECTED = "The application was started in an unexpected way"
SINGLE = "Drag and drop single files onto the icon"
BUSY = "This file is already being processed"


@both_builds
class EntryCases:
    def test_started_without_a_file_shows_the_drag_and_drop_box(self):
        for command, verb in (("Encrypt", "encrypt"), ("Decrypt", "decrypt")):
            result = self.run_command(command)
            self.assertBox(result, "information",
                           "Drag and drop the file that you want to %s onto this icon" % verb, 0)
            self.assertEqual(result.boxes[-1].caption, command)

    def test_malformed_command_lines(self):
        cases = [
            (["-E"], "information", UNEXPECTED, 0),           # letters after '-' keep their case
            (["-"], "information", UNEXPECTED, 0),
            # Two dropped files: two quoted paths with a blank between them.
            ([self.p("x y", "a.txt"), self.p("x y", "b.txt")], "warning", SINGLE, 1),
        ]
        if self.runner_name == "native":
            # Each argument is one path on Linux; two of them are two files.
            cases.append(([self.p("a.txt"), self.p("b.txt")], "warning", SINGLE, 1))
        else:
            # Wine hands separate words over unquoted: a path with a blank.
            # (It escapes a lone double quote, so that case is native only.)
            cases.append(([self.p("My"), "Files.txt"], "warning", SINGLE, 1))
        for args, kind, text, code in cases:
            with self.subTest(args=args):
                self.assertBox(self.run_command("Encrypt", *args), kind, text, code)

    def test_quoted_path_with_blanks_is_one_path(self):
        name = "My File.txt"
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(b"hello")
        result = self.run_command("Encrypt", self.p(name))
        self.assertEqual(result.code, 0, result)
        self.assertTrue(os.path.exists(os.path.join(self.work, name + " (encrypted)")))
        self.assertFalse(os.path.exists(os.path.join(self.work, name)))

    def test_start_line_is_logged_only_when_LOG_exists(self):
        result = self.run_command("Status")
        self.assertEqual(result.code, 0, result)
        log = read_log(self.drive)
        self.assertIn("  ***** Velkin *****, command is 's', file is ''\r\n\r\n", log)
        shutil.rmtree(os.path.join(self.drive, "LOG"))
        result = self.run_command("Encrypt")
        self.assertEqual(result.code, 0, result)
        self.assertIsNone(read_log(self.drive))
        self.assertFalse(os.path.exists(os.path.join(self.drive, "LOG")))

    def test_log_entries_have_a_timestamp_and_an_empty_line(self):
        self.run_command("Status")
        entries = read_log(self.drive).split("\r\n\r\n")
        self.assertEqual(entries[-1], "")
        for entry in entries[:-1]:
            self.assertRegex(entry, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ")

    def test_unknown_command_letter_is_found_after_the_log_line(self):
        result = self.run_command("Encrypt", "-x" + self.p("a.txt"))
        self.assertBox(result, "information", UNEXPECTED, 0)
        self.assertIn("command is 'x', file is '%s'" % self.p("a.txt"), read_log(self.drive))

    def test_failing_command_shows_the_error_box(self):
        missing = self.p("missing.txt")
        result = self.run_command("Decrypt", missing)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.boxes[-1].kind, "warning")
        self.assertTrue(result.boxes[-1].text.startswith("Error: FindFirstFile on %s failed with " % missing),
                        result)


class SecondInstanceNative(unittest.TestCase):
    """A second instance on the same path is refused while the first runs.

    The first instance is held inside its command: in debug mode it reads the
    debug-enable file, here a named pipe that nobody writes to, with the
    path's lock held."""

    def setUp(self):
        from velkin_e2e import DriveTestCase
        self.case = type("Held", (DriveTestCase,), {"runner_name": "native", "runTest": lambda s: None})()
        self.case.setUpClass()
        self.case.setUp()
        self.addCleanup(self.case.doCleanups)

    def hold(self, name, env=None):
        """Starts an instance that encrypts work/name and stays inside its command."""
        pipe = os.path.join(self.case.tmp, "debug-enable")
        if not os.path.exists(pipe):
            os.mkfifo(pipe)
        target = os.path.join(self.case.work, name)
        with open(target, "wb") as f:
            f.write(b"plaintext")
        held_env = {"VKLIB_DEBUG": "1", "VKLIB_MANUFACTURER": pipe}
        held_env.update(env or {})
        first = self.case.runner.start(self.case.drive, "Encrypt", [target], env=held_env)
        time.sleep(0.5)
        self.assertIsNone(first.poll(), "the first instance was not held")
        self.addCleanup(first.communicate, timeout=60)
        self.addCleanup(first.kill)
        return target

    def test_second_instance_on_the_same_path(self):
        target = self.hold("he-ld")
        second = self.case.run_command("Encrypt", target)
        self.assertEqual(second.code, 1, second)
        self.assertEqual(second.boxes[-1].text, BUSY)
        # Paths differing only in punctuation at the same places share the guard.
        third = self.case.run_command("Encrypt", os.path.join(self.case.work, "he_ld"))
        self.assertEqual(third.boxes[-1].text if third.boxes else "", BUSY)

    def test_names_differing_beyond_ascii_have_guards_of_their_own_without_LANG(self):
        no_locale = {"LANG": None, "LC_ALL": None, "LC_CTYPE": None}
        self.hold("M\u00fcller", env=no_locale)
        other = os.path.join(self.case.work, "M\u00e4ller")
        with open(other, "wb") as f:
            f.write(b"other plaintext")
        second = self.case.run_command("Encrypt", other, env=no_locale)
        self.assertEqual((second.code, second.boxes), (0, []), second)
        self.assertTrue(os.path.exists(other + " (encrypted)"))

    def test_lock_files_go_when_the_program_ends(self):
        locks = os.path.join(self.case.tmp, "locks")
        target = self.hold("kept")
        self.assertEqual(len(os.listdir(locks)), 1)
        self.assertEqual(self.case.run_command("Status").code, 0)
        self.assertEqual(len(os.listdir(locks)), 1)    # the held one only
        self.assertEqual(oct(os.stat(locks).st_mode & 0o777), oct(0o700))

    def test_refused_clearly_without_a_private_folder(self):
        open_folder = os.path.join(self.case.tmp, "open")
        cache = os.path.join(self.case.tmp, "cache")
        for folder in (open_folder, os.path.join(cache, "velkin")):
            os.makedirs(folder)
            os.chmod(folder, 0o777)
        result = self.case.run_command("Status", env={"XDG_RUNTIME_DIR": open_folder,
                                                      "XDG_CACHE_HOME": cache})
        self.assertEqual(result.code, 1, result)
        self.assertTrue(result.boxes[-1].text.startswith(
            "Error: there is no folder private to this user for the lock"), result)
        self.assertIn(os.path.join(cache, "velkin"), result.boxes[-1].text)
        self.assertEqual(os.listdir(open_folder), [])


class SecondInstanceWine(unittest.TestCase):
    def test_second_instance_while_the_first_waits_on_its_box(self):
        from velkin_e2e import DriveTestCase
        case = type("Held", (DriveTestCase,), {"runner_name": "wine", "runTest": lambda s: None})()
        case.setUpClass()
        case.setUp()
        try:
            # Both start without a file, so both guard the same (empty) path;
            # different commands keep their boxes apart by caption.
            first = case.runner.start(case.drive, "Decrypt", [])
            box = None
            for _ in range(20):
                box = case.runner.wait_box("Decrypt", press="none", timeout=2)
                if box:
                    break
            self.assertIsNotNone(box)
            second = case.run_command("Encrypt")
            self.assertEqual(second.code, 1, second)
            self.assertEqual([b.text for b in second.boxes], [BUSY])
            result = case.runner.finish(first, "Decrypt")
            self.assertEqual(result.code, 0, result)
        finally:
            case.doCleanups()


VERSION = "V1.3.8 (2011-03-23 11:28:09)"


class CommandLineTextNative(DriveTestCase):
    """--help and --version, whatever the copy is named: usage and version on
    standard output and exit code 0, for the program and the key drive tool."""
    runner_name = "native"

    def run_program(self, program, arg):
        return subprocess.run([program, arg], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=60, env=merge_env(os.environ, {"DISPLAY": None, "WAYLAND_DISPLAY": None,
                                                                    "XDG_RUNTIME_DIR": self.tmp}))

    def test_help_and_version_of_every_copy(self):
        from velkin_e2e import NATIVE_BUILD
        copies = [("velkin", os.path.join(NATIVE_BUILD, "velkin"), None),
                  ("Encrypt", os.path.join(self.drive, "Encrypt"), "encrypts"),
                  ("Status", os.path.join(self.drive, "Status"), "writes the key's status")]
        for name, program, default in copies:
            with self.subTest(copy=name):
                done = self.run_program(program, "--help")
                self.assertEqual((done.returncode, done.stderr), (0, ""), done)
                self.assertTrue(done.stdout.startswith("Usage: %s [-d | -e | -o | -s] [PATH]\n" % name),
                                done.stdout)
                for option in ("-d PATH", "-e PATH", "-o PATH", "-s ", "--help", "--version"):
                    self.assertIn("  " + option, done.stdout)
                if default:
                    self.assertIn("Named %s, this copy %s unless" % (name, default), done.stdout)
                done = self.run_program(program, "--version")
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (0, "Velkin %s\n" % VERSION, ""), done)
        # Nothing else ran: no log line, no key touched.
        self.assertEqual(read_log(self.drive) or "", "")

    def test_key_drive_tool(self):
        from velkin_e2e import keydrive_tool
        done = self.run_program(keydrive_tool(), "--version")
        self.assertEqual((done.returncode, done.stdout), (0, "velkin-keydrive %s\n" % VERSION), done)
        done = self.run_program(keydrive_tool(), "--help")
        self.assertEqual(done.returncode, 0, done)
        self.assertTrue(done.stdout.startswith("usage:\n  velkin-keydrive make FOLDER"), done.stdout)
        self.assertIn("velkin-keydrive --help | --version", done.stdout)


class CommandLineTextWine(DriveTestCase):
    """The Windows build writes the texts to standard output when it has one
    (redirected), and otherwise shows them in an information box."""
    runner_name = "wine"

    def test_redirected_output_gets_the_text(self):
        from velkin_e2e import WINE
        program = self.runner.program(self.drive, "Encrypt")
        for arg, expected in (("--version", "Velkin %s\n" % VERSION), ("--help", "Usage: Encrypt [-d")):
            with self.subTest(arg=arg):
                done = subprocess.run([WINE, program, arg], env=self.runner.env(), stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=120)
                self.assertEqual(done.returncode, 0, done)
                self.assertTrue(done.stdout.decode("utf-8").startswith(expected), done.stdout)
        tool = os.path.join(os.environ.get("VELKIN_WIN_BUILD", ""), "velkin-keydrive.exe")
        done = subprocess.run([WINE, tool, "--version"], env=self.runner.env(), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)
        self.assertEqual((done.returncode, done.stdout), (0, b"velkin-keydrive " + VERSION.encode() + b"\n"))

    def test_without_standard_output_a_box_shows_the_text(self):
        # Started by the prompt's start command, as from a shortcut: a
        # program for the desktop gets no standard output.
        from velkin_e2e import WINE
        program = self.runner.program(self.drive, "Status")
        process = subprocess.Popen([WINE, "cmd", "/c", "start /wait %s --help" % program], env=self.runner.env(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        result = self.runner.finish(process, "Status", timeout=120)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(len(result.boxes), 1, result)
        self.assertEqual(result.boxes[0].kind, "information")
        self.assertTrue(result.boxes[0].text.startswith("Usage: Status [-d | -e | -o | -s] [PATH]"), result)
        self.assertIn("Named Status, this copy writes the key's status", result.boxes[0].text)


if __name__ == "__main__":
    unittest.main()
