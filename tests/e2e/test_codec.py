"""Encrypting and decrypting whole folders through the real program, on both
builds and across them."""
import os
import re
import shutil

from velkin_e2e import (WIN_BUILD, DriveTestCase, both_builds, exhausted, merge_env, read_log, read_status,
                        tree_contents, RUNNERS)

SUFFIX = " (encrypted)"


def make_tree(root):
    files = {
        os.path.join("nested", "deeper", "deepest", "leaf.txt"): b"leaf\n" * 100,
        os.path.join("nested", "my notes.txt"): b"with a blank in the name",
        os.path.join("caf\u00e9 \u00fcber", "\u65e5\u672c.txt"): "non-ASCII \u00e9\u00e8".encode("utf-8"),
        "empty.txt": b"",
        "exact.bin": bytes(range(256)) * 8,
        "big.bin": os.urandom(3 * 1024 * 1024 + 17),
    }
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty folder"))
    return files


def blocks_for(files):
    return sum((len(data) + 1023) // 1024 + 4 for data in files.values())


@both_builds
class FolderCases:
    drive_size = "8M"

    def test_folder_round_trip(self):
        tree = os.path.join(self.work, "tree")
        files = make_tree(tree)
        high_before = read_status(self.drive)[0]

        result = self.run_command("Encrypt", self.runner.path(tree))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        after = tree_contents(tree)
        self.assertEqual(sorted(after), sorted(rel + SUFFIX for rel in files))
        self.assertEqual(read_status(self.drive)[0], high_before + blocks_for(files))
        for rel, data in files.items():
            self.assertGreaterEqual(len(after[rel + SUFFIX]), 1024 + len(data))
        self.assertTrue(os.path.isdir(os.path.join(tree, "empty folder")))
        self.assertIn("encrypted '", read_log(self.drive))

        result = self.run_command("Decrypt", self.runner.path(tree))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(tree_contents(tree), files)
        self.assertEqual(read_status(self.drive)[0], high_before + blocks_for(files))

        # A second decrypt finds only plaintexts, leaves them alone and names them.
        result = self.run_command("Decrypt", self.runner.path(tree))
        self.assertEqual((result.code, [b.kind for b in result.boxes]), (0, ["information"]), result)
        self.assertEqual(tree_contents(tree), files)
        for rel in files:
            named = "'%s': it is not encrypted with this drive's key\n" % self.runner.path(os.path.join(tree, rel))
            self.assertIn(named, result.boxes[0].text)

    def test_single_file_and_key_exhaustion(self):
        small = os.path.join(self.work, "small.txt")
        with open(small, "wb") as f:
            f.write(b"x" * 5000)
        self.assertEqual(self.run_command("Encrypt", self.runner.path(small)).code, 0)
        self.assertTrue(os.path.exists(small + SUFFIX))

        high, first, last = read_status(self.drive)
        huge = os.path.join(self.work, "huge.bin")
        size = (last - high + 1) * 1024           # needs 4 more blocks than are left
        with open(huge, "wb") as f:
            f.write(b"\0" * size)
        result = self.run_command("Encrypt", self.runner.path(huge))
        needed = (size // 1024 + 4) * 1024
        left = (last - high + 1) * 1024
        self.assertBox(result, "warning", "Error: " + exhausted(needed, left), 1)
        self.assertTrue(os.path.exists(huge))     # the plaintext is kept
        self.assertFalse(os.path.exists(huge + SUFFIX))
        self.assertEqual(read_status(self.drive)[0], high)

    def test_tampered_file_is_reported_and_kept(self):
        plain = os.path.join(self.work, "letter.txt")
        with open(plain, "wb") as f:
            f.write(b"Dear reader, " * 200)
        self.assertEqual(self.run_command("Encrypt", self.runner.path(plain)).code, 0)
        encrypted = plain + SUFFIX
        with open(encrypted, "r+b") as f:
            f.seek(1024 + 100)
            byte = f.read(1)
            f.seek(1024 + 100)
            f.write(bytes([byte[0] ^ 1]))
        result = self.run_command("Decrypt", self.runner.path(encrypted))
        self.assertEqual(result.code, 1, result)
        self.assertTrue(result.boxes[-1].text.startswith(
            "Error: '%s' may have been tampered with, digest check failed" % self.runner.path(encrypted)),
            result)
        self.assertTrue(os.path.exists(encrypted))   # nothing is erased


class CrossBuild(DriveTestCase):
    """A file encrypted by one build is decrypted by the other."""
    runner_name = "wine"
    drive_size = "1M"

    def round_trip(self, encrypt_with, decrypt_with):
        plain = os.path.join(self.work, "shared \u00e9.txt")
        data = os.urandom(40000)
        with open(plain, "wb") as f:
            f.write(data)
        enc, dec = RUNNERS[encrypt_with], RUNNERS[decrypt_with]
        # Native copies sit beside the .exe copies on the same drive.
        self.assertEqual(enc.run(self.drive, "Encrypt", [enc.path(plain)]).code, 0)
        self.assertFalse(os.path.exists(plain))
        self.assertEqual(dec.run(self.drive, "Decrypt", [dec.path(plain + SUFFIX)]).code, 0)
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertFalse(os.path.exists(plain + SUFFIX))

    def test_linux_to_windows(self):
        self.round_trip("native", "wine")

    def test_windows_to_linux(self):
        self.round_trip("wine", "native")


class TerminalProgress(DriveTestCase):
    """The native build shows its progress as one line on a terminal, and
    nothing when standard error is not one."""
    runner_name = "native"
    drive_size = "192M"

    def encrypt_big_file(self, name):
        # Large enough that encrypting it outlasts the line's 100 ms delay
        # even on a fast machine with a fast disk: a shorter phase shows
        # nothing, as it should.
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(os.urandom(160 * 1024 * 1024))
        return path

    def run_on_terminal(self, path, columns):
        """Encrypts path with standard error on a terminal of the given width;
        what the terminal received."""
        import fcntl
        import pty
        import struct
        import subprocess
        import termios
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        env = merge_env(os.environ, {"XDG_RUNTIME_DIR": self.tmp, "COLUMNS": None})
        process = subprocess.Popen([self.runner.program(self.drive, "Encrypt"), path], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        output = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        os.close(master)
        self.assertEqual(process.wait(timeout=300), 0)
        return output.decode("utf-8", "replace")

    def test_progress_line_on_a_terminal(self):
        path = self.encrypt_big_file("big.bin")
        text = self.run_on_terminal(path, 400)
        self.assertRegex(text, r"(Encrypting: (Scanning|Encrypting) file|Deleting: Deleting) " + path)
        self.assertIn("\r\x1b[K", text)          # the line is drawn over and cleared again

    def test_progress_line_never_wraps(self):
        folder = os.path.join(self.work, "a folder with a name long enough to overflow a narrow terminal")
        os.makedirs(folder)
        path = self.encrypt_big_file(os.path.join(folder, "big.bin"))
        text = self.run_on_terminal(path, 60)
        lines = [line for line in text.split("\r\x1b[K") if line]
        self.assertTrue(lines, text)
        for line in lines:
            self.assertLessEqual(len(line), 59, line)
        # The file's name stays in view; its folder gave way.
        self.assertTrue(any(re.match(r"(Encrypting|Deleting): \u2026.*big\.bin \[", line) for line in lines),
                        lines)

    def test_no_progress_without_a_terminal(self):
        path = self.encrypt_big_file("quiet.bin")
        result = self.run_command("Encrypt", path)
        self.assertEqual((result.code, result.stderr), (0, ""), result)
