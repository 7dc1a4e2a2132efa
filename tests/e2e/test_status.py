"""The status command's log lines and debug mode, through the real program."""
import os
import struct

from velkin_e2e import DriveTestCase, both_builds, read_log, read_status

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEBUG_FILE = os.path.join(REPO, "tools", "debug-enable", "velkin-debug.key")


def key_block0(drive):
    with open(os.path.join(drive, "SETTINGS", "KEY.DAT"), "rb") as f:
        return f.read(1024)


@both_builds
class StatusCases:
    def test_status_writes_key_number_usage_and_version(self):
        block0 = key_block0(self.drive)
        number = "-".join("%04X" % v for v in struct.unpack("<6H", block0[:12]))
        result = self.run_command("Status")
        self.assertEqual((result.code, result.boxes), (0, []), result)
        log = read_log(self.drive)
        self.assertIn("Key number:          %s\r\n" % number, log)
        self.assertIn("Key usage:           0.0% \r\n", log)
        self.assertIn("Program version:     V1.3.8 (2011-03-23 11:28:09)\r\n", log)

    def test_usage_follows_the_record(self):
        high, first, last = read_status(self.drive)
        used = (last - first - 1) // 4
        with open(os.path.join(self.drive, "SETTINGS", "STATUS.DAT"), "wb") as f:
            f.write(struct.pack("<III", first + used, first, last))
        self.run_command("Status")
        expected = "%.1f%% " % (used * 100.0 / (last - first - 1))
        self.assertIn("Key usage:           %s\r\n" % expected, read_log(self.drive))

    def test_a_key_that_cannot_be_read_fails_the_status(self):
        """Without its key file, or with a damaged usage record, the status
        command fails and says why, instead of logging a usage of 0.0%."""
        settings = os.path.join(self.drive, "SETTINGS")
        with open(os.path.join(settings, "STATUS.DAT"), "rb") as f:
            record = f.read()
        cases = [
            ("no key file", lambda: os.rename(os.path.join(settings, "KEY.DAT"), os.path.join(settings, "KEY.OLD")),
             lambda: os.rename(os.path.join(settings, "KEY.OLD"), os.path.join(settings, "KEY.DAT")),
             "/SETTINGS/KEY.DAT': "),
            ("a usage record cut short", lambda: self.write_record(record[:8]), lambda: self.write_record(record),
             "'SETTINGS/STATUS.DAT' is damaged: it holds 8 bytes where a usage record has 12"),
        ]
        for what, spoil, mend, text in cases:
            with self.subTest(what=what):
                spoil()
                result = self.run_command("Status")
                mend()
                self.assertEqual(result.code, 1, result)
                self.assertTrue(result.boxes, result)
                self.assertTrue(result.boxes[-1].text.startswith("Error: "), result)
                self.assertIn(text, result.boxes[-1].text)
                self.assertNotIn("Key usage:", read_log(self.drive) or "")

    def write_record(self, data):
        with open(os.path.join(self.drive, "SETTINGS", "STATUS.DAT"), "wb") as f:
            f.write(data)

    def debug_lines(self, env):
        self.run_command("Status", env=env)
        log = read_log(self.drive)
        return log, [e for e in log.split("\r\n\r\n") if "key(source)" in e]

    def test_debug_mode_needs_both_variables_and_the_right_file(self):
        first_word = struct.unpack("<I", key_block0(self.drive)[:4])[0]
        log, lines = self.debug_lines({"VKLIB_DEBUG": "1",
                                       "VKLIB_MANUFACTURER": self.runner.path(DEBUG_FILE)})
        self.assertTrue(lines, log)
        self.assertTrue(lines[0].endswith("read key(source)  %x" % first_word), lines[0])

    def test_debug_mode_off_without_VKLIB_DEBUG(self):
        missing = self.runner.path(os.path.join(self.work, "nothing.key"))
        log, lines = self.debug_lines({"VKLIB_MANUFACTURER": missing})
        self.assertEqual(lines, [])
        self.assertNotIn("ERROR", log)      # the named file was never read

    def test_debug_mode_off_when_the_file_is_missing(self):
        missing = self.runner.path(os.path.join(self.work, "nothing.key"))
        log, lines = self.debug_lines({"VKLIB_DEBUG": "", "VKLIB_MANUFACTURER": missing})
        self.assertEqual(lines, [])
        errors = [e for e in log.split("\r\n\r\n") if "ERROR: " in e]
        self.assertEqual(len(errors), 1, log)
        self.assertIn("ERROR: cannot open file '%s': " % missing, errors[0])

    def test_debug_mode_off_with_another_file(self):
        other = os.path.join(self.work, "other.key")
        with open(other, "wb") as f:
            f.write(b"not the debug-enable file")
        log, lines = self.debug_lines({"VKLIB_DEBUG": "1", "VKLIB_MANUFACTURER": self.runner.path(other)})
        self.assertEqual(lines, [])


class StartPathNative(DriveTestCase):
    """On POSIX the program takes its command and its key drive from the path
    it was started by: a symbolic link is not resolved, a bare name is
    looked up on PATH."""
    runner_name = "native"

    def assertStatusLogged(self):
        log = read_log(self.drive)
        self.assertIsNotNone(log)
        self.assertIn("command is 's'", log)
        self.assertIn("Program version:     V1.3.8", log)

    def test_symbolic_link_on_the_drive(self):
        import subprocess
        from velkin_e2e import NATIVE_BUILD
        link = os.path.join(self.drive, "Status")
        os.remove(link)
        os.symlink(os.path.join(NATIVE_BUILD, "velkin"), link)
        done = subprocess.run([link], stdin=subprocess.DEVNULL, capture_output=True,
                              env=dict(os.environ, XDG_RUNTIME_DIR=self.work))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertStatusLogged()

    def test_bare_name_found_on_PATH(self):
        import subprocess
        done = subprocess.run(["Status"], stdin=subprocess.DEVNULL, capture_output=True, cwd=self.work,
                              env=dict(os.environ, XDG_RUNTIME_DIR=self.work,
                                       PATH=self.drive + os.pathsep + os.environ.get("PATH", "")))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertStatusLogged()
