"""A small reader and writer of Velkin's encrypted file format, kept apart
from the program's own codec so that the tests can show that files move
between the two in both directions.

An encrypted file is a 1024-byte header masked with one key block, the
plaintext XORed chunk by chunk with the key blocks that follow it, and a tail
of raw key material. The key blocks are found again through the hash index
of the key drive.

Whirlpool is taken from openssl, which gives the standard digest; that equals
the keyed digest of a file as long as the key block and the plaintext
together are shorter than 8192 bytes.
"""
import os
import struct
import subprocess

BLOCK = 1024
VERSION = 2
SUFFIX = " (encrypted)"

# Plain header layout.
VERSION_AT = 0
KEY_ID = slice(4, 264)
KEY_ID_COMPARED = slice(4, 260)
PLAIN_LENGTH_AT = 264
BASE_NAME = slice(272, 784)
DIGEST = slice(784, 848)
RESERVED = slice(848, 1024)

# Standard Whirlpool and the keyed digest agree below this many bytes.
EXACT_DIGEST_LIMIT = 8192


class FormatError(AssertionError):
    """An encrypted file that does not follow the format; the message says where."""


def xor(a, b):
    """a XOR b over the length of a (b at least as long)."""
    size = len(a)
    value = int.from_bytes(a, "little") ^ int.from_bytes(b[:size], "little")
    return value.to_bytes(size, "little")


def chunk_count(length):
    return (length + BLOCK - 1) // BLOCK


def reservation(length):
    """Key blocks a writer reserves for a plaintext of this length."""
    return chunk_count(length) + 4


class KeyStore:
    """The three key files of a key drive, read once; STATUS.DAT on demand."""

    def __init__(self, drive):
        settings = os.path.join(drive, "SETTINGS")
        self.status_path = os.path.join(settings, "STATUS.DAT")
        with open(os.path.join(settings, "KEY.DAT"), "rb") as f:
            self.key = f.read()
        with open(os.path.join(settings, "INDEX.DAT"), "rb") as f:
            self.index = f.read()
        self.count = len(self.key) // BLOCK

    def block(self, number):
        return self.key[number * BLOCK:(number + 1) * BLOCK]

    def following(self, number):
        """The block drawn after this one: the last block wraps to 1, never 0."""
        number += 1
        return 1 if number == self.count else number

    def draws(self, first, count):
        """Block numbers of count draws starting at first."""
        numbers = []
        for _ in range(count):
            numbers.append(first)
            first = self.following(first)
        return numbers

    def home_slot(self, stored_header):
        return struct.unpack(">I", stored_header[4:8])[0] % (10 * self.count)

    def find(self, stored_header):
        """Number of the header key block of a stored header, or None."""
        slots = 10 * self.count
        slot = self.home_slot(stored_header)
        for _ in range(slots):
            number = struct.unpack_from("<I", self.index, 4 * slot)[0]
            if number == 0:
                return None
            if self.block(number)[KEY_ID_COMPARED] == stored_header[KEY_ID_COMPARED]:
                return number
            slot = (slot + 1) % slots
        return None

    def status(self):
        """(highWaterMark, firstBlock, lastBlock)."""
        with open(self.status_path, "rb") as f:
            return struct.unpack("<III", f.read(12))

    def write_status(self, high_water_mark, first_block, last_block):
        with open(self.status_path, "wb") as f:
            f.write(struct.pack("<III", high_water_mark, first_block, last_block))


class Decoded:
    """What a reader learns from one encrypted file."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __repr__(self):
        return "Decoded(first_block=%r, plain_length=%r, base_name=%r, tail_length=%r)" % (
            self.first_block, self.plain_length, self.base_name, self.tail_length)


def expect_bytes(what, expected, found, offset=0):
    """Raises naming the first differing byte."""
    if expected == found:
        return
    if len(expected) != len(found):
        raise FormatError("%s: expected %d bytes, found %d" % (what, len(expected), len(found)))
    at = next(i for i in range(len(expected)) if expected[i] != found[i])
    raise FormatError("%s: byte %d differs, expected %02x, found %02x"
                      % (what, offset + at, expected[at], found[at]))


def decode_base_name(field):
    units = [struct.unpack_from("<H", field, i)[0] for i in range(0, len(field), 2)]
    if 0 not in units:
        raise FormatError("baseName has no terminating zero code unit")
    end = units.index(0)
    expect_bytes("plain header bytes after the baseName terminator",
                 bytes(len(field) - 2 * end), field[2 * end:], BASE_NAME.start + 2 * end)
    return field[:2 * end].decode("utf-16-le")


def read_encrypted(store, data):
    """Decodes an encrypted file and checks its layout; raises FormatError."""
    if len(data) < BLOCK:
        raise FormatError("file of %d bytes has no whole header" % len(data))
    stored_header = data[:BLOCK]
    first = store.find(stored_header)
    if first is None:
        raise FormatError("no key block in INDEX.DAT matches the stored header (home slot %d)"
                          % store.home_slot(stored_header))
    header = xor(stored_header, store.block(first))
    version = struct.unpack_from("<I", header, VERSION_AT)[0]
    if version != VERSION:
        raise FormatError("version: expected %d, found %d" % (VERSION, version))
    expect_bytes("plain header keyId", bytes(KEY_ID.stop - KEY_ID.start), header[KEY_ID], KEY_ID.start)
    expect_bytes("plain header reserved bytes", bytes(RESERVED.stop - RESERVED.start),
                 header[RESERVED], RESERVED.start)
    plain_length = struct.unpack_from("<Q", header, PLAIN_LENGTH_AT)[0]
    base_name = decode_base_name(header[BASE_NAME])

    chunks = chunk_count(plain_length)
    # Draws: header, digest, one per chunk, tail length, tail.
    numbers = store.draws(first, chunks + 4)
    tail_length = struct.unpack("<I", store.block(numbers[chunks + 2])[:4])[0] & 0x3FF
    expected_size = BLOCK * (1 + chunks) + tail_length
    if len(data) != expected_size:
        raise FormatError("file length: expected %d (%d chunks, tail %d), found %d"
                          % (expected_size, chunks, tail_length, len(data)))

    plaintext = bytearray()
    previous_stored = stored_header
    for i in range(chunks):
        offset = BLOCK * (1 + i)
        stored = data[offset:offset + BLOCK]
        opened = xor(stored, store.block(numbers[2 + i]))
        used = min(BLOCK, plain_length - BLOCK * i)
        plaintext += opened[:used]
        # Positions past the plaintext repeat the previous stored block.
        expect_bytes("filler of chunk %d" % i, previous_stored[used:], opened[used:], offset + used)
        previous_stored = stored

    tail = data[BLOCK * (1 + chunks):]
    if tail_length:
        expect_bytes("tail", store.block(numbers[chunks + 3])[:tail_length], tail,
                     BLOCK * (1 + chunks))
        used_blocks = numbers
    else:
        used_blocks = numbers[:chunks + 3]
    return Decoded(first_block=first, blocks=used_blocks, version=version,
                   plain_length=plain_length, base_name=base_name, digest=header[DIGEST],
                   digest_key=store.block(numbers[1]), plaintext=bytes(plaintext),
                   tail_length=tail_length)


def write_encrypted(store, first, plaintext, base_name, digest):
    """The encrypted file of plaintext on the key blocks from first on.

    digest is the keyed digest of the plaintext, keyed with the second block.
    The caller moves the key drive's highWaterMark past the reservation."""
    chunks = chunk_count(len(plaintext))
    numbers = store.draws(first, chunks + 4)
    name = base_name.encode("utf-16-le") + b"\0\0"
    if len(name) > BASE_NAME.stop - BASE_NAME.start:
        raise ValueError("base name too long")
    work = bytearray(BLOCK)
    struct.pack_into("<I", work, VERSION_AT, VERSION)
    struct.pack_into("<Q", work, PLAIN_LENGTH_AT, len(plaintext))
    work[BASE_NAME.start:BASE_NAME.start + len(name)] = name
    work[DIGEST] = digest
    work = bytearray(xor(bytes(work), store.block(numbers[0])))
    out = bytearray(work)
    # The work area keeps the previous stored block: it becomes the filler.
    for i in range(chunks):
        piece = plaintext[BLOCK * i:BLOCK * (i + 1)]
        work[:len(piece)] = piece
        work = bytearray(xor(bytes(work), store.block(numbers[2 + i])))
        out += work
    tail_length = struct.unpack("<I", store.block(numbers[chunks + 2])[:4])[0] & 0x3FF
    if tail_length:
        out += store.block(numbers[chunks + 3])[:tail_length]
    return bytes(out)


def standard_whirlpool(data):
    """Whirlpool of data through openssl, or None when openssl cannot do it."""
    for extra in (["-provider", "legacy", "-provider", "default"], []):
        try:
            done = subprocess.run(["openssl", "dgst", "-whirlpool", "-binary"] + extra,
                                  input=data, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError:
            return None
        if done.returncode == 0 and len(done.stdout) == 64:
            return done.stdout
    return None


def keyed_digest(key_block, plaintext):
    """The keyed digest of a short plaintext, or None when it cannot be computed here."""
    if len(key_block) + len(plaintext) >= EXACT_DIGEST_LIMIT:
        return None
    return standard_whirlpool(key_block + plaintext)
