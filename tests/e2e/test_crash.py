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
"""
import os
import random
import re
import time
import unittest

from formatcodec import FormatError, KeyStore, read_encrypted, reservation
from velkin_e2e import DriveTestCase, read_status

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


class CrashCycles(DriveTestCase):
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


if __name__ == "__main__":
    unittest.main()
