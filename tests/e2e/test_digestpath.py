"""VELKIN_DIGEST_PATH through the real program, on both builds: every
compression path this processor runs gives digests the other paths accept,
and a path it cannot run, or a value that names none, fails the command with
its message before a file or a key block is touched."""
import os

from velkin_e2e import both_builds, read_status

SUFFIX = " (encrypted)"

# The processor features each path needs, as the kernel lists them.
NEEDS = {
    "portable": set(),
    "avx2": {"avx2"},
    "avx2-nogfni": {"avx2"},
    "avx512": {"avx512f", "avx512bw", "avx512vbmi", "gfni"},
}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def paths_here():
    flags = cpu_flags()
    return [path for path, needs in NEEDS.items() if needs <= flags]


@both_builds
class DigestPathCases:
    drive_size = "2M"

    def write(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_each_path_decrypts_what_the_others_encrypted(self):
        runs = paths_here()
        for index, encrypt_path in enumerate(runs):
            decrypt_path = runs[(index + 1) % len(runs)]
            with self.subTest(encrypt=encrypt_path, decrypt=decrypt_path):
                # Several pieces of 4096 bytes and a tail: the keyed digest
                # runs over many blocks on each side.
                data = os.urandom(5 * 4096 + 77)
                plain = self.write("data-%s.bin" % encrypt_path, data)
                result = self.run_command("Encrypt", self.runner.path(plain),
                                          env={"VELKIN_DIGEST_PATH": encrypt_path})
                self.assertEqual((result.code, result.boxes), (0, []), result)
                result = self.run_command("Decrypt", self.runner.path(plain + SUFFIX),
                                          env={"VELKIN_DIGEST_PATH": decrypt_path})
                self.assertEqual((result.code, result.boxes), (0, []), result)
                with open(plain, "rb") as f:
                    self.assertEqual(f.read(), data)

    def assertRefused(self, setting, message):
        data = b"kept as it is\n" * 100
        plain = self.write("plain.txt", data)
        high_before = read_status(self.drive)[0]
        result = self.run_command("Encrypt", self.runner.path(plain), env={"VELKIN_DIGEST_PATH": setting})
        self.assertBox(result, "warning", "Error: " + message, 1)
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(sorted(os.listdir(self.work)), ["plain.txt"])
        self.assertEqual(read_status(self.drive)[0], high_before)   # no key block reserved

    def test_value_naming_no_path_is_refused(self):
        self.assertRefused("fastest", "VELKIN_DIGEST_PATH is set to 'fastest'; "
                                      "it must be 'portable', 'avx2', 'avx2-nogfni' or 'avx512'")

    def test_path_this_processor_lacks_is_refused(self):
        missing = [path for path in NEEDS if path not in paths_here()]
        if not missing:
            self.skipTest("this processor runs every digest path")
        needs = {"avx2": "AVX2", "avx2-nogfni": "AVX2", "avx512": "AVX-512 (F, BW and VBMI) and GFNI"}
        for path in missing:
            with self.subTest(path=path):
                self.assertRefused(path, "the digest path '%s' set in VELKIN_DIGEST_PATH needs %s, "
                                         "which this processor does not have" % (path, needs[path]))
