"""Start-up of the real program: command line, boxes, exit codes, the
single-instance guard and the start line in the log."""
import os
import re
import shutil
import subprocess
import time
import unittest

from velkin_e2e import DriveTestCase, both_builds, merge_env, read_bytes, read_log

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

    def test_unknown_options_are_refused_with_the_usage_before_anything_runs(self):
        plain = os.path.join(self.work, "a.txt")
        with open(plain, "wb") as f:
            f.write(b"hello")
        cases = [
            (["-E"], "-E"),                       # letters after '-' keep their case
            (["-"], None),
            (["-x" + self.p("a.txt")], "-x" + self.p("a.txt")),
            (["--force", self.p("a.txt")], "--force"),
            (["-e", "-name"], "-name"),           # a path that begins with '-' follows "--"
        ]
        for args, option in cases:
            with self.subTest(args=args):
                # Started and finished without run_command, which reports a
                # failure without a box (the point here) as unexpected.
                result = self.runner.finish(self.runner.start(self.drive, "Encrypt", args), "Encrypt")
                self.assertEqual((result.code, result.boxes), (2, []), result)
                errors = self.standard_error(result)
                problem = "'-' names no command" if option is None else "unknown option '%s'" % option
                self.assertIn("Encrypt: %s\nUsage: Encrypt [-d | -e | -o | -s] [--] [PATH]\n" % problem,
                              errors.replace("\r\n", "\n"))
        # Refused before the guard and the log line: nothing ran.
        self.assertEqual(read_log(self.drive) or "", "")
        self.assertTrue(os.path.exists(plain))

    def standard_error(self, result):
        if self.runner_name == "native":
            return result.stderr
        with open(self.runner.stderr_path(self.drive), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def test_double_dash_ends_the_options(self):
        # On Linux a relative name that begins with '-' follows "--"; a
        # Windows path is absolute, and "--" before it changes nothing.
        name = "-name" if self.runner_name == "native" else "plain.txt"
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(b"hello")
        path = name if self.runner_name == "native" else self.p(name)
        result = self.run_command("Encrypt", "-e", "--", path, cwd=self.work)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertTrue(os.path.exists(os.path.join(self.work, name + " (encrypted)")))
        self.assertFalse(os.path.exists(os.path.join(self.work, name)))

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

    def test_not_encrypted_with_this_key_is_said_with_the_key_number(self):
        plain = os.path.join(self.work, "plain.txt")
        with open(plain, "wb") as f:
            f.write(b"no encrypted file")
        key = self.key_number()
        # Dropped alone, a file Decrypt cannot decrypt is a failure that says why.
        result = self.run_command("Decrypt", self.p("plain.txt"))
        self.assertBox(result, "warning",
                       "Error: '%s' was not decrypted: it is not encrypted with this drive's key (key number %s). "
                       "It is a plaintext, or a file encrypted with another key." % (self.p("plain.txt"), key), 1)
        self.assertEqual(read_bytes(plain), b"no encrypted file")
        # In a dropped folder it is named in the closing box, beside what was decrypted.
        with open(os.path.join(self.work, "other.txt"), "wb") as f:
            f.write(b"to encrypt")
        self.assertEqual(self.run_command("Encrypt", self.p("other.txt")).code, 0)
        result = self.run_command("Decrypt", self.p())
        self.assertBox(result, "information",
                       "These were left as they are:\n'%s': it is not encrypted with this drive's key\n"
                       "This drive's key number is %s." % (self.p("plain.txt"), key), 0)
        self.assertEqual(read_bytes(os.path.join(self.work, "other.txt")), b"to encrypt")

    def key_number(self):
        self.assertEqual(self.run_command("Status").code, 0)
        return re.search(r"Key number: +(\S+)", read_log(self.drive)).group(1)

    def test_failing_command_shows_the_error_box(self):
        missing = self.p("missing.txt")
        result = self.run_command("Decrypt", missing)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.boxes[-1].kind, "warning")
        self.assertTrue(result.boxes[-1].text.startswith("Error: cannot find '%s': " % missing), result)


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
        # The guard is keyed on the file, not on the path's text: every other
        # spelling of the same file is refused too...
        for spelling in (self.case.work + "//he-ld", os.path.join(self.case.work, "..", "work", "he-ld")):
            third = self.case.run_command("Encrypt", spelling)
            self.assertEqual((third.code, third.boxes[-1].text if third.boxes else ""), (1, BUSY), spelling)
        # ... and another file whose path differs only in punctuation is not.
        other = os.path.join(self.case.work, "he_ld")
        with open(other, "wb") as f:
            f.write(b"another file")
        fourth = self.case.run_command("Encrypt", other)
        self.assertEqual((fourth.code, fourth.boxes), (0, []), fourth)
        self.assertTrue(os.path.exists(other + " (encrypted)"))

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
                self.assertTrue(done.stdout.startswith("Usage: %s [-d | -e | -o | -s] [--] [PATH]\n" % name),
                                done.stdout)
                for option in ("-d PATH", "-e PATH", "-o PATH", "-s ", "-- ", "-h, --help", "--version"):
                    self.assertIn("\n  " + option, done.stdout)
                self.assertEqual(self.run_program(program, "-h").stdout, done.stdout)
                if default:
                    self.assertIn("Named %s, this copy %s unless" % (name, default), done.stdout)
                done = self.run_program(program, "--version")
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (0, "Velkin %s\n" % VERSION, ""), done)
        # Nothing else ran: no log line, no key touched.
        self.assertEqual(read_log(self.drive) or "", "")

    def test_outside_a_key_drive_the_program_says_where_it_runs_from(self):
        from velkin_e2e import NATIVE_BUILD
        plain = os.path.join(self.work, "a.txt")
        with open(plain, "wb") as f:
            f.write(b"hello")
        done = subprocess.run([os.path.join(NATIVE_BUILD, "velkin"), "-e", plain], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60,
                              env=merge_env(os.environ, {"DISPLAY": None, "WAYLAND_DISPLAY": None,
                                                         "XDG_RUNTIME_DIR": self.tmp}))
        self.assertEqual(done.returncode, 1, done)
        self.assertEqual(done.stderr, "[warning] velkin: Error: '%s' is not a key drive: the program works with "
                         "the key (SETTINGS/KEY.DAT) of the drive it runs from. Run the copy on your key drive "
                         "instead (Encrypt, Decrypt, Open or Status in its top folder), or make a key drive with "
                         "velkin-keydrive make\n" % os.path.abspath(NATIVE_BUILD))
        self.assertTrue(os.path.exists(plain))

    def test_key_drive_tool(self):
        from velkin_e2e import keydrive_tool
        done = self.run_program(keydrive_tool(), "--help")
        self.assertEqual(done.returncode, 0, done)
        self.assertTrue(done.stdout.startswith("usage:\n  velkin-keydrive make FOLDER"), done.stdout)
        self.assertIn("velkin-keydrive -h | --help | --version", done.stdout)
        self.assertEqual(self.run_program(keydrive_tool(), "-h").stdout, done.stdout)

    def test_every_program_gives_the_same_version_line(self):
        from velkin_e2e import NATIVE_BUILD
        for program, name in (("velkin", "Velkin"), ("velkin-keydrive", "velkin-keydrive"), ("bkgui", "bkgui"),
                              ("bkfm", "bkfm")):
            with self.subTest(program=program):
                path = os.path.join(NATIVE_BUILD, program)
                if not os.path.exists(path):
                    self.skipTest("%s is not built" % program)
                done = self.run_program(path, "--version")
                self.assertEqual((done.returncode, done.stdout), (0, "%s %s\n" % (name, VERSION)), done)


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

    def start_without_standard_handles(self, command, *args):
        """Started by the prompt's start command, as from a shortcut: a
        program for the desktop gets no standard output or error."""
        from velkin_e2e import WINE
        program = self.runner.program(self.drive, command)
        return subprocess.Popen([WINE, "cmd", "/c", "start /wait %s %s" % (program, " ".join(args))],
                                env=self.runner.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def test_without_standard_output_a_box_shows_the_text_laid_out_for_it(self):
        for arg in ("--help", "-h"):
            with self.subTest(arg=arg):
                result = self.runner.finish(self.start_without_standard_handles("Status", arg), "Status",
                                            timeout=120)
                self.assertEqual(result.code, 0, result)
                self.assertEqual(len(result.boxes), 1, result)
                box = result.boxes[0]
                self.assertEqual(box.kind, "information")
                self.assertTrue(box.text.startswith("Usage: Status [-d | -e | -o | -s] [--] [PATH]\n\n"), result)
                self.assertIn("\nNamed Status, this copy writes the key's status unless an option says "
                              "otherwise:\n", box.text)
                # One line per option, whole, with no columns of blanks.
                self.assertIn("\n-d PATH \u2013 decrypt the file, or every encrypted file in the folder, and erase "
                              "the encrypted files\n", box.text)
                self.assertNotIn("  ", box.text)

    def test_unknown_option_is_a_warning_with_the_usage(self):
        result = self.runner.finish(self.start_without_standard_handles("Encrypt", "-x"), "Encrypt", timeout=120)
        self.assertEqual(result.code, 2, result)
        self.assertEqual(len(result.boxes), 1, result)
        self.assertEqual(result.boxes[0].kind, "warning")
        self.assertTrue(result.boxes[0].text.startswith(
            "The command line is not understood: unknown option '-x'.\n\nUsage: Encrypt "), result)

    def test_outside_a_key_drive_the_program_says_where_it_runs_from(self):
        from velkin_e2e import WINE, WIN_BUILD
        plain = os.path.join(self.work, "a.txt")
        with open(plain, "wb") as f:
            f.write(b"hello")
        process = subprocess.Popen([WINE, os.path.join(WIN_BUILD, "velkin.exe"), "-e", self.p("a.txt")],
                                   env=self.runner.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        result = self.runner.finish(process, "velkin", timeout=120)
        self.assertEqual(result.code, 1, result)
        self.assertEqual([b.kind for b in result.boxes], ["warning"], result)
        self.assertTrue(result.boxes[0].text.startswith(
            "Error: '%s' is not a key drive: the program works with the key (SETTINGS/KEY.DAT) of the drive it "
            "runs from." % self.runner.path(WIN_BUILD)), result)
        self.assertTrue(os.path.exists(plain))


if __name__ == "__main__":
    unittest.main()
