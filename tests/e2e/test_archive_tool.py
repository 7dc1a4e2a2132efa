"""The workspace programs on their own, on both builds: the archive tool's
archives as GNU tar and bsdtar read them, its update, its failures, and the
command-line conventions of both siblings."""
import os
import subprocess
import tarfile
import unittest

from velkin_e2e import NATIVE_BUILD, WIN_BUILD, WINE, both_builds, tree_contents
from workspace_e2e import (MARKER, ToolResult, member_order, open_to_everyone, run_sibling,
                           sample_tree, tar_tools, write_tree)

HERE = os.path.dirname(os.path.abspath(__file__))


def tar_names(archive, tool="tar"):
    listing = subprocess.run([tool, "-tf", archive], check=True, stdout=subprocess.PIPE).stdout
    return [line.rstrip("/") for line in listing.decode("utf-8").splitlines()]


def member_data(archive):
    with tarfile.open(archive, format=tarfile.PAX_FORMAT) as t:
        return {m.name: (t.extractfile(m).read() if m.isfile() else None) for m in t.getmembers()}


@both_builds
class ArchiveToolCases:
    def pack(self, archive, source):
        return run_sibling(self.runner, self.drive, "bkgui",
                           ["u", "-ttar", self.runner.path(archive),
                            self.runner.path(source) + self.runner.sep + "*"])

    def stray_files(self, folder, expected):
        return sorted(set(os.listdir(folder)) - set(expected))

    def test_tar_tools_list_and_extract_what_it_writes(self):
        tools = tar_tools()
        if not tools:
            self.skipTest("neither GNU tar nor bsdtar is installed")
        source = os.path.join(self.work, "src")
        files = sample_tree(source)
        archive = os.path.join(self.work, "src.tar")
        result = self.pack(archive, source)
        self.assertEqual((result.code, result.boxes), (0, []), result)

        folders = {"empty folder", "with blank", "caf\u00e9 \u00fcber", "l" * 60, "nested",
                   "nested/deeper"}
        expected = member_order([rel.replace(os.sep, "/") for rel in files] + list(folders))
        for tool in tools:
            with self.subTest(tool=tool):
                self.assertEqual(tar_names(archive, tool), expected)
                out = os.path.join(self.work, "out-" + tool)
                os.makedirs(out)
                subprocess.run([tool, "-xf", archive, "-C", out], check=True)
                self.assertEqual(tree_contents(out), files)
                self.assertTrue(os.path.isdir(os.path.join(out, "empty folder")))
        # The marker's data begins right after the first header.
        with open(archive, "rb") as f:
            self.assertEqual(f.read(100).rstrip(b"\0").decode(), MARKER)
        self.assertEqual(self.stray_files(self.work, ["src", "src.tar"] + ["out-" + t for t in tools]), [])

    def test_update_replaces_adds_and_keeps(self):
        source = os.path.join(self.work, "src")
        write_tree(source, {MARKER: b"m", "a.txt": b"old a", "b.txt": b"only in the archive",
                            os.path.join("sub", "c.txt"): b"c"})
        archive = os.path.join(self.work, "ws.tar")
        self.assertEqual(self.pack(archive, source).code, 0)

        os.remove(os.path.join(source, "b.txt"))
        write_tree(source, {"a.txt": b"new a, longer than before", "d.txt": b"added",
                            os.path.join("sub", "e.txt"): b"e"})
        result = self.pack(archive, source)
        self.assertEqual((result.code, result.boxes), (0, []), result)
        data = member_data(archive)
        self.assertEqual(list(data), member_order([MARKER, "a.txt", "b.txt", "d.txt", "sub",
                                                   "sub/c.txt", "sub/e.txt"]))
        self.assertEqual(data["a.txt"], b"new a, longer than before")
        self.assertEqual(data["b.txt"], b"only in the archive")
        self.assertEqual(data["d.txt"], b"added")
        self.assertEqual(data["sub/c.txt"], b"c")

    def unreadable(self, path):
        """Makes path unreadable for the archive tool; returns a function that ends it."""
        if self.runner.name == "wine":
            helper = os.path.join(WIN_BUILD, "tests", "wine", "fmhelper.exe")
            holder = subprocess.Popen([WINE, helper, "hold", "--file", self.runner.path(path)],
                                      env=self.runner.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            self.assertEqual(holder.stdout.readline().strip(), b"held")

            def release():
                holder.stdin.close()
                holder.wait(timeout=60)
                holder.stdout.close()
            return release
        os.chmod(path, 0)
        return lambda: os.chmod(path, 0o644)

    def test_unreadable_source_leaves_no_archive_and_an_old_one_whole(self):
        source = os.path.join(self.work, "src")
        write_tree(source, {MARKER: b"m", "a.txt": b"a", "secret.txt": b"cannot be read"})
        fresh = os.path.join(self.work, "fresh.tar")
        old = os.path.join(self.work, "old.tar")
        write_tree(self.work, {"other.txt": b"x"})
        self.assertEqual(self.pack(old, os.path.join(self.work, "src")).code, 0)
        with open(old, "rb") as f:
            before = f.read()

        secret = os.path.join(source, "secret.txt")
        release = self.unreadable(secret)
        try:
            if self.runner.name == "native" and os.geteuid() == 0:
                results = self.pack_unprivileged([fresh, old], source)
            else:
                results = [self.pack(fresh, source), self.pack(old, source)]
        finally:
            release()
        for result in results:
            self.assertEqual(result.code, 1, result)
            self.assertIn("secret.txt", result.stderr)
            if self.runner.name == "wine":
                self.assertEqual([b.kind for b in result.boxes], ["warning"], result)
                self.assertIn("secret.txt", result.boxes[0].text)
        self.assertFalse(os.path.exists(fresh))
        with open(old, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(self.stray_files(self.work, ["src", "old.tar", "other.txt"]), [])

    def pack_unprivileged(self, archives, source):
        """Root reads every file: the tool runs as an unprivileged user instead."""
        script = os.path.join(HERE, "..", "run-unprivileged.sh")
        open_to_everyone(self.work, self.tmp)
        for name in os.listdir(self.work):
            open_to_everyone(os.path.join(self.work, name), self.work)
        results = []
        for archive in archives:
            run = subprocess.run([script] + [os.path.join(NATIVE_BUILD, "bkgui"), "u", "-ttar",
                                             archive, source + "/*"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if run.returncode == 77:
                self.skipTest("cannot run as an unprivileged user here")
            results.append(ToolResult(run.returncode, [], run.stdout.decode(), run.stderr.decode()))
        return results

    def test_refuses_a_file_that_is_not_an_archive(self):
        source = os.path.join(self.work, "src")
        write_tree(source, {"a.txt": b"a"})
        notes = os.path.join(self.work, "notes.txt")
        with open(notes, "wb") as f:
            f.write(b"a text file, not an archive\n" * 100)
        result = self.pack(notes, source)
        self.assertEqual(result.code, 1, result)
        self.assertIn("not a tar archive", result.stderr)
        with open(notes, "rb") as f:
            self.assertEqual(f.read(), b"a text file, not an archive\n" * 100)

    def test_command_lines(self):
        source = os.path.join(self.work, "src")
        write_tree(source, {"a.txt": b"a"})
        archive = self.runner.path(os.path.join(self.work, "x.tar"))
        pattern = self.runner.path(source) + self.runner.sep + "*"
        for name, args, code, out in [
                ("bkgui", ["--help"], 0, "usage: bkgui u -ttar ARCHIVE"),
                ("bkgui", ["--version"], 0, "bkgui V1.3.8 (2011-03-23 11:28:09)\n"),
                ("bkfm", ["--help"], 0, "usage: bkfm ARCHIVE"),
                ("bkfm", ["--version"], 0, "bkfm V1.3.8 (2011-03-23 11:28:09)\n"),
                ("bkgui", [], 2, ""),
                ("bkgui", ["a", "-ttar", archive, pattern], 2, ""),
                ("bkgui", ["u", "-tzip", archive, pattern], 2, ""),
                ("bkgui", ["u", "-ttar", archive, self.runner.path(source)], 2, ""),
                ("bkfm", [], 2, ""),
                ("bkfm", [archive, "rename", "a", "b"], 2, "")]:
            with self.subTest(name=name, args=args):
                result = run_sibling(self.runner, self.drive, name, args)
                self.assertEqual((result.code, result.boxes), (code, []), result)
                if code == 0:
                    self.assertTrue(result.stdout.startswith(out), result)
                else:
                    self.assertIn("usage: " + name, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "x.tar")))

    def test_file_manager_lists_archives_of_other_tools(self):
        tools = tar_tools()
        if not tools:
            self.skipTest("neither GNU tar nor bsdtar is installed")
        source = os.path.join(self.work, "src")
        long_name = "d" * 50 + "/" + "f" * 80 + ".bin"
        write_tree(source, {"short.txt": b"12345", long_name: b"x" * 1500,
                            "\u00e9t\u00e9.txt": b"summer"})
        runs = [("gnu", ["tar", "--format=gnu"]), ("pax", ["tar", "--format=pax"]),
                ("bsdtar", ["bsdtar", "--format=pax"])]
        for label, command in runs:
            if command[0] not in tools:
                continue
            with self.subTest(tool=label):
                archive = os.path.join(self.work, label + ".tar")
                subprocess.run(command + ["-cf", archive, "-C", source, "short.txt", long_name,
                                          "\u00e9t\u00e9.txt"], check=True)
                result = run_sibling(self.runner, self.drive, "bkfm", [self.runner.path(archive), "list"])
                self.assertEqual(result.code, 0, result)
                listed = {line.split("  ")[-1]: line.split()[0] for line in result.stdout.splitlines()}
                self.assertEqual(listed, {"short.txt": "5", long_name: "1500", "\u00e9t\u00e9.txt": "6"})


if __name__ == "__main__":
    unittest.main()
