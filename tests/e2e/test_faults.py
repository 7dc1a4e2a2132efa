"""Full, read-only and unwritable volumes, a write that fails part-way, and
what an erase leaves on the disk (native build).

The volumes are small tmpfs mounts and a loop-mounted ext4 image, which
need root (the test command runs as root on CI); the cases skip with a reason
where mounting is not allowed. Every failure must be clear (exit code 1 and
a message naming the file), leave no partial plaintext anywhere, and spend
no key where the failure could be known first.
"""
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile

from formatcodec import SUFFIX, KeyStore, read_encrypted
from velkin_e2e import DriveTestCase, make_drive, read_status, temp_name_pattern
from velkin_e2e import read_bytes as read, write_bytes as write

MARK = b"<velkin fault mark>"


def marked(size):
    """Plaintext with a recognisable mark at the start of every 1 KiB."""
    out = bytearray()
    i = 0
    while len(out) < size:
        out += MARK + bytes((i * 7 + k) & 0xFF for k in range(1024 - len(MARK)))
        i += 1
    return bytes(out[:size])


class Faults(DriveTestCase):
    runner_name = "native"
    drive_size = "16M"

    def mount(self, kind, options, source="tmpfs"):
        """A fresh mount of the given kind; skips when mounting is not allowed."""
        if os.geteuid() != 0 or shutil.which("mount") is None:
            self.skipTest("mounting a %s needs root" % kind)
        folder = tempfile.mkdtemp(prefix="velkin-mnt-", dir=self.tmp)
        done = subprocess.run(["mount", "-t", kind, "-o", options, source, folder],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode != 0:
            self.skipTest("cannot mount a %s here: %s" % (kind, done.stderr.decode(errors="replace").strip()))
        self.addCleanup(subprocess.run, ["umount", "-l", folder], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        return folder

    def remount_read_only(self, folder):
        subprocess.run(["mount", "-o", "remount,ro", folder], check=True)

    def encrypted_copy(self, name, data):
        """Encrypts data in the work folder; returns the encrypted file's path."""
        plain = os.path.join(self.work, name)
        write(plain, data)
        result = self.run_command("Encrypt", plain)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        return plain + SUFFIX

    def assertNoMark(self, *roots):
        for root in roots:
            for folder, _, names in os.walk(root):
                for name in names:
                    path = os.path.join(folder, name)
                    if os.path.basename(path) in ("KEY.DAT", "INDEX.DAT"):
                        continue
                    self.assertNotIn(MARK, read(path), "a piece of plaintext stands in %s" % path)

    def assertRefused(self, result, text):
        self.assertEqual(result.code, 1, result)
        self.assertTrue(result.boxes and result.boxes[-1].kind == "warning", result)
        self.assertRegex(result.boxes[-1].text, text)

    # ------------------------------------------------------------ full volumes

    def test_no_room_for_the_output_is_known_before_anything_is_spent(self):
        volume = self.mount("tmpfs", "size=1m")
        # Encrypting: the plaintext fits, its encrypted copy beside it not.
        plain = os.path.join(volume, "big.bin")
        data = marked(700 * 1024)
        write(plain, data)
        high = read_status(self.drive)[0]
        result = self.run_command("Encrypt", plain)
        self.assertRefused(result, r"^Error: cannot encrypt '%s': \d+ bytes are required on the volume of '%s"
                           % (re.escape(plain), re.escape(plain + SUFFIX)))
        self.assertEqual(os.listdir(volume), ["big.bin"])
        self.assertEqual(read(plain), data)
        self.assertEqual(read_status(self.drive)[0], high, "no key spent")

        # Decrypting: the encrypted file fits, its plaintext beside it not.
        os.remove(plain)
        encrypted = self.encrypted_copy("small.bin", marked(600 * 1024))
        shutil.move(encrypted, volume)
        moved = os.path.join(volume, os.path.basename(encrypted))
        before = read(moved)
        result = self.run_command("Decrypt", moved)
        self.assertRefused(result, r"^Error: cannot decrypt '%s': \d+ bytes are required" % re.escape(moved))
        self.assertEqual(os.listdir(volume), [os.path.basename(moved)])
        self.assertEqual(read(moved), before)
        self.assertNoMark(volume, self.drive)

    def test_a_write_that_fails_part_way_leaves_no_partial_plaintext(self):
        # The process's file size limit stops the writing as a full disk
        # would, after the room was found sufficient.
        data = marked(3 * 1024 * 1024)
        encrypted = self.encrypted_copy("large.bin", data)
        before = read(encrypted)

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1536 * 1024, resource.RLIM_INFINITY))

        process = subprocess.Popen([self.runner.program(self.drive, "Decrypt"), encrypted],
                                   env=self.runner.env(self.drive), preexec_fn=limited,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        result = self.runner.finish(process, "Decrypt")
        self.assertRefused(result, r"^Error: cannot write '%s': " % temp_name_pattern(os.path.join(self.work, "large.bin")))
        self.assertEqual(sorted(os.listdir(self.work)), ["large.bin" + SUFFIX])
        self.assertEqual(read(encrypted), before)
        self.assertNoMark(self.work, self.drive)
        # And the next run decrypts it.
        result = self.run_command("Decrypt", encrypted)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(read(os.path.join(self.work, "large.bin")), data)

    # ------------------------------------------------------------ read-only volumes

    def test_a_read_only_volume_is_refused_before_anything_is_spent(self):
        volume = self.mount("tmpfs", "size=4m")
        os.makedirs(os.path.join(volume, "folder"))
        plain = os.path.join(volume, "folder", "plain.txt")
        write(plain, marked(5000))
        encrypted = self.encrypted_copy("other.txt", marked(3000))
        shutil.move(encrypted, os.path.join(volume, "folder"))
        encrypted = os.path.join(volume, "folder", os.path.basename(encrypted))
        self.remount_read_only(volume)
        high = read_status(self.drive)[0]
        cases = [
            ("Encrypt", plain, r"^Error: cannot open file '%s' for writing, so it cannot be erased: "
             % re.escape(plain)),
            # Checked first: the encrypted file could not be erased afterwards.
            ("Decrypt", encrypted, r"^Error: cannot open file '%s' for writing, so it cannot be erased: "
             % re.escape(encrypted)),
            ("Encrypt", os.path.dirname(plain), r"cannot be erased: .*; nothing in '%s' was changed$"
             % re.escape(os.path.dirname(plain))),
            ("Decrypt", os.path.dirname(plain), r"cannot be erased: .*; nothing in '%s' was changed$"
             % re.escape(os.path.dirname(plain))),
        ]
        for command, path, message in cases:
            with self.subTest(command=command, path=path):
                self.assertRefused(self.run_command(command, path), message)
                self.assertEqual(read_status(self.drive)[0], high, "no key spent")

    def test_a_key_drive_that_cannot_be_written_fails_and_says_why(self):
        # Decrypt used to take a key store it could not open for "not
        # encrypted with this key" and end with success, doing nothing.
        volume = self.mount("tmpfs", "size=8m")
        drive = make_drive(os.path.join(volume, "drive"), "1M")
        encrypted_name = "letter.txt" + SUFFIX
        plain = os.path.join(self.work, "letter.txt")
        write(plain, marked(4000))
        self.assertEqual(self.runner.run(drive, "Encrypt", [plain]).code, 0)
        self.remount_read_only(volume)
        # The instance guard's locks stay writable, off the drive.
        locks = tempfile.mkdtemp(dir=self.tmp)
        for command, path in (("Decrypt", os.path.join(self.work, encrypted_name)),
                              ("Decrypt", self.work), ("Encrypt", self.work)):
            with self.subTest(command=command, path=path):
                result = self.runner.run(drive, command, [path], env={"XDG_RUNTIME_DIR": locks})
                self.assertRefused(result, r"^Error: cannot open 'SETTINGS/STATUS.DAT': Read-only file system")
                self.assertTrue(os.path.exists(os.path.join(self.work, encrypted_name)))

    def test_a_key_drive_the_user_cannot_write_fails_and_says_why(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root to run the program as another user")
        plain = os.path.join(self.work, "letter.txt")
        write(plain, marked(4000))
        self.assertEqual(self.run_command("Encrypt", plain).code, 0)
        # The user may read the drive and write the work folder, not the usage
        # record (the key files are the maker's alone: opened to be read here).
        settings = os.path.join(self.drive, "SETTINGS")
        for folder in (self.tmp, self.drive, settings):
            os.chmod(folder, 0o755)
        for name in os.listdir(settings):
            if name.endswith(".DAT"):
                os.chmod(os.path.join(settings, name), 0o644)
        os.chmod(self.work, 0o777)
        locks = tempfile.mkdtemp(dir=self.tmp)
        nobody = 65534
        os.chown(locks, nobody, nobody)
        env = self.runner.env(self.drive, {"XDG_RUNTIME_DIR": locks, "HOME": locks})
        done = subprocess.run(["setpriv", "--reuid=%d" % nobody, "--regid=%d" % nobody, "--clear-groups",
                               self.runner.program(self.drive, "Decrypt"), plain + SUFFIX],
                              env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        if "Operation not permitted" in done.stderr and "setpriv" in done.stderr:
            self.skipTest("cannot change the user here")
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("Error: cannot open 'SETTINGS/STATUS.DAT': Permission denied", done.stderr)
        self.assertTrue(os.path.exists(plain + SUFFIX))

    # ------------------------------------------------------------ what an erase leaves

    def test_an_erased_plaintext_leaves_none_of_its_bytes_on_the_disk(self):
        if shutil.which("mkfs.ext4") is None:
            self.skipTest("mkfs.ext4 is not installed")
        image = os.path.join(self.tmp, "volume.img")
        with open(image, "wb") as f:
            f.truncate(24 * 1024 * 1024)
        subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True, stdout=subprocess.DEVNULL)
        volume = self.mount("ext4", "loop", source=image)
        plain = os.path.join(volume, "secret.bin")
        data = marked(300 * 1024)
        write(plain, data)
        subprocess.run(["sync"], check=True)
        result = self.run_command("Encrypt", plain)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        decoded = read_encrypted(KeyStore(self.drive), read(plain + SUFFIX))
        self.assertEqual(decoded.plaintext, data)
        subprocess.run(["umount", volume], check=True)
        self.assertNotIn(MARK, read(image), "the image still holds the plaintext")

    # ------------------------------------------------------------ instances side by side

    def test_instances_started_together_never_collide(self):
        # Random names once came from the clock in seconds: instances started
        # in the same second chose the same names and stopped half-way.
        names = ["same second %d.txt" % i for i in range(4)]
        for name in names:
            write(os.path.join(self.work, name), marked(200 * 1024))
        processes = [self.runner.start(self.drive, "Encrypt", [os.path.join(self.work, name)])
                     for name in names]
        for process in processes:
            result = self.runner.finish(process, "Encrypt")
            self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(sorted(os.listdir(self.work)), sorted(name + SUFFIX for name in names))
        self.assertNoMark(self.work, self.drive)
