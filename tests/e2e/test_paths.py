"""Paths as each build's users give them: on Linux file names are bytes and
relative paths name files in the caller's folder; on Windows the key drive
is a drive letter and a folder may be written with '/'."""
import os
import subprocess

from velkin_e2e import DriveTestCase, merge_env, read_log

SUFFIX = b" (encrypted)"

# Names that are ordinary on Linux: ':' and '\' (refused in names on
# Windows only), a byte that is not UTF-8, blanks, a leading '-', double
# quotes with and without blanks.
NAMES = [b"meeting 10:30.txt", b"back\\slash.txt", b"caf\xe9.txt", b"  blanks  ",
         b"-leading dash.txt", b"C:\\dos\\style.txt", b'say "hi" now.txt', b'"quoted"']


def tree_bytes(root):
    """{relative path as bytes: content} of every file below root."""
    found = {}
    for folder, _, files in os.walk(os.fsencode(root)):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, os.fsencode(root))] = f.read()
    return found


class NamesNative(DriveTestCase):
    runner_name = "native"
    drive_size = "1M"

    def make_names(self, root):
        files = {}
        for i, name in enumerate(NAMES):
            files[name] = os.urandom(1500 + i)
        files[os.path.join(b"d\xe9j\xe0 vu", b"\xff\xfe.bin")] = os.urandom(3000)
        for rel, data in files.items():
            path = os.path.join(os.fsencode(root), rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        return files

    def test_folder_of_names_round_trips_byte_for_byte(self):
        root = os.path.join(self.work, "names")
        files = self.make_names(root)
        result = self.run_command("Encrypt", os.fsencode(root))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(sorted(tree_bytes(root)), sorted(rel + SUFFIX for rel in files))

        result = self.run_command("Decrypt", os.fsencode(root))
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(tree_bytes(root), files)

        # The log stays UTF-8 (read_log decodes strictly); a byte that is not
        # UTF-8 reads as U+FFFD there.
        self.assertIn("caf\ufffd.txt' expunged", read_log(self.drive))

    def test_each_name_dropped_on_its_own(self):
        for name in NAMES:
            with self.subTest(name=name):
                path = os.path.join(os.fsencode(self.work), name)
                data = os.urandom(700)
                with open(path, "wb") as f:
                    f.write(data)
                result = self.run_command("Encrypt", path)
                self.assertEqual((result.code, result.boxes), (0, []), result)
                self.assertFalse(os.path.exists(path))
                result = self.run_command("Decrypt", path + SUFFIX)
                self.assertEqual((result.code, result.boxes), (0, []), result)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), data)
                self.assertEqual(sorted(os.listdir(os.fsencode(self.work))), [name])
                os.remove(path)


class RelativePathsNative(DriveTestCase):
    """A relative path names a file in the folder the program was started
    from, although the program works in its own folder on the key drive."""
    runner_name = "native"
    drive_size = "1M"

    def write(self, rel, data):
        path = os.path.join(self.work, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def test_relative_paths_from_another_folder(self):
        files = {"report.pdf": b"%PDF report", os.path.join("sub", "notes.txt"): b"notes",
                 "-dash.txt": b"dash", "my notes.txt": b"with a blank",
                 os.path.join("folder", "inner.txt"): b"inner"}
        for rel, data in files.items():
            self.write(rel, data)
        dropped = ["report.pdf", "sub/notes.txt", "./-dash.txt", "my notes.txt", "folder"]
        for arg in dropped:
            with self.subTest(arg=arg):
                result = self.run_command("Encrypt", arg, cwd=self.work)
                self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(sorted(tree_bytes(self.work)),
                         sorted(os.fsencode(rel) + SUFFIX for rel in files))
        self.assertIn("file is '%s'" % os.path.join(self.work, "report.pdf"), read_log(self.drive))

        for arg in ["report.pdf (encrypted)", "sub/notes.txt (encrypted)", "./-dash.txt (encrypted)",
                    "my notes.txt (encrypted)", "folder"]:
            with self.subTest(arg=arg):
                result = self.run_command("Decrypt", arg, cwd=self.work)
                self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(tree_bytes(self.work), {os.fsencode(k): v for k, v in files.items()})
        # Nothing was looked for, or left, on the key drive.
        self.assertFalse(any(name.endswith("(encrypted)") for name in os.listdir(self.drive)))

    def test_relative_path_from_a_removed_folder_is_refused(self):
        gone = os.path.join(self.tmp, "gone")
        os.makedirs(gone)
        program = self.runner.program(self.drive, "Encrypt")
        done = subprocess.run(["sh", "-c", 'cd "$1" && rmdir "$1" && exec "$2" report.pdf', "sh", gone, program],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env=merge_env(os.environ, {"XDG_RUNTIME_DIR": self.tmp, "DISPLAY": None,
                                                         "WAYLAND_DISPLAY": None}))
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("The relative path 'report.pdf' cannot be used", done.stderr)


class DriveLetterWine(DriveTestCase):
    """The Windows build at the root of a key drive with a letter of its own
    (K:\\Status.exe) works in the drive's root whatever folder it is started
    from, and takes a folder written with '/'."""
    runner_name = "wine"

    def status_lines(self):
        log = read_log(self.drive) or ""
        return log.count("Program version:     V1.3.8")

    def test_status_from_the_root_a_folder_of_the_drive_and_another_drive(self):
        docs = os.path.join(self.drive, "docs")
        os.makedirs(docs)
        for name, cwd in (("K:\\", self.drive), ("K:\\docs", docs), ("another drive", self.work)):
            with self.subTest(started_from=name):
                before = self.status_lines()
                result = self.run_command("Status", cwd=cwd)
                self.assertEqual((result.code, result.boxes), (0, []), result)
                self.assertEqual(self.status_lines(), before + 1)
        self.assertFalse(os.path.exists(os.path.join(docs, "LOG")))

    def test_status_from_a_prompt_that_was_in_a_folder_of_the_drive(self):
        # The prompt remembers K:\docs as drive K's folder while another
        # drive is current; a bare "K:" would name that folder.
        from velkin_e2e import WINE
        program = self.runner.program(self.drive, "Status")
        os.makedirs(os.path.join(self.drive, "docs"))
        done = subprocess.run([WINE, "cmd", "/c", "cd /d K:\\docs & cd /d %s & %s"
                               % (self.runner.path(self.work), program)],
                              env=self.runner.env(), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done)
        self.assertEqual(self.status_lines(), 1)

    def test_folder_written_with_slashes(self):
        tree = os.path.join(self.work, "tree")
        files = {os.path.join("a.txt"): b"first", os.path.join("sub", "b.txt"): b"second" * 300}
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
            with open(os.path.join(tree, rel), "wb") as f:
                f.write(data)
        slashed = self.runner.path(tree).replace("\\", "/")
        self.assertTrue(slashed.startswith("Z:/"))
        result = self.run_command("Encrypt", slashed)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(sorted(tree_bytes(tree)), sorted(os.fsencode(rel) + SUFFIX for rel in files))
        result = self.run_command("Decrypt", slashed)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        self.assertEqual(tree_bytes(tree), {os.fsencode(k): v for k, v in files.items()})
        self.assertEqual(sorted(os.listdir(self.work)), ["tree"])
