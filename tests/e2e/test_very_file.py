"""Every destructive step acts on the very file it checked (both builds where
the system allows, the native build for the rest).

A test-only pause of the program (VELKIN_TEST_PAUSE_DIR and _AT) stops a run
at a named point, so that a test can do what another program would do at
exactly that moment: save a new version over the file whose encryption has
just ended, deliver a newer encrypted file, put a link where a folder was
listed, start a second instance, or stop the run there for good.
"""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from formatcodec import SUFFIX, KeyStore, read_encrypted
from test_open import Terminal
from velkin_e2e import DriveTestCase, NotepadTestCase, both_builds, read_bytes, read_status, write_bytes

BUSY = "This file is already being processed"


class Pause:
    """One named point of one run, with the folder where the run says it
    has reached it and waits to be let go."""

    def __init__(self, case, point):
        self.case, self.point = case, point
        self.folder = tempfile.mkdtemp(prefix="pause-", dir=case.tmp)
        os.chmod(self.folder, 0o777)

    def env(self):
        return {"VELKIN_TEST_PAUSE_DIR": self.case.runner.path(self.folder), "VELKIN_TEST_PAUSE_AT": self.point}

    def wait(self, process, timeout=120):
        reached = os.path.join(self.folder, self.point + ".reached")
        deadline = time.time() + timeout
        while not os.path.exists(reached):
            if process.poll() is not None:
                self.case.fail("the run ended before %s: %s" % (self.point, self.case.runner.finish(process, "")))
            if time.time() > deadline:
                self.case.fail("the run did not reach %s within %s s" % (self.point, timeout))
            time.sleep(0.05)

    def go(self):
        write_bytes(os.path.join(self.folder, self.point + ".go"), b"")


class VeryFileHelpers:
    def plaintext_of(self, path):
        return read_encrypted(KeyStore(self.drive), read_bytes(path)).plaintext

    def journal(self):
        folder = os.path.join(self.drive, "SETTINGS", "PENDING")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def encrypted(self, name, data, folder=None):
        """An encrypted file made by the program; its path."""
        path = os.path.join(folder or self.work, name)
        write_bytes(path, data)
        result = self.runner.run(self.drive, "Encrypt", [self.runner.path(path)])
        self.assertEqual((result.code, result.boxes), (0, []), result)
        return path + SUFFIX

    def paused(self, command, path, point):
        """The command started on path and stopped at point."""
        pause = Pause(self, point)
        process = self.runner.start(self.drive, command, [self.runner.path(path)], env=pause.env())
        self.addCleanup(lambda: process.poll() is None and process.kill())
        pause.wait(process)
        return pause, process

    def assertRefused(self, result, start):
        self.assertEqual(result.code, 1, result)
        self.assertTrue(result.boxes, result)
        self.assertEqual(result.boxes[-1].kind, "warning", result)
        self.assertTrue(result.boxes[-1].text.startswith("Error: " + start), result.boxes[-1].text)


@both_builds
class ReplacedFileCases(VeryFileHelpers):
    """A file saved anew while it was encrypted or decrypted keeps its new
    version; the other version stands beside it; exit code 1."""

    def test_a_plaintext_saved_anew_as_its_encryption_ends_is_kept(self):
        def renamed_over(path, data):
            write_bytes(path + ".saving", data)
            os.replace(path + ".saving", path)

        def written_in_place(path, data):
            with open(path, "r+b") as f:
                f.write(data)

        for how in (renamed_over, written_in_place):
            with self.subTest(how=how.__name__):
                for name in os.listdir(self.work):
                    os.remove(os.path.join(self.work, name))
                plain = os.path.join(self.work, "report.txt")
                old, new = b"the version read " * 1000, b"the version saved later " * 900
                write_bytes(plain, old)
                pause, process = self.paused("Encrypt", plain, "encrypted")
                how(plain, new)
                pause.go()
                result = self.runner.finish(process, "Encrypt")
                self.assertRefused(result, "'%s' was not erased: it changed after it was read for encryption"
                                   % self.runner.path(plain))
                self.assertIn("'%s' holds the encrypted copy of the version that was read"
                              % self.runner.path(plain + SUFFIX), result.boxes[-1].text)
                self.assertEqual(sorted(os.listdir(self.work)), ["report.txt", "report.txt" + SUFFIX])
                self.assertEqual(read_bytes(plain)[:len(new)], new)
                self.assertEqual(self.plaintext_of(plain + SUFFIX), old)
                self.assertEqual(self.journal(), [])

    def test_a_newer_encrypted_file_delivered_during_decryption_is_kept(self):
        encrypted = self.encrypted("letter.txt", b"the letter as it was")
        incoming = os.path.join(self.work, "incoming")
        os.makedirs(incoming)
        newer = self.encrypted("letter.txt", b"the letter as a sync client delivers it", folder=incoming)
        pause, process = self.paused("Decrypt", encrypted, "decrypted")
        os.replace(newer, encrypted)
        pause.go()
        result = self.runner.finish(process, "Decrypt")
        self.assertRefused(result, "'%s' was not erased: it changed after it was read for decryption"
                           % self.runner.path(encrypted))
        self.assertEqual(read_bytes(os.path.join(self.work, "letter.txt")), b"the letter as it was")
        self.assertEqual(self.plaintext_of(encrypted), b"the letter as a sync client delivers it")
        self.assertEqual(self.journal(), [])

    def test_a_file_with_other_names_is_refused_and_spends_no_key(self):
        plain = os.path.join(self.work, "linked.txt")
        write_bytes(plain, b"one file, two names")
        os.makedirs(os.path.join(self.work, "backup"))
        os.link(plain, os.path.join(self.work, "backup", "copy.txt"))
        encrypted = self.encrypted("other.txt", b"an encrypted file with a second name")
        os.link(encrypted, os.path.join(self.work, "backup", "second"))
        high = read_status(self.drive)[0]
        for command, path, tail in (("Encrypt", plain, ""),
                                    ("Encrypt", self.work, "; nothing in '%s' was changed" % self.runner.path(self.work)),
                                    ("Decrypt", encrypted, "")):
            with self.subTest(command=command, path=path):
                result = self.run_command(command, self.runner.path(path))
                self.assertEqual(result.code, 1, result)
                self.assertIn("has 2 names (hard links)", result.boxes[-1].text)
                self.assertTrue(result.boxes[-1].text.endswith(tail), result.boxes[-1].text)
                self.assertEqual(read_bytes(os.path.join(self.work, "backup", "copy.txt")), b"one file, two names")
                self.assertEqual(self.plaintext_of(os.path.join(self.work, "backup", "second")),
                                 b"an encrypted file with a second name")
                self.assertEqual(sorted(os.listdir(self.work)), ["backup", "linked.txt", "other.txt" + SUFFIX])
                self.assertEqual(read_status(self.drive)[0], high, "no key spent")


# ------------------------------------------------------------ the open command

class OpenReplacedHelpers(VeryFileHelpers):
    EDITED = "notes.txt (edited)" + SUFFIX

    def newer_version(self):
        """An encrypted notes.txt as a sync client would deliver it."""
        incoming = os.path.join(self.tmp, "incoming")
        os.makedirs(incoming, exist_ok=True)
        return self.encrypted("notes.txt", b"delivered meanwhile", folder=incoming)

    def assertBothKept(self, result_code, boxes, encrypted, edited_text):
        self.assertEqual(result_code, 1, boxes)
        self.assertEqual(boxes[-1].kind, "warning", boxes)
        self.assertIn("'%s' was replaced by another file while you were editing it, so it was not written "
                      "over: that file is kept as it is, and your changes were encrypted as '%s'."
                      % (self.runner.path(encrypted), self.runner.path(os.path.join(self.work, self.EDITED))),
                      boxes[-1].text)
        self.assertEqual(sorted(os.listdir(self.work)), sorted(["notes.txt" + SUFFIX, self.EDITED]))
        self.assertEqual(self.plaintext_of(encrypted), b"delivered meanwhile")
        self.assertEqual(self.plaintext_of(os.path.join(self.work, self.EDITED)), edited_text)
        self.assertEqual(os.listdir(os.path.join(self.drive, "TEMP")), [])


class OpenReplacedNative(OpenReplacedHelpers, DriveTestCase):
    """The editor is a script on a terminal that also stands in for a sync
    client: it delivers a newer encrypted file while the edit is open."""
    runner_name = "native"

    def test_an_encrypted_file_replaced_during_the_edit_keeps_both(self):
        encrypted = self.encrypted("notes.txt", b"text")
        newer = self.newer_version()
        editor = os.path.join(self.tmp, "editor.sh")
        with open(editor, "w") as f:
            f.write('#!/bin/sh\nmv "$NEWER" "$ENCRYPTED"\nprintf " edited" >> "$1"\n')
        os.chmod(editor, 0o755)
        env = self.runner.env(self.drive, {"EDITOR": editor, "VISUAL": None, "NEWER": newer,
                                           "ENCRYPTED": encrypted})
        code, boxes, _, output = Terminal([self.runner.program(self.drive, "Open"), encrypted], env).finish()
        self.assertTrue(boxes, output)
        self.assertBothKept(code, boxes, encrypted, b"text edited")


class OpenReplacedWine(OpenReplacedHelpers, NotepadTestCase):
    """Wine's notepad edits; the test delivers the newer encrypted file once
    the working copy is open."""

    def test_an_encrypted_file_replaced_during_the_edit_keeps_both(self):
        encrypted = self.encrypted("notes.txt", b"text")
        newer = self.newer_version()
        process = self.runner.start(self.drive, "Open", [self.runner.path(encrypted)])
        # The working copy is in place once the decryption is complete.
        deadline = time.time() + 120
        while not os.path.exists(os.path.join(self.drive, "TEMP", "notes.txt")):
            self.assertIsNone(process.poll(), "the program ended before the working copy was made")
            self.assertLess(time.time(), deadline, "no working copy was made")
            time.sleep(0.1)
        os.replace(newer, encrypted)
        self.assertEqual(self.runner.run_helper("edit", "--caption", self.TITLE, "--text", "edited in notepad"), 0)
        result = self.runner.finish(process, "Open")
        self.assertBothKept(result.code, result.boxes, encrypted, b"edited in notepad")


# ------------------------------------------------------------ native build only

class NativeCases(VeryFileHelpers, DriveTestCase):
    runner_name = "native"

    def test_every_spelling_of_a_file_shares_one_guard(self):
        plain = os.path.join(self.work, "a.txt")
        write_bytes(plain, b"one file")
        write_bytes(os.path.join(self.work, "b.txt"), b"another file")
        pause, first = self.paused("Encrypt", plain, "guarded")
        for spelling in (self.work + "//a.txt", os.path.join(self.work, ".", "a.txt")):
            result = self.run_command("Encrypt", spelling)
            self.assertEqual((result.code, [b.text for b in result.boxes]), (1, [BUSY]), spelling)
        # The folder that holds it: everything but the file another instance
        # works on, which is named.
        result = self.run_command("Encrypt", self.work)
        self.assertEqual(result.code, 0, result)
        self.assertIn("'%s': another instance of the program is working on it" % plain, result.boxes[-1].text)
        self.assertEqual(sorted(os.listdir(self.work)), ["a.txt", "b.txt" + SUFFIX])
        pause.go()
        result = self.runner.finish(first, "Encrypt")
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(sorted(os.listdir(self.work)), ["a.txt" + SUFFIX, "b.txt" + SUFFIX])
        self.assertEqual(self.plaintext_of(plain + SUFFIX), b"one file")

    def test_a_stopped_erase_whose_counterpart_is_gone_keeps_the_file(self):
        plain = os.path.join(self.work, "diary.txt")
        for point in ("erasing", "renamed"):
            with self.subTest(stopped=point):
                write_bytes(plain, b"the only copy, once its encrypted file is deleted")
                pause, process = self.paused("Encrypt", plain, point)
                process.kill()
                process.communicate()
                os.remove(plain + SUFFIX)     # read, then deleted by the user
                result = self.run_command("Status")
                self.assertEqual(result.code, 0, result)
                self.assertEqual([b.kind for b in result.boxes], ["warning"], result)
                if point == "renamed":
                    self.assertIn("so the file was not erased: it is back under its own name '%s'" % plain,
                                  result.boxes[0].text)
                else:
                    self.assertIn("so the file was not erased: it is kept as it is", result.boxes[0].text)
                self.assertEqual(os.listdir(self.work), ["diary.txt"])
                self.assertEqual(read_bytes(plain), b"the only copy, once its encrypted file is deleted")
                self.assertEqual(self.journal(), [])

    def test_a_rerun_after_a_stop_finishes_the_job_and_says_so(self):
        for command, point in (("Encrypt", "renamed"), ("Decrypt", "erasing")):
            with self.subTest(command=command):
                for name in os.listdir(self.work):
                    os.remove(os.path.join(self.work, name))
                plain = os.path.join(self.work, "notes.txt")
                if command == "Encrypt":
                    write_bytes(plain, b"notes")
                    dropped, result_path = plain, plain + SUFFIX
                else:
                    dropped, result_path = self.encrypted("notes.txt", b"notes"), plain
                pause, process = self.paused(command, dropped, point)
                process.kill()
                process.communicate()
                result = self.run_command(command, dropped)
                self.assertEqual(result.code, 0, result)
                self.assertEqual([b.kind for b in result.boxes], ["information"], result)
                self.assertIn("'%s' is %s already, as '%s'" % (dropped, command.lower() + "ed", result_path),
                              result.boxes[0].text)
                self.assertEqual(os.listdir(self.work), [os.path.basename(result_path)])
                self.assertEqual(self.journal(), [])

    def test_permission_bits_go_through_a_round_trip(self):
        saved = os.umask(0o022)
        self.addCleanup(os.umask, saved)
        for mode in (0o600, 0o640, 0o644):
            with self.subTest(mode=oct(mode)):
                plain = os.path.join(self.work, "m%o.txt" % mode)
                write_bytes(plain, b"mode")
                os.chmod(plain, mode)
                self.assertEqual(self.run_command("Encrypt", plain).code, 0)
                self.assertEqual(os.stat(plain + SUFFIX).st_mode & 0o777, mode)
                self.assertEqual(self.run_command("Decrypt", plain + SUFFIX).code, 0)
                self.assertEqual(os.stat(plain).st_mode & 0o777, mode)

    # ------------------------------------------------------------ as an ordinary user

    NOBODY = 65534

    def as_nobody(self):
        """Gives the drive, the work folder and a lock folder to an
        unprivileged user; skips where the test cannot switch users."""
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root to run the program as an ordinary user")
        os.chmod(self.tmp, 0o755)
        locks = tempfile.mkdtemp(dir=self.tmp)
        for folder in (self.drive, self.work, locks):
            subprocess.run(["chown", "-R", "%d:%d" % (self.NOBODY, self.NOBODY), folder], check=True)
        os.chmod(locks, 0o700)
        return self.runner.env(self.drive, {"XDG_RUNTIME_DIR": locks, "HOME": locks})

    def test_links_swapped_in_during_a_walk_are_never_followed(self):
        env = self.as_nobody()
        # The user's private files, and a folder of theirs that others may
        # write in.
        private = os.path.join(self.tmp, "private")
        os.makedirs(private)
        write_bytes(os.path.join(private, "secret.txt"), b"the user's own secret")
        shared = os.path.join(self.work, "shared")
        os.makedirs(os.path.join(shared, "sub"))
        write_bytes(os.path.join(shared, "a.txt"), b"a")
        write_bytes(os.path.join(shared, "b.txt"), b"b")
        write_bytes(os.path.join(shared, "sub", "c.txt"), b"c")
        for path in (private, shared):
            subprocess.run(["chown", "-R", "%d:%d" % (self.NOBODY, self.NOBODY), path], check=True)
        os.chmod(private, 0o700)
        os.chmod(shared, 0o777)
        # The folder is listed by the check of the whole folder (itself, then
        # sub) before the walk that acts lists it the third time.
        pause = Pause(self, "listed")
        env.update(pause.env())
        env["VELKIN_TEST_PAUSE_AT"] = "listed@3"
        process = subprocess.Popen(["setpriv", "--reuid=%d" % self.NOBODY, "--regid=%d" % self.NOBODY,
                                    "--clear-groups", self.runner.program(self.drive, "Encrypt"), shared],
                                   env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        pause.wait(process)
        # Another user swaps a folder and a file of the listing for links
        # into the user's private files.
        shutil.rmtree(os.path.join(shared, "sub"))
        os.symlink(private, os.path.join(shared, "sub"))
        os.remove(os.path.join(shared, "b.txt"))
        os.symlink(os.path.join(private, "secret.txt"), os.path.join(shared, "b.txt"))
        pause.go()
        out, err = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, err)
        for entry in ("sub", "b.txt"):
            self.assertIn("'%s': it changed since the folder was listed" % os.path.join(shared, entry), err)
        self.assertEqual(os.listdir(private), ["secret.txt"])
        self.assertEqual(read_bytes(os.path.join(private, "secret.txt")), b"the user's own secret")
        self.assertEqual(sorted(os.listdir(shared)), ["a.txt" + SUFFIX, "b.txt", "sub"])
        self.assertTrue(os.path.islink(os.path.join(shared, "b.txt")))

    # ------------------------------------------------------------ a drive that goes away

    def test_a_record_whose_drive_is_absent_is_kept_and_told(self):
        if os.geteuid() != 0 or shutil.which("mkfs.ext4") is None or shutil.which("losetup") is None:
            self.skipTest("needs root, mkfs.ext4 and losetup to mount a volume")
        image = os.path.join(self.tmp, "stick.img")
        with open(image, "wb") as f:
            f.truncate(8 * 1024 * 1024)
        subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True, stdout=subprocess.DEVNULL)
        stick = os.path.join(self.tmp, "stick")
        os.makedirs(stick)

        def mount():
            done = subprocess.run(["mount", "-o", "loop", image, stick], stderr=subprocess.PIPE)
            if done.returncode != 0:
                self.skipTest("cannot mount here: %s" % done.stderr.decode(errors="replace").strip())
            self.addCleanup(subprocess.run, ["umount", "-l", stick], stderr=subprocess.DEVNULL)
            return os.stat(stick).st_dev

        first_device = mount()
        plain = os.path.join(stick, "travel.txt")
        write_bytes(plain, b"left on the stick")
        pause, process = self.paused("Encrypt", plain, "renamed")
        process.kill()
        process.communicate()
        subprocess.run(["umount", stick], check=True)
        for run in range(2):
            with self.subTest(run=run):
                result = self.run_command("Status")
                self.assertEqual(result.code, 0, result)
                self.assertEqual([b.kind for b in result.boxes], ["warning"], result)
                self.assertIn("'%s' was being erased when a run was interrupted, and its folder cannot be "
                              "reached now" % plain, result.boxes[0].text)
                self.assertEqual(len(self.journal()), 2, "record and lock stay")
        # Plugged in again, as another device: a loop device taken first.
        other = os.path.join(self.tmp, "other.img")
        with open(other, "wb") as f:
            f.truncate(1024 * 1024)
        taken = subprocess.run(["losetup", "-f", "--show", other], stdout=subprocess.PIPE, text=True)
        if taken.returncode == 0:
            self.addCleanup(subprocess.run, ["losetup", "-d", taken.stdout.strip()])
        second_device = mount()
        result = self.run_command("Status")
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(sorted(os.listdir(stick)), ["lost+found", "travel.txt" + SUFFIX])
        self.assertEqual(self.plaintext_of(plain + SUFFIX), b"left on the stick")
        self.assertEqual(self.journal(), [])
        if taken.returncode == 0:
            self.assertNotEqual(first_device, second_device)


if __name__ == "__main__":
    unittest.main()
