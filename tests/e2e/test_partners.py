"""Partner key drives made by the key drive tool's split.

Two drives split from one encrypt at the same time, several instances each,
and decrypt each other's files; an independent reader of the encrypted
format finds no key block serving two files. A split cut off at any moment
never leaves two usable drives with overlapping ranges, and its refusals
change nothing. The Windows build reads natively split drives, and the
Windows key drive tool splits under Wine."""
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from velkin_e2e import (NATIVE_BUILD, ONLY, WIN_BUILD, WINE, DriveTestCase, WineRunner, both_builds,
                        keydrive_tool, make_drive, read_log, read_status, tree_contents)
from formatcodec import SUFFIX, KeyStore, read_encrypted, reservation

# Plaintext sizes of the files in each encrypted folder.
SIZES = (0, 1, 1500, 5000, 20000)
INSTANCES = 3          # instances of the program per drive, all at once
IN_USE = "is in use"
STOPPED = 3            # the tool's exit code when a test stops it dead


def plaintext_of(size, seed):
    return bytes((i * 131 + seed * 29 + (i >> 7)) & 0xFF for i in range(size))


def run_tool(*args, env=None, preexec_fn=None, tool=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([tool or keydrive_tool()] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=full_env, preexec_fn=preexec_fn)


def split(source, target, *extra, **kwargs):
    return run_tool("split", source, target, *extra, **kwargs)


def has_key(drive):
    return os.path.exists(os.path.join(drive, "SETTINGS", "KEY.DAT"))


def forget_letter(letter):
    """Removes a Wine drive letter that a test made."""
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", letter)
    if os.path.islink(link):
        os.remove(link)


def own_range(drive):
    high, first, last = read_status(drive)
    return first, last


@both_builds
class PartnerCases:
    drive_size = "1M"

    def setUp(self):
        super().setUp()
        self.partner = os.path.join(self.tmp, "partner")
        done = split(self.drive, self.partner)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        # Under Wine each drive needs a drive letter of its own.
        self.partner_runner = self.runner
        if isinstance(self.runner, WineRunner):
            self.partner_runner = WineRunner()
            self.partner_runner.DRIVE_LETTER = "l:"
            self.addCleanup(forget_letter, "l:")

    def runner_for(self, drive):
        return self.runner if drive == self.drive else self.partner_runner

    def run_at_once(self, jobs):
        """jobs: (drive, command, folder); every program started before any is waited for."""
        started = [(self.runner_for(drive), command,
                    self.runner_for(drive).start(drive, command, [self.p(folder)]))
                   for drive, command, folder in jobs]
        for runner, command, process in started:
            result = runner.finish(process, command)
            self.assertEqual((result.code, result.boxes), (0, []), result)

    def fill(self, folder, seed):
        os.makedirs(os.path.join(self.work, folder))
        contents = {}
        for i, size in enumerate(SIZES):
            name = "file %d.bin" % i
            contents[name] = plaintext_of(size, seed * 10 + i)
            with open(os.path.join(self.work, folder, name), "wb") as f:
                f.write(contents[name])
        return contents

    def folder_files(self, folder):
        return tree_contents(os.path.join(self.work, folder))

    def test_partners_encrypt_at_once_and_read_each_other(self):
        drives = {"A": self.drive, "B": self.partner}
        originals = {}
        for letter in drives:
            for i in range(INSTANCES):
                originals["%s%d" % (letter, i)] = self.fill("%s%d" % (letter, i), len(originals))
        marks_before = {letter: read_status(drive)[0] for letter, drive in drives.items()}
        self.run_at_once([(drives[folder[0]], "Encrypt", folder) for folder in originals])

        # Every encrypted file read by an independent reader: the blocks each
        # file reserved lie in its own drive's range and serve no other file.
        store = KeyStore(self.drive)
        owner = {}
        reserved = {letter: 0 for letter in drives}
        for folder, contents in originals.items():
            files = self.folder_files(folder)
            self.assertEqual(sorted(files), sorted(name + SUFFIX for name in contents), folder)
            first, last = own_range(drives[folder[0]])
            for name, data in files.items():
                decoded = read_encrypted(store, data)
                self.assertEqual(decoded.plaintext, contents[name[:-len(SUFFIX)]])
                blocks = store.draws(decoded.first_block, reservation(decoded.plain_length))
                reserved[folder[0]] += len(blocks)
                for block in blocks:
                    where = (folder, name)
                    self.assertTrue(first <= block <= last, "%s: block %d outside %d..%d" % (where, block, first, last))
                    self.assertNotIn(block, owner, "block %d serves %s and %s" % (block, owner.get(block), where))
                    owner[block] = where
        for letter, drive in drives.items():
            # Every reservation moved the mark, and nothing else did.
            self.assertEqual(read_status(drive)[0] - marks_before[letter], reserved[letter], letter)

        # Each drive decrypts the other's files; neither mark moves.
        records = {letter: read_status(drive) for letter, drive in drives.items()}
        self.run_at_once([(drives["B" if folder[0] == "A" else "A"], "Decrypt", folder) for folder in originals])
        for folder, contents in originals.items():
            self.assertEqual(self.folder_files(folder), contents, folder)
        for letter, drive in drives.items():
            self.assertEqual(read_status(drive), records[letter], letter)

    def test_status_logs_the_usage_of_the_drives_own_range(self):
        for drive in (self.drive, self.partner):
            with self.subTest(drive=os.path.basename(drive)):
                with open(os.path.join(self.work, "note.txt"), "wb") as f:
                    f.write(plaintext_of(3000, 1))
                result = self.runner_for(drive).run(drive, "Encrypt", [self.p("note.txt")])
                self.assertEqual((result.code, result.boxes), (0, []), result)
                os.remove(os.path.join(self.work, "note.txt" + SUFFIX))
                result = self.runner_for(drive).run(drive, "Status")
                self.assertEqual(result.code, 0, result)
                high, first, last = read_status(drive)
                self.assertEqual(high - first, 7)   # 3 chunks + 4
                expected = "%.1f%% " % (7 * 100.0 / (last - first - 1))
                self.assertIn("Key usage:           %s\r\n" % expected, read_log(drive))


def native_available():
    return ONLY in ("", "native") and bool(NATIVE_BUILD) and os.path.exists(keydrive_tool())


class SplitToolNative(unittest.TestCase):
    """The native key drive tool's split as a whole process."""

    def setUp(self):
        if not native_available():
            self.skipTest("native build not available")
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix="velkin-split-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.source = os.path.join(self.tmp, "source")
        self.target = os.path.join(self.tmp, "target")

    def make(self, size="1M"):
        return make_drive(self.source, size)

    def assertSourceUsable(self):
        checked = run_tool("check", self.source)
        self.assertEqual(checked.returncode, 0, checked.stdout)
        plain = os.path.join(self.tmp, "after.txt")
        with open(plain, "wb") as f:
            f.write(b"still encrypts")
        done = subprocess.run([os.path.join(self.source, "Encrypt"), plain], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        os.remove(plain + SUFFIX)

    def assertNoOverlap(self):
        """A usable target has a range apart from the source's."""
        if has_key(self.target):
            compared = run_tool("check", self.source, self.target)
            self.assertNotIn("WARNING", compared.stdout)
            self.assertIn("ranges apart", compared.stdout)
            self.assertEqual(compared.returncode, 0, compared.stdout)

    def test_split_stopped_dead_after_each_step(self):
        self.make()
        pristine = os.path.join(self.tmp, "pristine")
        shutil.copytree(self.source, pristine, symlinks=True)
        steps = 8
        for step in range(1, steps + 1):
            with self.subTest(step=step):
                for folder in (self.source, self.target):
                    shutil.rmtree(folder, True)
                shutil.copytree(pristine, self.source, symlinks=True)
                done = split(self.source, self.target, env={"VKLIB_TEST_SPLIT_STOP": str(step)})
                self.assertEqual(done.returncode, STOPPED, done.stdout + done.stderr)
                self.assertEqual(has_key(self.target), step == steps)
                self.assertSourceUsable()
                self.assertNoOverlap()
                again = split(self.source, self.target)
                if step == steps:
                    self.assertEqual(again.returncode, 1)
                    self.assertIn("holds a key already", again.stderr)
                else:
                    self.assertEqual(again.returncode, 0, again.stdout + again.stderr)
                self.assertNoOverlap()

    def test_split_killed_at_random_moments(self):
        self.make("16M")
        pristine = os.path.join(self.tmp, "pristine")
        shutil.copytree(self.source, pristine, symlinks=True)
        started = time.time()
        done = split(self.source, os.path.join(self.tmp, "timing"))
        self.assertEqual(done.returncode, 0, done.stdout)
        duration = time.time() - started
        shutil.rmtree(os.path.join(self.tmp, "timing"))
        chance = random.Random(10)
        for attempt in range(6):
            with self.subTest(attempt=attempt):
                for folder in (self.source, self.target):
                    shutil.rmtree(folder, True)
                shutil.copytree(pristine, self.source, symlinks=True)
                process = subprocess.Popen([keydrive_tool(), "split", self.source, self.target],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(chance.uniform(0, duration))
                process.kill()
                process.wait()
                self.assertSourceUsable()
                self.assertNoOverlap()

    def snapshot(self, target=None):
        target = target or self.target
        return tree_contents(self.source), tree_contents(target) if os.path.isdir(target) else None

    def test_refusals_change_nothing(self):
        self.make()
        other = make_drive(os.path.join(self.tmp, "other"), "256K")
        cases = [
            ("a target that holds a key", other, [], "holds a key already"),
            ("too little pad for the share", self.target, ["--share", "0.95"], "has too little unused pad"),
        ]
        for what, target, extra, text in cases:
            with self.subTest(what=what):
                before = self.snapshot(target)
                done = split(self.source, target, *extra)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn(text, done.stderr)
                self.assertEqual(self.snapshot(target), before)
        done = split(self.source, self.target, "--share", "1.5")
        self.assertEqual(done.returncode, 2)
        self.assertFalse(os.path.exists(self.target))

    def start_instance_holding(self, drive, size):
        """The program encrypting a large file, stopped while it holds the drive."""
        big = os.path.join(self.tmp, "big.bin")
        with open(big, "wb") as f:
            f.write(os.urandom(size))
        inode = os.stat(os.path.join(drive, "SETTINGS", "STATUS.DAT")).st_ino
        held = re.compile(r"\bREAD\b.*:%d 4294967296 4294967296$" % inode)
        process = subprocess.Popen([os.path.join(drive, "Encrypt"), big], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline and process.poll() is None:
            with open("/proc/locks") as f:
                if any(held.search(line) for line in f.read().splitlines()):
                    os.kill(process.pid, signal.SIGSTOP)
                    return process
            time.sleep(0.001)
        process.kill()
        self.fail("the program never held the drive")

    def test_a_drive_in_use_is_refused(self):
        if not os.path.exists("/proc/locks"):
            self.skipTest("no /proc/locks to see the program's lock")
        self.make("32M")
        process = self.start_instance_holding(self.source, 24 << 20)
        try:
            self.assertIsNone(process.poll(), "the program ended before it could be stopped")
            before = self.snapshot()
            done = split(self.source, self.target)
            self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
            self.assertIn(IN_USE, done.stderr)
            self.assertEqual(self.snapshot(), before)
        finally:
            os.kill(process.pid, signal.SIGCONT)
            self.assertEqual(process.wait(timeout=120), 0)
        done = split(self.source, self.target)
        self.assertEqual(done.returncode, 0, done.stdout)

    def test_a_write_failure_leaves_the_source_as_it_was(self):
        """A file-size limit below the key's size makes the copy of the key
        fail; the split must undo what it did and say so."""
        self.make()
        before = tree_contents(self.source)

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (600 * 1024, 600 * 1024))

        done = split(self.source, self.target, preexec_fn=limit_file_size)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn("cannot write", done.stderr)
        self.assertIn("is as it was; nothing was split", done.stderr)
        self.assertEqual(tree_contents(self.source), before)
        settings = os.path.join(self.target, "SETTINGS")
        # No key file, whole or partial; the copies of the workspace programs may stay.
        left = os.listdir(settings) if os.path.isdir(settings) else []
        self.assertEqual([n for n in left if n not in ("bkgui", "bkfm", "bkgui.exe", "bkfm.exe")], [])
        done = split(self.source, self.target)
        self.assertEqual(done.returncode, 0, done.stdout)


class SplitToolWine(DriveTestCase):
    """The Windows key drive tool under Wine: it splits, and it refuses a
    drive that a Windows instance holds."""
    runner_name = "wine"
    drive_size = "1M"

    def windows_tool(self, *args):
        done = subprocess.run([WINE, os.path.join(WIN_BUILD, "velkin-keydrive.exe")] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.runner.env())
        # The report on standard output, errors on standard error.
        output = done.stdout + done.stderr
        return done.returncode, output.decode("utf-8", "replace").replace("\r\n", "\n")

    def test_windows_tool_splits_a_drive(self):
        partner = os.path.join(self.tmp, "partner")
        code, output = self.windows_tool("split", self.runner.path(self.drive), self.runner.path(partner))
        self.assertEqual(code, 0, output)
        self.assertIn("has key blocks 513 to 1023", output)
        for name in ("Decrypt.exe", "Encrypt.exe", "Status.exe", "Open.exe"):
            self.assertTrue(os.path.exists(os.path.join(partner, name)), name)
        compared = run_tool("check", self.drive, partner)
        self.assertEqual(compared.returncode, 0, compared.stdout)
        self.assertIn("ranges apart", compared.stdout)
        # The Windows program on the new drive: its usage is that of its own range.
        runner = WineRunner()
        runner.DRIVE_LETTER = "l:"
        self.addCleanup(forget_letter, "l:")
        with open(os.path.join(self.work, "note.txt"), "wb") as f:
            f.write(plaintext_of(3000, 2))
        self.assertEqual(runner.run(partner, "Encrypt", [self.p("note.txt")]).code, 0)
        self.assertEqual(runner.run(partner, "Status").code, 0)
        self.assertIn("Key usage:           1.4% \r\n", read_log(partner))   # 7 of 509 blocks
        self.assertEqual(read_status(partner), (520, 513, 1023))

    def test_windows_tool_refuses_a_drive_in_use(self):
        holder = os.path.join(WIN_BUILD, "tests", "keydrive", "keyreserve.exe")
        if not os.path.exists(holder):
            self.skipTest("keyreserve.exe not built")
        partner = os.path.join(self.tmp, "partner")
        process = subprocess.Popen([WINE, holder, "hold", self.runner.path(self.drive)], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.runner.env())
        try:
            self.assertEqual(process.stdout.readline().strip(), b"holding", process.stderr)
            before = tree_contents(self.drive)
            code, output = self.windows_tool("split", self.runner.path(self.drive), self.runner.path(partner))
            self.assertEqual(code, 1, output)
            self.assertIn(IN_USE, output)
            self.assertEqual(tree_contents(self.drive), before)
            self.assertFalse(has_key(partner))
        finally:
            process.stdin.close()
            process.wait(timeout=60)
        code, output = self.windows_tool("split", self.runner.path(self.drive), self.runner.path(partner))
        self.assertEqual(code, 0, output)


if __name__ == "__main__":
    unittest.main()
