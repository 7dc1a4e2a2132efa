"""Backup key drives and the digest of the key file, through the real
program and the key drive tool.

A backup made by `velkin-keydrive backup` decrypts every file of its key,
made by its source or by a partner split from the source, before and after
the backup was made, and refuses to encrypt (Encrypt, Open's re-encryption,
a workspace's write-back) with a message that says why; no decryption on it
moves a mark. A backup cut off at any moment is never taken for a drive. A
key file with one changed byte is found by check, which names its blocks,
and a decryption that fails because of it says so, while the backup still
reads the file."""
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest

import formatcodec
from velkin_e2e import (NATIVE_BUILD, ONLY, RUNNERS, WIN_BUILD, WINE, DriveTestCase, both_builds, keydrive_tool,
                        make_drive, read_bytes, read_status, tree_contents, write_bytes)
from workspace_e2e import SUFFIX as WORKSPACE_SUFFIX
from workspace_e2e import run_on_terminal

SUFFIX = formatcodec.SUFFIX
REFUSAL = "is a backup key drive: it decrypts, and never encrypts, so that no key block is used twice"
BACKUP_RECORD = (0, 0xFFFFFFFF, 0)
STOPPED = 3            # the tool's exit code when a test stops it dead
STEPS = 8              # the steps after which a test may stop it


def run_tool(*args, env=None):
    """The native key drive tool; its whole output (standard output and error)."""
    done = subprocess.run([keydrive_tool()] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=dict(os.environ, **(env or {})))
    return done.returncode, done.stdout + done.stderr


def has_key(drive):
    return os.path.exists(os.path.join(drive, "SETTINGS", "KEY.DAT"))


def assert_refused(test, result):
    """The program ended with the backup drive's refusal."""
    test.assertEqual(result.code, 1, result)
    test.assertTrue(result.boxes, result)
    test.assertIn(REFUSAL, result.boxes[-1].text)


@both_builds
class BackupCases:
    drive_size = "1M"

    def setUp(self):
        super().setUp()
        self.partner = os.path.join(self.tmp, "partner")
        self.backup = os.path.join(self.tmp, "backup")
        code, output = run_tool("split", self.drive, self.partner)
        self.assertEqual(code, 0, output)
        # Files of both drives from before the backup.
        self.files = {}
        self.encrypt_on(self.drive, "source before.txt", b"made by the source before the backup\n" * 40)
        self.encrypt_on(self.partner, "partner before.bin", os.urandom(5000))
        code, output = run_tool("backup", self.drive, self.backup)
        self.assertEqual(code, 0, output)
        self.assertIn("backup drive (decrypts only)", output)

    def encrypt_on(self, drive, name, data):
        write_bytes(os.path.join(self.work, name), data)
        result = self.runner.run(drive, "Encrypt", [self.p(name)])
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.files[name] = data

    def records(self):
        return {drive: read_status(drive) for drive in (self.drive, self.partner, self.backup)}

    def test_backup_decrypts_every_file_of_the_key_and_moves_no_mark(self):
        self.encrypt_on(self.drive, "source after.txt", b"made by the source after the backup\n")
        self.encrypt_on(self.partner, "partner after.bin", os.urandom(70000))
        self.assertEqual(read_status(self.backup), BACKUP_RECORD)
        before = self.records()
        for name, data in self.files.items():
            with self.subTest(name=name):
                result = self.runner.run(self.backup, "Decrypt", [self.p(name + SUFFIX)])
                self.assertEqual((result.code, result.boxes), (0, []), result)
                self.assertEqual(read_bytes(os.path.join(self.work, name)), data)
                self.assertFalse(os.path.exists(os.path.join(self.work, name + SUFFIX)))
        self.assertEqual(self.records(), before)

    def test_backup_refuses_to_encrypt_and_says_why(self):
        before = self.records()
        write_bytes(os.path.join(self.work, "letter.txt"), b"dear partner")
        os.makedirs(os.path.join(self.work, "folder"))
        write_bytes(os.path.join(self.work, "folder", "inside.txt"), b"inside")
        files = tree_contents(self.work)
        for command, name in (("Encrypt", "letter.txt"), ("Encrypt", "folder"), ("Open", "letter.txt")):
            with self.subTest(command=command, name=name):
                assert_refused(self, self.runner.run(self.backup, command, [self.p(name)]))
                self.assertEqual(tree_contents(self.work), files)
        self.assertEqual(self.records(), before)

    def test_status_names_a_backup_drive(self):
        result = self.runner.run(self.backup, "Status")
        self.assertEqual((result.code, result.boxes), (0, []), result)
        log = read_bytes(os.path.join(self.backup, "LOG", "log.txt")).decode("utf-8")
        self.assertIn("Key usage:           backup drive (decrypts only)\r\n", log)
        number = read_bytes(os.path.join(self.drive, "SETTINGS", "KEY.DAT"))[:12]
        self.assertIn("Key number:          %s\r\n" % "-".join(
            "%02X%02X" % (number[i + 1], number[i]) for i in range(0, 12, 2)), log)
        # Open without a file shows the same in its box, where a drive shows its usage.
        result = self.runner.run(self.backup, "Open")
        self.assertEqual(result.code, 0, result)
        self.assertIn("\n\nThis is a backup key drive: it decrypts only.\n\nThe key number is ", result.boxes[-1].text)

    def flip_a_block_of(self, name):
        """Changes one byte of the first key block that the body of the
        file's encryption drew, on the source's key file; the block's number."""
        store = formatcodec.KeyStore(self.drive)
        decoded = formatcodec.read_encrypted(store, read_bytes(os.path.join(self.work, name + SUFFIX)))
        block = store.draws(decoded.first_block, 3)[2]
        key = os.path.join(self.drive, "SETTINGS", "KEY.DAT")
        with open(key, "r+b") as f:
            f.seek(block * 1024 + 333)
            byte = f.read(1)
            f.seek(block * 1024 + 333)
            f.write(bytes([byte[0] ^ 0x08]))
        return block

    def test_a_decayed_key_file_is_found_and_the_backup_still_reads(self):
        name = "source before.txt"
        block = self.flip_a_block_of(name)
        code, output = run_tool("check", self.drive)
        self.assertEqual(code, 1, output)
        # A 1 MiB key is one range of blocks.
        self.assertLessEqual(block, 1023)
        self.assertIn("PROBLEM: the key file no longer matches the digest made with it, first in key blocks "
                      "0 to 1023", output)

        encrypted = os.path.join(self.work, name + SUFFIX)
        result = self.runner.run(self.drive, "Decrypt", [self.p(name + SUFFIX)])
        self.assertEqual(result.code, 1, result)
        text = result.boxes[-1].text
        self.assertIn("may have been tampered with, digest check failed", text)
        self.assertIn("\n\nThe key drive itself is damaged: its key file no longer matches the digest kept with it "
                      "in key blocks 0 to 1023, which this file was encrypted with. The file is probably intact: "
                      "decrypt it with a backup of this key drive", text)
        self.assertTrue(os.path.exists(encrypted))

        # The unverified copy went aside; the backup reads the file.
        for left in os.listdir(self.work):
            if left.endswith(".tmp"):
                os.remove(os.path.join(self.work, left))
        result = self.runner.run(self.backup, "Decrypt", [self.p(name + SUFFIX)])
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(read_bytes(os.path.join(self.work, name)), self.files[name])

    def test_a_tampered_file_on_a_sound_drive_blames_the_file(self):
        name = "partner before.bin"
        path = os.path.join(self.work, name + SUFFIX)
        data = bytearray(read_bytes(path))
        data[2048 + 10] ^= 0x01
        write_bytes(path, bytes(data))
        result = self.runner.run(self.backup, "Decrypt", [self.p(name + SUFFIX)])
        self.assertEqual(result.code, 1, result)
        self.assertIn("may have been tampered with, digest check failed", result.boxes[-1].text)
        self.assertNotIn("key drive itself is damaged", result.boxes[-1].text)


class BackupOpenNative(DriveTestCase):
    """Open on a backup drive reads a file; an edit is not encrypted again,
    and the edited copy is kept. The same inside a Secure Workspace opened
    with the backup: the workspace stays as it was."""
    runner_name = "native"
    drive_size = "1M"

    def setUp(self):
        super().setUp()
        self.backup = os.path.join(self.tmp, "backup")
        code, output = run_tool("backup", self.drive, self.backup)
        self.assertEqual(code, 0, output)
        self.editor = os.path.join(self.tmp, "editor.sh")
        with open(self.editor, "w") as f:
            f.write("#!/bin/sh\nprintf 'edited on the backup' > \"$1\"\n")
        os.chmod(self.editor, 0o755)

    def test_open_reads_and_keeps_an_edit_it_cannot_encrypt(self):
        write_bytes(os.path.join(self.work, "notes.txt"), b"the first words")
        self.assertEqual(self.runner.run(self.drive, "Encrypt", [self.p("notes.txt")]).code, 0)
        encrypted = os.path.join(self.work, "notes.txt" + SUFFIX)
        before = read_bytes(encrypted)
        records = read_status(self.drive), read_status(self.backup)
        result = run_on_terminal(self.runner, self.backup, "Open", [encrypted], [], env={"EDITOR": self.editor})
        self.assertEqual(result.code, 1, result)
        text = result.boxes[-1].text
        self.assertIn(REFUSAL, text)
        working = os.path.join(self.backup, "TEMP", "notes.txt")
        self.assertIn("Your changes were not encrypted; the edited file is kept as '%s'. Encrypt it with "
                      "your key drive, or delete it" % working, text)
        self.assertEqual(read_bytes(working), b"edited on the backup")
        self.assertEqual(read_bytes(encrypted), before)
        self.assertEqual((read_status(self.drive), read_status(self.backup)), records)

    def test_a_workspace_opened_with_the_backup_is_not_written_back(self):
        folder = os.path.join(self.work, "desk")
        os.makedirs(folder)
        write_bytes(os.path.join(folder, "plain.txt"), b"in the workspace")
        made = run_on_terminal(self.runner, self.drive, "Open", [folder], ["y", "q"])
        self.assertEqual(made.code, 0, made)
        archive = folder + WORKSPACE_SUFFIX
        before = read_bytes(archive)
        result = run_on_terminal(self.runner, self.backup, "Open", [archive], ["o plain.txt", "q"],
                                 env={"EDITOR": self.editor})
        # The edit stays named in the drive's TEMP folder; nothing reaches the archive.
        working = os.path.join(self.backup, "TEMP", "plain.txt")
        self.assertIn("left the working copy '%s'" % working, result.stderr)
        self.assertEqual(read_bytes(working), b"edited on the backup")
        self.assertTrue(any(REFUSAL in box.text for box in result.boxes), result)
        self.assertEqual(read_bytes(archive), before)
        self.assertEqual(read_status(self.backup), BACKUP_RECORD)


class BackupOpenWine(DriveTestCase):
    """The Windows build: Open's re-encryption (in Wine's notepad) and a
    workspace member's write-back are refused on a backup drive."""
    runner_name = "wine"
    drive_size = "1M"
    TITLE = "notes.txt - Notepad"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        subprocess.run([WINE, "reg", "add", "HKCR\\.txt", "/ve", "/d", "txtfile", "/f"], env=cls.runner.env(),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def setUp(self):
        super().setUp()
        self.backup = os.path.join(self.tmp, "backup")
        code, output = run_tool("backup", self.drive, self.backup)
        self.assertEqual(code, 0, output)
        self.addCleanup(self.helper, "close", "--caption", self.TITLE, "--timeout", "0.5")

    def helper(self, *args):
        return subprocess.run([WINE, self.runner.helper()] + list(args), env=self.runner.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE).returncode

    def test_an_edit_in_notepad_is_not_encrypted_on_a_backup(self):
        write_bytes(os.path.join(self.work, "notes.txt"), b"first version\r\n")
        self.assertEqual(self.runner.run(self.drive, "Encrypt", [self.p("notes.txt")]).code, 0)
        encrypted = os.path.join(self.work, "notes.txt" + SUFFIX)
        before = read_bytes(encrypted)
        process = self.runner.start(self.backup, "Open", [self.p("notes.txt" + SUFFIX)])
        self.assertEqual(self.helper("edit", "--caption", self.TITLE, "--text", "edited in notepad"), 0)
        result = self.runner.finish(process, "Open")
        self.assertEqual(result.code, 1, result)
        self.assertIn(REFUSAL, result.boxes[-1].text)
        self.assertIn("Your changes were not encrypted; the edited file is kept as 'K:\\TEMP\\notes.txt'.",
                      result.boxes[-1].text)
        self.assertEqual(read_bytes(os.path.join(self.backup, "TEMP", "notes.txt")), b"edited in notepad")
        self.assertEqual(read_bytes(encrypted), before)
        self.assertEqual(read_status(self.backup), BACKUP_RECORD)

    def test_a_workspace_member_is_not_written_back_on_a_backup(self):
        # A workspace made on the source: its files encrypted under their own
        # names and packed by the archive tool, as a conversion does.
        folder = os.path.join(self.work, "desk")
        os.makedirs(folder)
        write_bytes(os.path.join(folder, "notes.txt"), b"in the workspace\r\n")
        result = self.runner.run(self.drive, "Encrypt", [self.p("desk")], env={"VKLIB_OPENER": "1"})
        self.assertEqual((result.code, result.boxes), (0, []), result)
        archive = folder + WORKSPACE_SUFFIX
        pack = subprocess.run([WINE, os.path.join(WIN_BUILD, "bkgui.exe"), "u", "-ttar", self.runner.path(archive),
                               self.runner.path(folder) + "\\*"], env=self.runner.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(pack.returncode, 0, pack.stderr)
        before = read_bytes(archive)
        process = subprocess.Popen([WINE, os.path.join(WIN_BUILD, "bkfm.exe"), self.runner.path(archive), "open",
                                    "notes.txt"], env=self.runner.env({"VKLIB_OPENER": self.runner.program(
                                        self.backup, "Open")}),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(self.helper("edit", "--caption", self.TITLE, "--text", "edited in notepad"), 0)
        result = self.runner.finish(process, "Open")
        self.assertEqual(result.code, 1, result)
        self.assertTrue(any(REFUSAL in box.text for box in result.boxes), result)
        self.assertEqual(read_bytes(archive), before)
        self.assertEqual(read_status(self.backup), BACKUP_RECORD)


class BackupToolWine(DriveTestCase):
    """The Windows key drive tool under Wine makes a backup that the Windows
    program decrypts with and refuses to encrypt with, and refuses a backup
    inside its source."""
    runner_name = "wine"
    drive_size = "1M"

    def windows_tool(self, *args):
        done = subprocess.run([WINE, os.path.join(WIN_BUILD, "velkin-keydrive.exe")] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.runner.env())
        output = (done.stdout + done.stderr).decode("utf-8", "replace").replace("\r\n", "\n")
        return done.returncode, output

    def test_windows_tool_makes_a_backup(self):
        write_bytes(os.path.join(self.work, "note.txt"), b"read me on the backup")
        self.assertEqual(self.runner.run(self.drive, "Encrypt", [self.p("note.txt")]).code, 0)
        backup = os.path.join(self.tmp, "backup")
        inside = os.path.join(self.drive, "TEMP", "backup")
        code, output = self.windows_tool("backup", self.runner.path(self.drive), self.runner.path(inside))
        self.assertEqual(code, 1, output)
        self.assertIn("lies inside", output)
        self.assertFalse(os.path.exists(inside))
        code, output = self.windows_tool("backup", self.runner.path(self.drive), self.runner.path(backup))
        self.assertEqual(code, 0, output)
        self.assertIn("backup drive (decrypts only)", output)
        self.assertEqual(read_status(backup), BACKUP_RECORD)
        code, output = run_tool("check", backup)
        self.assertEqual(code, 0, output)
        result = self.runner.run(backup, "Decrypt", [self.p("note.txt" + SUFFIX)])
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(read_bytes(os.path.join(self.work, "note.txt")), b"read me on the backup")
        assert_refused(self, self.runner.run(backup, "Encrypt", [self.p("note.txt")]))
        self.assertEqual(read_status(backup), BACKUP_RECORD)


def native_available():
    return ONLY in ("", "native") and bool(NATIVE_BUILD) and os.path.exists(keydrive_tool())


class BackupToolNative(unittest.TestCase):
    """The native key drive tool's backup as a whole process, stopped and
    killed part of the way."""

    def setUp(self):
        if not native_available():
            self.skipTest("native build not available")
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix="velkin-backup-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.source = make_drive(os.path.join(self.tmp, "source"), "16M")
        self.target = os.path.join(self.tmp, "target")
        self.pristine = os.path.join(self.tmp, "pristine")
        shutil.copytree(self.source, self.pristine, symlinks=True)

    def fresh(self):
        for folder in (self.source, self.target):
            shutil.rmtree(folder, True)
        shutil.copytree(self.pristine, self.source, symlinks=True)

    def assertNeverADriveThatEncrypts(self):
        """A target with its key file is a whole backup; without it, nothing
        the program would take for a drive. The source is as it was."""
        self.assertEqual(tree_contents(self.source), tree_contents(self.pristine))
        # As the end-to-end runner starts the program: its boxes on standard
        # error, never a desktop dialog that waits for a click.
        env = RUNNERS["native"].env(self.target)
        status = subprocess.run([os.path.join(self.target, "Status")], stdin=subprocess.DEVNULL,
                                capture_output=True, env=env) \
            if os.path.exists(os.path.join(self.target, "Status")) else None
        if has_key(self.target):
            self.assertEqual(read_status(self.target), BACKUP_RECORD)
            code, output = run_tool("check", self.target)
            self.assertEqual(code, 0, output)
        elif status is not None:
            self.assertEqual(status.returncode, 1, status.stderr)
        write_bytes(os.path.join(self.tmp, "plain.txt"), b"must stay plain")
        if os.path.exists(os.path.join(self.target, "Encrypt")):
            done = subprocess.run([os.path.join(self.target, "Encrypt"), os.path.join(self.tmp, "plain.txt")],
                                  stdin=subprocess.DEVNULL, capture_output=True, env=env)
            self.assertEqual(done.returncode, 1, done.stderr)
        self.assertEqual(read_bytes(os.path.join(self.tmp, "plain.txt")), b"must stay plain")
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "plain.txt" + SUFFIX)))

    def test_backup_stopped_dead_after_each_step(self):
        for step in range(1, STEPS + 1):
            with self.subTest(step=step):
                self.fresh()
                code, output = run_tool("backup", self.source, self.target, env={"VKLIB_TEST_SPLIT_STOP": str(step)})
                self.assertEqual(code, STOPPED, output)
                self.assertEqual(has_key(self.target), step == STEPS)
                self.assertNeverADriveThatEncrypts()
                code, output = run_tool("backup", self.source, self.target)
                self.assertEqual(code, 1 if step == STEPS else 0, output)
                self.assertNeverADriveThatEncrypts()

    def test_backup_killed_at_random_moments(self):
        started = time.time()
        code, output = run_tool("backup", self.source, os.path.join(self.tmp, "timing"))
        self.assertEqual(code, 0, output)
        duration = time.time() - started
        shutil.rmtree(os.path.join(self.tmp, "timing"))
        chance = random.Random(28)
        for attempt in range(6):
            with self.subTest(attempt=attempt):
                self.fresh()
                process = subprocess.Popen([keydrive_tool(), "backup", self.source, self.target],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(chance.uniform(0, duration))
                process.kill()
                process.wait()
                self.assertNeverADriveThatEncrypts()

    def test_refusals(self):
        backup = os.path.join(self.tmp, "backup")
        code, output = run_tool("backup", self.source, backup)
        self.assertEqual(code, 0, output)
        cases = [
            ("a backup of a backup", ("backup", backup, self.target), "a backup is made from a key drive that encrypts"),
            ("a split of a backup", ("split", backup, self.target), "it has no range of its own to split"),
            ("a backup inside its source", ("backup", self.source, os.path.join(self.source, "TEMP", "b")),
             "lies inside"),
            ("a partner inside its source", ("split", self.source, os.path.join(self.source, "partner")),
             "lies inside"),
        ]
        for what, args, text in cases:
            with self.subTest(what=what):
                before = tree_contents(self.tmp)
                code, output = run_tool(*args)
                self.assertEqual(code, 1, output)
                self.assertIn(text, output)
                self.assertEqual(tree_contents(self.tmp), before)
        code, output = run_tool("backup", self.source)
        self.assertEqual(code, 2, output)

    def test_a_target_given_through_a_link_to_a_folder(self):
        real = os.path.join(self.tmp, "real")
        os.makedirs(real)
        os.symlink(real, self.target)
        code, output = run_tool("backup", self.source, self.target)
        self.assertEqual(code, 0, output)
        self.assertTrue(has_key(real))


if __name__ == "__main__":
    unittest.main()
