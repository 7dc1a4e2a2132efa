"""What a walk leaves alone, and names: the key drive's own files, links;
and files that are one file under several spellings (both builds)."""
import os

from formatcodec import SUFFIX
from velkin_e2e import DriveTestCase, both_builds, read_log, read_status
from velkin_e2e import read_bytes as read, write_bytes as write

SKIPPED_HEADING = "These were left as they are:"


@both_builds
class DriveFilesCases:
    drive_size = "1M"

    def drive_path(self, *parts):
        return self.runner.path(os.path.join(self.drive, *parts))

    def test_the_key_drive_dropped_whole_keeps_its_own_files_and_names_them(self):
        # A document of the user's on the key drive, beside the program.
        write(os.path.join(self.drive, "diary.txt"), b"dear diary")
        settings = os.path.join(self.drive, "SETTINGS")
        key_files = {name: read(os.path.join(settings, name)) for name in ("KEY.DAT", "INDEX.DAT")}
        programs = {name: read(os.path.join(self.drive, name)) for name in os.listdir(self.drive)
                    if os.path.isfile(os.path.join(self.drive, name)) and name != "diary.txt"}

        result = self.run_command("Encrypt", self.runner.path(self.drive))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(len(result.boxes), 1, result)
        box = result.boxes[0]
        self.assertEqual(box.kind, "information", result)
        self.assertTrue(box.text.startswith(SKIPPED_HEADING), box.text)
        self.assertIn("': it is one of the key drive's own files", box.text)
        # The box names the first ten, the log every one.
        log = read_log(self.drive)
        for name in ("SETTINGS", "LOG", "TEMP", "Encrypt", "Decrypt", "Open", "Status") + (
                ("Encrypt.exe", "Status.exe") if self.runner.name == "wine" else ()):
            self.assertIn("skipping '%s' because it is one of the key drive's own files"
                          % self.drive_path(name), log)
        self.assertFalse(os.path.exists(os.path.join(self.drive, "diary.txt")))
        self.assertTrue(os.path.exists(os.path.join(self.drive, "diary.txt" + SUFFIX)))
        for name, data in key_files.items():
            self.assertEqual(read(os.path.join(settings, name)), data, name)
        for name, data in programs.items():
            self.assertEqual(read(os.path.join(self.drive, name)), data, name)

        result = self.run_command("Decrypt", self.runner.path(self.drive))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(read(os.path.join(self.drive, "diary.txt")), b"dear diary")

    def test_the_key_drives_files_dropped_alone_are_refused(self):
        before = read_status(self.drive)
        for parts in (("SETTINGS",), ("SETTINGS", "KEY.DAT"), ("SETTINGS", "STATUS.DAT")):
            path = self.drive_path(*parts)
            for command in ("Encrypt", "Decrypt"):
                with self.subTest(path=path, command=command):
                    result = self.run_command(command, path)
                    self.assertBox(result, "warning",
                                   "Error: '%s' is one of the key drive's own files; they are never "
                                   "encrypted, decrypted or erased" % path, 1)
        self.assertEqual(read_status(self.drive), before)


class LinksNamedNative(DriveTestCase):
    """A link inside a dropped folder is left alone and named in the closing box."""
    runner_name = "native"

    def test_a_link_is_named_in_the_closing_box(self):
        folder = os.path.join(self.work, "folder")
        os.makedirs(folder)
        write(os.path.join(folder, "real.txt"), b"real")
        write(os.path.join(self.work, "elsewhere.txt"), b"elsewhere")
        os.symlink(os.path.join(self.work, "elsewhere.txt"), os.path.join(folder, "link.txt"))
        result = self.run_command("Encrypt", folder)
        self.assertBox(result, "information", "%s\n'%s': it is a link: links are not followed"
                       % (SKIPPED_HEADING, os.path.join(folder, "link.txt")), 0)
        self.assertEqual(read(os.path.join(self.work, "elsewhere.txt")), b"elsewhere")
        self.assertTrue(os.path.exists(os.path.join(folder, "real.txt" + SUFFIX)))


class SpellingsWine(DriveTestCase):
    """A file that kept its own name when encrypted (VKLIB_OPENER), dropped on
    Decrypt under another spelling of that name: the plaintext replaces the
    encrypted file and stays. The comparison of names once took the two
    spellings for two files and erased the plaintext just written."""
    runner_name = "wine"

    def explain(self, result):
        """The result with the drive's log and the folder's names, for a failure."""
        return "%s\nfiles: %s\nlog:\n%s" % (result, os.listdir(self.work), read_log(self.drive))

    def test_other_spellings_of_the_stored_name_keep_the_plaintext(self):
        for spelling in ("report.txt", "REPORT.TXT", "Report.txt."):
            with self.subTest(spelling=spelling):
                plain = os.path.join(self.work, "report.txt")
                write(plain, b"quarterly figures " * 100)
                result = self.run_command("Encrypt", self.p("report.txt"), env={"VKLIB_OPENER": "1"})
                self.assertEqual((result.code, result.boxes), (0, []), self.explain(result))
                self.assertEqual(os.listdir(self.work), ["report.txt"])
                self.assertNotEqual(read(plain), b"quarterly figures " * 100)

                result = self.run_command("Decrypt", self.p(spelling))
                self.assertEqual((result.code, result.boxes), (0, []), self.explain(result))
                self.assertEqual(os.listdir(self.work), ["report.txt"])
                self.assertEqual(read(plain), b"quarterly figures " * 100)
                os.remove(plain)
