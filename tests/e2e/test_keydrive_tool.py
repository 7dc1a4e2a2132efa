"""The key drive tool's make as a whole process: a make stopped or killed at
any moment leaves no drive and the next make replaces what it left; progress
is redrawn on a terminal only; a FAT32 volume refuses a key of 4 GiB and a
volume without room refuses a key that does not fit, both with the figures
and before anything is written."""
import os
import pty
import random
import resource
import signal
import shutil
import subprocess
import tempfile
import time
import unittest

from velkin_e2e import NATIVE_BUILD, ONLY, keydrive_tool

STOPPED = 3          # the tool's exit code when a test stops it dead
MAKE_STEPS = 7       # the last one names KEY.DAT
KEY_FILES = ("KEY.DAT", "INDEX.DAT", "STATUS.DAT", "KEYSUM.DAT")


def native_available():
    return ONLY in ("", "native") and bool(NATIVE_BUILD) and os.path.exists(keydrive_tool())


def run_tool(*args, env=None, preexec_fn=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([keydrive_tool()] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=full_env, preexec_fn=preexec_fn)


def make(folder, size, env=None, preexec_fn=None):
    return run_tool("make", folder, "--size", size, "--program", os.path.join(NATIVE_BUILD, "velkin"), env=env,
                    preexec_fn=preexec_fn)


def has_key(drive):
    return os.path.exists(os.path.join(drive, "SETTINGS", "KEY.DAT"))


class MakeNative(unittest.TestCase):
    def setUp(self):
        if not native_available():
            self.skipTest("native build not available")
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix="velkin-make-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.drive = os.path.join(self.tmp, "drive")

    def assertNoDriveOrASoundOne(self, what):
        checked = run_tool("check", self.drive)
        if has_key(self.drive):
            self.assertEqual(checked.returncode, 0, what + "\n" + checked.stdout)
        else:
            self.assertEqual(checked.returncode, 1, what + "\n" + checked.stdout)
        settings = os.path.join(self.drive, "SETTINGS")
        names = os.listdir(settings) if os.path.isdir(settings) else []
        # Nothing but the key files (perhaps unnamed yet) and the Workspace programs.
        stray = [n for n in names if n.replace(".tmp", "") not in KEY_FILES and n not in ("bkgui", "bkfm")]
        self.assertEqual(stray, [], what)

    def test_make_stopped_dead_after_each_step(self):
        for step in range(1, MAKE_STEPS + 1):
            with self.subTest(step=step):
                shutil.rmtree(self.drive, True)
                done = make(self.drive, "1M", env={"VKLIB_TEST_MAKE_STOP": str(step)})
                self.assertEqual(done.returncode, STOPPED, done.stdout + done.stderr)
                self.assertEqual(has_key(self.drive), step == MAKE_STEPS)
                self.assertNoDriveOrASoundOne("step %d" % step)
                if step >= 2 and step < MAKE_STEPS:
                    checked = run_tool("check", self.drive)
                    self.assertIn("It is no key drive; run the make or split again", checked.stdout)
                again = make(self.drive, "1M")
                if step == MAKE_STEPS:
                    self.assertEqual(again.returncode, 1)
                    self.assertIn("exists already", again.stderr)
                    continue
                self.assertEqual(again.returncode, 0, again.stdout + again.stderr)
                self.assertEqual("Replaced the key files" in again.stdout, step >= 2, again.stdout)
                self.assertEqual(run_tool("check", self.drive).returncode, 0)

    def test_make_killed_at_random_moments(self):
        started = time.time()
        done = make(self.drive, "24M")
        self.assertEqual(done.returncode, 0, done.stderr)
        duration = time.time() - started
        chance = random.Random(29)
        for attempt in range(5):
            with self.subTest(attempt=attempt):
                shutil.rmtree(self.drive, True)
                process = subprocess.Popen([keydrive_tool(), "make", self.drive, "--size", "24M", "--program",
                                            os.path.join(NATIVE_BUILD, "velkin")],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(chance.uniform(0, duration))
                process.kill()
                process.wait()
                self.assertNoDriveOrASoundOne("attempt %d" % attempt)
                if not has_key(self.drive):
                    again = make(self.drive, "1M")
                    self.assertEqual(again.returncode, 0, again.stderr)

    def test_a_write_failure_takes_back_what_it_made_and_says_so(self):
        """A file-size limit above the programs' sizes but below the key's
        makes the key file's writing fail."""
        programs = [os.path.join(NATIVE_BUILD, name) for name in ("velkin", "bkgui", "bkfm")]
        limit = max(os.path.getsize(p) for p in programs if os.path.exists(p)) + (64 << 10)

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        size = "%dM" % ((limit >> 20) + 4)
        done = make(self.drive, size, preexec_fn=limit_file_size)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn("cannot write", done.stderr)
        self.assertIn("holds no key; nothing of the key was left behind", done.stderr)
        self.assertEqual([n for n in os.listdir(os.path.join(self.drive, "SETTINGS"))
                          if n.replace(".tmp", "") in KEY_FILES], [])
        again = make(self.drive, size)
        self.assertEqual(again.returncode, 0, again.stderr)

    def test_progress_is_redrawn_on_a_terminal_only(self):
        master, slave = pty.openpty()
        process = subprocess.Popen([keydrive_tool(), "make", self.drive, "--size", "48M", "--program",
                                    os.path.join(NATIVE_BUILD, "velkin")],
                                   stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:   # the terminal's other end closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(process.wait(), 0, shown)
        text = shown.decode("utf-8", "replace")
        self.assertIn("\rwriting the key: ", text)
        self.assertIn("\rbuilding the index: ", text)
        self.assertIn("done in", text)
        # In a pipe: no redrawn line.
        done = run_tool("check", self.drive)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertNotIn("\r", done.stderr)
        self.assertNotIn("\r", done.stdout)


class MakeOnSmallVolumes(unittest.TestCase):
    """A FAT32 image of 64 MiB, mounted through a loop device (root only), or
    through FUSE (fusefat) where the kernel has no FAT driver."""

    def setUp(self):
        if not native_available():
            self.skipTest("native build not available")
        if not shutil.which("mkfs.vfat"):
            self.skipTest("needs mkfs.vfat (dosfstools) to make a FAT32 image")
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix="velkin-fat-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        image = os.path.join(self.tmp, "fat.img")
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkfs.vfat", "-F", "32", image], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.mount = os.path.join(self.tmp, "stick")
        os.mkdir(self.mount)
        tried = []
        if os.geteuid() == 0:
            mounted = subprocess.run(["mount", "-o", "loop", image, self.mount], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
            if mounted.returncode == 0:
                self.addCleanup(subprocess.run, ["umount", self.mount], check=False)
                self.room_known = True
                return
            tried.append("a loop device: " + mounted.stdout.strip())
        if shutil.which("fusefat") and os.path.exists("/dev/fuse"):
            mounted = subprocess.run(["fusefat", "-o", "rw+", image, self.mount], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, timeout=30)
            if mounted.returncode == 0:
                unmount = ["fusermount", "-u", self.mount] if shutil.which("fusermount") else ["umount", self.mount]
                self.addCleanup(subprocess.run, unmount, check=False, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
                # fusefat gives no figures of size or room: only the writes tell,
                # and only the FAT32 limit can be tried on it.
                self.room_known = False
                return
            tried.append("fusefat: " + mounted.stdout.strip()[-200:])
        self.skipTest("cannot mount the FAT32 image here (" + "; ".join(tried or ["needs root or fusefat"]) + ")")

    def test_refusals_say_why_with_the_figures_and_write_nothing(self):
        drive = os.path.join(self.mount, "drive")
        cases = [
            ("a key of 4 GiB", "4G", ["FAT32 volume, where no file can reach 4 GiB", "4.0 GiB", "at most 4095M"]),
        ]
        if self.room_known:
            cases.append(("a key that does not fit", "100M",
                          ["not enough room on the volume", "100.0 MiB", "bytes) are free", "A key of at most "]))
        for what, size, texts in cases:
            with self.subTest(what=what):
                done = make(drive, size)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                for text in texts:
                    self.assertIn(text, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertFalse(os.path.exists(drive), what)
        if not self.room_known:
            return   # fusefat cannot hold a drive either: it refuses to set permission bits
        # The size it names fits.
        fits = done.stderr.split("A key of at most ")[1].split("M")[0]
        done = make(drive, fits + "M")
        self.assertEqual(done.returncode, 0, done.stderr)
        checked = run_tool("check", drive)
        self.assertEqual(checked.returncode, 0, checked.stdout)


if __name__ == "__main__":
    unittest.main()
