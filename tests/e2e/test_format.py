"""The encrypted file format as a contract: files the program writes are read
by an independent reader (formatcodec), and files that reader's writer makes
are decrypted by the program, on both builds."""
import os
import struct

from velkin_e2e import DriveTestCase, both_builds
from formatcodec import (BLOCK, SUFFIX, FormatError, KeyStore, chunk_count, keyed_digest,
                         read_encrypted, reservation, standard_whirlpool, write_encrypted)

# (file name, plaintext size): empty, one byte, around one chunk, several chunks.
PROGRAM_FILES = [
    ("empty.txt", 0),
    ("one byte.bin", 1),
    ("short.bin", 1023),
    ("exact.bin", 1024),
    ("one over.bin", 1025),
    ("large.bin", 70000),
    ("Gr\u00fc\u00dfe \u00e9t\u00e9 \u65e5\u672c.txt", 300),
]

# (plaintext size, base name stored in the header) for files written here.
WRITTEN_FILES = [
    (0, "nothing.txt"),
    (1024, "one chunk.bin"),
    (3000, "Notiz f\u00fcr sp\u00e4ter \u00e9.txt"),
]


def plaintext_of(size, seed):
    return bytes((i * 131 + seed * 17 + (i >> 8)) & 0xFF for i in range(size))


@both_builds
class FormatCases:
    drive_size = "256K"

    def store(self):
        return KeyStore(self.drive)

    def encrypt_with_program(self, name, data):
        """Has the program encrypt a new file; returns the encrypted file's bytes."""
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        result = self.run_command("Encrypt", self.p(name))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertFalse(os.path.exists(path))
        with open(path + SUFFIX, "rb") as f:
            return f.read()

    def assertReadsBack(self, encrypted, name, data, first_block):
        decoded = read_encrypted(self.store(), encrypted)
        self.assertEqual(decoded.first_block, first_block, decoded)
        self.assertEqual(decoded.plain_length, len(data), decoded)
        self.assertEqual(decoded.base_name, name, decoded)
        self.assertEqual(decoded.plaintext, data, decoded)
        expected_digest = keyed_digest(decoded.digest_key, data)
        if expected_digest is not None:
            self.assertEqual(decoded.digest.hex(), expected_digest.hex(), "keyed digest")
        return decoded

    def test_program_files_follow_the_format(self):
        for seed, (name, size) in enumerate(PROGRAM_FILES):
            with self.subTest(name=name, size=size):
                data = plaintext_of(size, seed)
                high_before = self.store().status()[0]
                encrypted = self.encrypt_with_program(name, data)
                self.assertReadsBack(encrypted, name, data, high_before)
                self.assertEqual(self.store().status()[0], high_before + chunk_count(size) + 4)

    def force_tail_length(self, block_number, tail_length):
        """Sets the first word of a key block, which gives the tail length when
        that block is drawn as the tail-length block; bytes 0 to 3 are not part
        of the block's identity in the index."""
        key_path = os.path.join(self.drive, "SETTINGS", "KEY.DAT")
        with open(key_path, "r+b") as f:
            f.seek(block_number * BLOCK)
            word = struct.unpack("<I", f.read(4))[0]
            f.seek(block_number * BLOCK)
            f.write(struct.pack("<I", (word & ~0x3FF) | tail_length))

    def test_tail_follows_the_tail_length_block(self):
        last = self.store().count - 1
        # One byte of plaintext draws header, digest, chunk, tail length, tail.
        # (first block, tail length)
        for first, tail_length in [(10, 0), (20, 700), (last - 4, 1023)]:
            with self.subTest(first=first, tail_length=tail_length):
                draws = list(range(first, first + 4 + (tail_length > 0)))
                self.force_tail_length(first + 3, tail_length)
                self.store().write_status(first, 1, last)
                name = "tail %d.bin" % tail_length
                encrypted = self.encrypt_with_program(name, b"T")
                self.assertEqual(len(encrypted), 2 * BLOCK + tail_length)
                decoded = self.assertReadsBack(encrypted, name, b"T", first)
                self.assertEqual((decoded.tail_length, decoded.blocks), (tail_length, draws))
                self.assertEqual(self.store().status(), (first + 5, 1, last))

    def write_here(self, file_name, data, base_name, flip=None):
        """Writes an encrypted file on fresh key blocks and moves the
        highWaterMark past its reservation, as every writer must."""
        store = self.store()
        high, first_block, last_block = store.status()
        digest = keyed_digest(store.block(store.following(high)), data)
        encrypted = bytearray(write_encrypted(store, high, data, base_name, digest))
        store.write_status(high + reservation(len(data)), first_block, last_block)
        if flip is not None:
            encrypted[flip] ^= 0x01
        with open(os.path.join(self.work, file_name), "wb") as f:
            f.write(encrypted)
        return bytes(encrypted), high

    def test_program_decrypts_files_written_here(self):
        if standard_whirlpool(b"") is None:
            self.skipTest("openssl cannot compute Whirlpool")
        for seed, (size, base_name) in enumerate(WRITTEN_FILES):
            with self.subTest(size=size, base_name=base_name):
                data = plaintext_of(size, seed)
                file_name = "carrier %d.dat" % size
                encrypted, first = self.write_here(file_name, data, base_name)
                self.assertReadsBack(encrypted, base_name, data, first)
                high = self.store().status()[0]

                result = self.run_command("Decrypt", self.p(file_name))
                self.assertEqual((result.code, result.boxes), (0, []), result)
                with open(os.path.join(self.work, base_name), "rb") as f:
                    self.assertEqual(f.read(), data)
                self.assertFalse(os.path.exists(os.path.join(self.work, file_name)))
                # The decryption drew only reserved blocks: nothing to raise.
                self.assertEqual(self.store().status()[0], high)

    def test_program_follows_the_wrap_to_block_one(self):
        """A reservation that runs up to block N, which the key file does not
        hold, draws block 1 in its place; here the tail block."""
        if standard_whirlpool(b"") is None:
            self.skipTest("openssl cannot compute Whirlpool")
        count = self.store().count
        first = count - 4
        self.force_tail_length(count - 1, 513)
        self.store().write_status(first, 1, count)
        encrypted, _ = self.write_here("wrapped.dat", b"W", "wrapped.txt")
        decoded = read_encrypted(self.store(), encrypted)
        self.assertEqual(decoded.blocks, [first, first + 1, first + 2, first + 3, 1])
        self.assertEqual(encrypted[-513:], self.store().block(1)[:513])

        result = self.run_command("Decrypt", self.p("wrapped.dat"))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        with open(os.path.join(self.work, "wrapped.txt"), "rb") as f:
            self.assertEqual(f.read(), b"W")
        self.assertEqual(self.store().status(), (count + 1, 1, count))

    def test_tampered_file_written_here_is_refused(self):
        if standard_whirlpool(b"") is None:
            self.skipTest("openssl cannot compute Whirlpool")
        data = plaintext_of(2500, 7)
        self.write_here("sound.dat", data, "sound.txt")
        self.write_here("tampered.dat", data, "tampered.txt", flip=BLOCK + 1500)

        result = self.run_command("Decrypt", self.p("sound.dat"))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        result = self.run_command("Decrypt", self.p("tampered.dat"))
        self.assertEqual(result.code, 1, result)
        self.assertTrue(result.boxes, result)
        self.assertTrue(result.boxes[-1].text.startswith(
            "Error: '%s' may have been tampered with, digest check failed" % self.p("tampered.dat")),
            result)
        self.assertTrue(os.path.exists(os.path.join(self.work, "tampered.dat")))


class ReaderRejects(DriveTestCase):
    """The reader notices a file that breaks the format, so that its silence
    about the program's files means something. Needs only the key drive."""
    runner_name = "native"

    def test_damaged_files_are_rejected(self):
        store = KeyStore(self.drive)
        data = plaintext_of(1500, 3)
        # A reservation whose tail is not empty, so that the tail can be damaged.
        first = next(b for b in range(1, store.count - 8)
                     if struct.unpack("<I", store.block(b + 4)[:4])[0] & 0x3FF)
        sound = write_encrypted(store, first, data, "x.txt", bytes(64))
        self.assertEqual(read_encrypted(store, sound).plaintext, data)

        def flipped(at):
            return sound[:at] + bytes([sound[at] ^ 0x40]) + sound[at + 1:]

        cases = [
            ("truncated", sound[:-1], "file length"),
            ("one byte appended", sound + b"!", "file length"),
            ("plainLength changed", flipped(265), "file length"),
            ("version changed", flipped(0), "version"),
            ("identity changed", flipped(100), "no key block"),
            ("reserved header byte", flipped(900), "reserved bytes"),
            ("filler of the last chunk", flipped(3 * BLOCK - 10), "filler of chunk 1"),
            ("tail", flipped(len(sound) - 1), "tail"),
        ]
        for what, damaged, message in cases:
            with self.subTest(what):
                with self.assertRaises(FormatError) as caught:
                    read_encrypted(store, damaged)
                self.assertIn(message, str(caught.exception))
