"""The program's promises under a kill at any moment (native build).

Encrypt and Decrypt run on a folder or on one of its files and are killed
(SIGKILL) at a random moment; the next run of the program finishes or undoes
what the killed one left. After every cycle:
- every original is its plaintext under its own name, or an encrypted file
  under its encrypted name that decrypts to it (or both);
- no other file stands in the work folder, and no file anywhere in the work
  folder or on the key drive holds a marked piece of a plaintext except the
  plaintext itself under its own name;
- no key block serves two files: the blocks that each encrypted file uses
  (read by the independent reader of formatcodec) are disjoint from those of
  every other encrypted file seen so far, and lie below the high-water mark;
- the key files are unchanged and the journal of work in progress is empty.

Seeded: VELKIN_CRASH_SEED repeats a run, and a failure names its seed.
VELKIN_CRASH_SECONDS bounds the killing (default 75 s).

A folder's files are taken a batch at a time: BatchKills stops a run at the
named points inside a batch (the test-only pause) and kills it there, with
the same checks afterwards.
"""
import os
import random
import re
import time
import unittest

from formatcodec import FormatError, KeyStore, read_encrypted, reservation
from test_very_file import Pause
from velkin_e2e import DriveTestCase, read_bytes, read_status, write_bytes

SUFFIX = " (encrypted)"
MARK = re.compile(rb"<velkin crash mark (\d{3})>")
SIZES = [0, 100, 1024, 5000, 70000, 400000, 900000, 1600000]


def marked_plaintext(index, size, rng):
    """Random bytes with a mark naming the original at the start of every 1 KiB."""
    mark = b"<velkin crash mark %03d>" % index
    out = bytearray()
    while len(out) < size:
        out += mark + rng.randbytes(1000)
    return bytes(out[:size])


class CrashChecks(DriveTestCase):
    """A tree of marked originals and the checks after every kill."""
    runner_name = "native"
    drive_size = "160M"

    def setUp(self):
        super().setUp()
        self.seed = int(os.environ.get("VELKIN_CRASH_SEED", random.randrange(1 << 30)))
        self.rng = random.Random(self.seed)
        self.tree = os.path.join(self.work, "tree")
        self.originals = {}
        for index, size in enumerate(SIZES):
            rel = os.path.join("deep", "f%d.bin" % index) if index % 3 == 2 else "f%d.bin" % index
            path = os.path.join(self.tree, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            data = marked_plaintext(index, size, self.rng)
            with open(path, "wb") as f:
                f.write(data)
            self.originals[rel] = data
        self.store = KeyStore(self.drive)
        self.key_files = {name: self.stamp(os.path.join(self.drive, "SETTINGS", name))
                          for name in ("KEY.DAT", "INDEX.DAT")}
        self.blocks_of = {}    # first block of every encrypted file seen -> its blocks

    @staticmethod
    def stamp(path):
        st = os.stat(path)
        return (st.st_size, st.st_mtime_ns)

    def fail_with_seed(self, message):
        self.fail("seed %d (VELKIN_CRASH_SEED=%d repeats it): %s" % (self.seed, self.seed, message))

    def files_below(self, root):
        for folder, _, names in os.walk(root):
            for name in names:
                yield os.path.join(folder, name)

    def check(self, after):
        """The invariants of the module docstring."""
        where = "after %s: " % after
        present = {os.path.relpath(p, self.tree) for p in self.files_below(self.tree)}
        allowed = set(self.originals) | {rel + SUFFIX for rel in self.originals}
        if present - allowed:
            self.fail_with_seed(where + "files left behind: %r" % sorted(present - allowed))
        high = read_status(self.drive)[0]
        for rel, data in self.originals.items():
            held = False
            if rel in present:
                with open(os.path.join(self.tree, rel), "rb") as f:
                    if f.read() != data:
                        self.fail_with_seed(where + "%s does not hold its plaintext" % rel)
                held = True
            if rel + SUFFIX in present:
                with open(os.path.join(self.tree, rel + SUFFIX), "rb") as f:
                    encrypted = f.read()
                try:
                    decoded = read_encrypted(self.store, encrypted)
                except FormatError as e:
                    self.fail_with_seed(where + "%s%s is not a sound encrypted file: %s" % (rel, SUFFIX, e))
                if decoded.plaintext != data or decoded.base_name != os.path.basename(rel):
                    self.fail_with_seed(where + "%s%s does not decrypt to its original" % (rel, SUFFIX))
                self.check_blocks(where, rel, decoded, high)
                held = True
            if not held:
                self.fail_with_seed(where + "%s is lost" % rel)
        # Marked bytes anywhere but in a plaintext under its own name.
        for root in (self.work, self.drive):
            for path in self.files_below(root):
                if os.path.basename(path) in self.key_files:
                    continue
                with open(path, "rb") as f:
                    content = f.read()
                found = MARK.search(content)
                if not found:
                    continue
                rel = os.path.relpath(path, self.tree)
                index = int(found.group(1))
                if rel not in self.originals or content != self.originals[rel]:
                    self.fail_with_seed(where + "a piece of plaintext %d stands in %s" % (index, path))
        for name, stamp in self.key_files.items():
            if self.stamp(os.path.join(self.drive, "SETTINGS", name)) != stamp:
                self.fail_with_seed(where + "%s was changed" % name)
        pending = os.path.join(self.drive, "SETTINGS", "PENDING")
        if os.path.isdir(pending) and os.listdir(pending):
            self.fail_with_seed(where + "the journal still holds %r" % os.listdir(pending))

    def check_blocks(self, where, rel, decoded, high):
        blocks = frozenset(decoded.blocks)
        if max(blocks) >= high:
            self.fail_with_seed(where + "%s uses block %d at or above the mark %d" % (rel, max(blocks), high))
        known = self.blocks_of.get(decoded.first_block)
        if known is not None:
            if known != blocks:
                self.fail_with_seed(where + "two files begin at key block %d" % decoded.first_block)
            return
        for first, others in self.blocks_of.items():
            shared = blocks & others
            if shared:
                self.fail_with_seed(where + "key block %d serves two files (%s and the file at block %d)"
                                    % (min(shared), rel, first))
        self.blocks_of[decoded.first_block] = blocks

    def run_to_end(self, command, target):
        result = self.run_command(command, target)
        if result.code != 0 or result.boxes:
            self.fail_with_seed("%s of %s: %r" % (command, target, result))

    def recover(self, after):
        """The next run of the program finishes what the killed one left."""
        result = self.run_command("Status")
        if result.code != 0 or result.boxes:
            self.fail_with_seed("after %s, the next run: %r" % (after, result))
        self.check(after)

    def key_left(self):
        high, _, last = read_status(self.drive)
        return last + 1 - high


class CrashCycles(CrashChecks):
    def test_kills_at_random_moments(self):
        # How long a whole run takes, to spread the kills over it.
        started = time.monotonic()
        self.run_to_end("Encrypt", self.tree)
        encrypt_time = time.monotonic() - started
        self.check("encrypting the folder")
        started = time.monotonic()
        self.run_to_end("Decrypt", self.tree)
        decrypt_time = time.monotonic() - started
        self.check("decrypting the folder")

        full = sum(reservation(len(data)) for data in self.originals.values())
        budget = float(os.environ.get("VELKIN_CRASH_SECONDS", "75"))
        deadline = time.monotonic() + budget
        cycles = 0
        while time.monotonic() < deadline and self.key_left() > 2 * full:
            command = self.rng.choice(["Encrypt", "Decrypt"])
            if self.rng.random() < 0.6:
                target = self.tree
            else:
                rel = self.rng.choice(sorted(self.originals))
                plain = os.path.join(self.tree, rel)
                target = plain if os.path.exists(plain) else plain + SUFFIX
            delay = self.rng.uniform(0, 1.2 * (encrypt_time if command == "Encrypt" else decrypt_time))
            process = self.runner.start(self.drive, command, [target])
            time.sleep(delay)
            process.kill()
            process.communicate()
            what = "%s of %s killed after %.3f s" % (command, os.path.relpath(target, self.work), delay)
            self.recover(what)
            cycles += 1

        # Everything can still be done to the end.
        self.run_to_end("Encrypt", self.tree)
        self.check("encrypting the folder at the end")
        for rel in self.originals:
            self.assertFalse(os.path.exists(os.path.join(self.tree, rel)))
        self.run_to_end("Decrypt", self.tree)
        self.check("decrypting the folder at the end")
        for rel, data in self.originals.items():
            with open(os.path.join(self.tree, rel), "rb") as f:
                self.assertEqual(f.read(), data)
        self.assertGreater(cycles, 10, "seed %d: too few cycles to mean anything" % self.seed)


class BatchKills(CrashChecks):
    """Kills at the steps of a batch: its outputs made ahead, a file of it
    written, its erases recorded, an erase of it begun or under way."""

    def kill_at(self, command, point):
        """Stops the command at point ("name" or "name@n", its n-th time) and kills it."""
        pause = Pause(self, point.split("@")[0])
        env = pause.env()
        env["VELKIN_TEST_PAUSE_AT"] = point
        process = self.runner.start(self.drive, command, [self.tree], env=env)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        pause.wait(process)
        process.kill()
        process.communicate()

    def test_kills_inside_a_batch_lose_nothing_and_the_next_run_finishes(self):
        # Each point stops Encrypt of the plaintext tree, then Decrypt of the
        # encrypted tree; each run after a kill is taken to its end.
        points = ["batch-staged", "encrypted@3", "batch-erasing", "erasing@1", "erasing@5", "renamed@4"]
        for point in points:
            for command in ("Encrypt", "Decrypt"):
                at = point.replace("encrypted", "decrypted") if command == "Decrypt" else point
                with self.subTest(command=command, point=at):
                    self.kill_at(command, at)
                    self.recover("%s killed at %s" % (command, at))
                    # Decrypt names the plaintexts the killed run had written already.
                    result = self.run_command(command, self.tree)
                    self.assertEqual(result.code, 0, result)
                    for box in result.boxes:
                        self.assertEqual(box.kind, "information", result)
                        self.assertEqual(command, "Decrypt", result)
                        for line in box.text.splitlines()[1:-1]:
                            self.assertTrue(line.endswith("': it is not encrypted with this drive's key"), line)
                    self.check("%s run again after a kill at %s" % (command, at))
                    present = {os.path.relpath(p, self.tree) for p in self.files_below(self.tree)}
                    expected = set(self.originals) if command == "Decrypt" else \
                        {rel + SUFFIX for rel in self.originals}
                    self.assertEqual(present, expected, "seed %d" % self.seed)

    def test_files_replaced_inside_a_batch_are_left_and_the_others_done(self):
        # One file is replaced after the batch made its outputs (it is not
        # encrypted), one is saved anew after it was encrypted (it is not
        # erased). Both are left and reported; every other file is done.
        staged, erasing = Pause(self, "batch-staged"), Pause(self, "batch-erasing")
        erasing.folder = staged.folder
        env = staged.env()
        env["VELKIN_TEST_PAUSE_AT"] = "batch-staged,batch-erasing"
        process = self.runner.start(self.drive, "Encrypt", [self.tree], env=env)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        staged.wait(process)
        replaced = os.path.join(self.tree, "f1.bin")
        write_bytes(replaced + ".saving", b"another file")
        os.replace(replaced + ".saving", replaced)
        staged.go()
        erasing.wait(process)
        saved = os.path.join(self.tree, "f4.bin")
        write_bytes(saved + ".saving", b"a new version")
        os.replace(saved + ".saving", saved)
        erasing.go()
        result = self.runner.finish(process, "Encrypt")
        self.assertEqual(result.code, 1, result)
        self.assertTrue(result.boxes and result.boxes[-1].kind == "warning", result)
        log = read_bytes(os.path.join(self.drive, "LOG", "log.txt")).decode("utf-8", "replace")
        self.assertIn("'%s': another file was put under its name since it was found" % replaced, log)
        self.assertIn("'%s' was not erased: it changed after it was read for encryption" % saved, log)
        present = sorted(os.path.relpath(p, self.tree) for p in self.files_below(self.tree))
        others = [rel + SUFFIX for rel in self.originals if rel not in ("f1.bin", "f4.bin")]
        self.assertEqual(present, sorted(others + ["f1.bin", "f4.bin", "f4.bin" + SUFFIX]))
        self.assertEqual(read_bytes(replaced), b"another file")
        self.assertEqual(read_bytes(saved), b"a new version")
        self.assertEqual(read_encrypted(self.store, read_bytes(saved + SUFFIX)).plaintext, self.originals["f4.bin"])
        self.assertEqual(os.listdir(os.path.join(self.drive, "SETTINGS", "PENDING")), [])

if __name__ == "__main__":
    unittest.main()
