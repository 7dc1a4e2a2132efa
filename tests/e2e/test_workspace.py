"""Secure Workspaces through the real program, on both builds: a folder
dropped on Open becomes a workspace archive, the file manager works in it,
and a workspace made by one build opens on the other."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import time
import unittest

from velkin_e2e import (WIN_BUILD, WINE, DriveTestCase, RUNNERS, both_builds, exhausted, keydrive_tool,
                        make_drive, read_status, tree_contents)
from workspace_e2e import (MARKER, SUFFIX, WindowSession, member_order, run_on_terminal, run_sibling,
                           write_tree)

ERROR = "Error: "


def question(name, nbytes, nfiles):
    return ("'%s' is a folder containing %d bytes in %d files.\n\nDo you want to convert '%s' into a "
            "Brannock Secure Workspace?\n\nAfter conversion, folder '%s' and all its contents will be "
            "securely erased." % (name, nbytes, nfiles, name, name))


def refusal(name, nbytes, nfiles, left):
    return ("%s'%s' is a folder containing %d bytes in %d files.\n\nThere are only %d bytes of key "
            "remaining so\nfolder '%s' cannot be encrypted.\n" % (ERROR, name, nbytes, nfiles, left, name))


def archive_members(archive):
    with tarfile.open(archive) as t:
        return [(m.name, t.extractfile(m).read() if m.isfile() else None) for m in t.getmembers()]


def workspace_password(drive):
    with open(os.path.join(drive, "SETTINGS", "KEY.DAT"), "rb") as f:
        words = struct.unpack("<8I", f.read(32))
    return "".join("%08X" % w for w in words)


WORK_FILES = {
    "plain.txt": b"plain text\n" * 50,
    "empty.txt": b"",
    os.path.join("with blank", "my notes.txt"): b"notes " * 300,
    os.path.join("caf\u00e9", "\u65e5\u672c.txt"): "\u00e9\u00e8".encode("utf-8"),
    os.path.join("nested", "deeper", "leaf.bin"): os.urandom(5000),
}
WORK_FOLDERS = ["with blank", "caf\u00e9", "nested", "nested/deeper", "empty folder"]


class WorkspaceMixin:
    """Conversion and file manager sessions for either build."""
    drive_size = "1M"

    @property
    def asked(self):
        """The kind of the conversion's question box: on Windows a Yes/No box
        with the information icon, on the Linux terminal a question line."""
        return "information" if self.runner.name == "wine" else "question"

    def convert(self, folder, answer="yes", terminal=(), window=None, drive=None, command="Open", env=None):
        """Drops folder on Open and answers the question. The file manager
        then gets the terminal lines (native) or the window session (Wine),
        and is closed. Returns the program's result and what the file
        manager showed (its output, or its window's rows)."""
        drive = drive or self.drive
        path = self.runner.path(folder)
        if self.runner.name == "native":
            lines = ["y" if answer == "yes" else "n"] + list(terminal) + ["q"]
            result = run_on_terminal(self.runner, drive, command, [path], lines, env=env)
            return result, result.stdout
        process = self.runner.start(drive, command, [path])
        boxes = []
        first = self.runner.wait_box("Open", press=answer, timeout=60)
        if first:
            boxes.append(first)
        rows = None
        caption = os.path.basename(folder.rstrip("/")) + SUFFIX
        deadline = time.time() + 300
        while first and first.kind == self.asked and answer == "yes" and process.poll() is None \
                and time.time() < deadline:
            session = WindowSession(self.runner, caption)
            shown = session.items(timeout=1)
            if shown is not None:
                rows = [row[0] for row in shown["items"]]
                if window:
                    window(session)
                session.close()
                break
            box = self.runner.wait_box("Open", press="ok", timeout=1)
            if box:
                boxes.append(box)
        result = self.runner.finish(process, "Open")
        result.boxes = boxes + result.boxes
        return result, rows

    def opener(self, drive=None):
        return self.runner.program(drive or self.drive, "Open")

    def fm(self, archive, *args, drive=None):
        return run_sibling(self.runner, drive or self.drive, "bkfm", [self.runner.path(archive)] + list(args),
                           env={"VKLIB_OPENER": self.opener(drive)})

    def make_work(self, name="work"):
        folder = os.path.join(self.work, name)
        write_tree(folder, WORK_FILES, WORK_FOLDERS)
        return folder

    def probe(self, sibling, exit_code=0):
        """Replaces a sibling by a program that records how it is started."""
        settings = os.path.join(self.drive, "SETTINGS")
        if self.runner.name == "wine":
            target = os.path.join(settings, sibling + ".exe")
            shutil.copy(os.path.join(WIN_BUILD, "tests", "wine", "childprobe.exe"), target)
        else:
            target = os.path.join(settings, sibling)
            with open(target, "w") as f:
                f.write("#!%s\nimport json, os, sys\n"
                        "with open(sys.argv[0] + '.out', 'w') as f:\n"
                        "    json.dump({'argv': sys.argv[1:], 'VKLIB_OPENER': os.environ.get('VKLIB_OPENER'),\n"
                        "               'VKLIB_PASSWORD': os.environ.get('VKLIB_PASSWORD')}, f)\n"
                        "sys.exit(%d)\n" % (sys.executable, exit_code))
            os.chmod(target, 0o755)
        with open(target + ".exit", "w") as f:
            f.write(str(exit_code))
        return target + ".out"

    def probe_record(self, out):
        with open(out, encoding="utf-8") as f:
            return json.load(f)


@both_builds
class WorkspaceCases(WorkspaceMixin):
    def test_convert_and_work_in_the_workspace(self):
        folder = self.make_work()
        high_before = read_status(self.drive)[0]
        total = sum(len(d) for d in WORK_FILES.values())
        result, shown = self.convert(folder, terminal=["l"])
        self.assertEqual(result.code, 0, result)
        self.assertEqual([(b.kind, b.text) for b in result.boxes],
                         [(self.asked, question("work", total, len(WORK_FILES)))], result)

        archive = folder + SUFFIX
        self.assertFalse(os.path.exists(folder))
        self.assertTrue(os.path.isfile(archive))
        self.assertEqual(sorted(os.listdir(self.work)), ["work" + SUFFIX])
        members = archive_members(archive)
        names = [rel.replace(os.sep, "/") for rel in WORK_FILES] + WORK_FOLDERS
        self.assertEqual([name for name, _ in members], member_order([MARKER] + names))
        for name, data in members:
            if data is not None:          # every file is in encrypted form
                self.assertGreaterEqual(len(data), 1024 + len(WORK_FILES.get(name.replace("/", os.sep), b"")))
                self.assertNotEqual(data, WORK_FILES.get(name.replace("/", os.sep)))
        self.assertGreater(read_status(self.drive)[0], high_before)
        # The file manager showed the user's files, not the marker.
        if self.runner.name == "wine":
            self.assertEqual(shown, [n.replace("/", "\\") + ("\\" if n in WORK_FOLDERS else "")
                                     for n in member_order(names)])
        else:
            for name in names:
                self.assertIn(name, shown)
            self.assertNotIn(MARKER, shown)

        # Work in it through the file manager's actions.
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        for top in ("plain.txt", "empty.txt", "with blank", "caf\u00e9", "nested", "empty folder"):
            result = self.fm(archive, "extract", top, self.runner.path(out))
            self.assertEqual(result.code, 0, result)
        self.assertEqual(tree_contents(out), WORK_FILES)
        self.assertTrue(os.path.isdir(os.path.join(out, "empty folder")))
        # Nothing is extracted over what is there.
        result = self.fm(archive, "extract", "plain.txt", self.runner.path(out))
        self.assertEqual(result.code, 1, result)
        self.assertIn("exists already", result.stderr)

        added = os.path.join(self.work, "added.txt")
        with open(added, "wb") as f:
            f.write(b"added later")
        result = self.fm(archive, "add", self.runner.path(added))
        self.assertEqual(result.code, 0, result)
        self.assertFalse(os.path.exists(added))      # encrypted, erased, moved in
        result = self.fm(archive, "extract", "added.txt", self.runner.path(out))
        self.assertEqual(result.code, 0, result)
        with open(os.path.join(out, "added.txt"), "rb") as f:
            self.assertEqual(f.read(), b"added later")

        self.assertEqual(self.fm(archive, "remove", "nested").code, 0)
        listed = self.fm(archive, "list")
        self.assertEqual(listed.code, 0, listed)
        self.assertNotIn("nested", listed.stdout)
        self.assertIn("added.txt", listed.stdout)
        self.assertEqual(archive_members(archive)[0][0], MARKER)
        # The marker is the workspace's own: it is never removed.
        self.assertEqual(self.fm(archive, "remove", MARKER).code, 1)

    def test_file_manager_session(self):
        """The user's own session in the file manager: the terminal on Linux,
        the window on Windows (files dropped on it are added)."""
        folder = self.make_work()
        added = os.path.join(self.work, "dropped file.txt")
        with open(added, "wb") as f:
            f.write(b"dropped in")
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        shown = []

        def window(session):
            session.drop([self.runner.path(added)])
            session.wait_done("'dropped file.txt' was added to the workspace")
            session.select("nested\\")
            session.press("Remove")
            box = self.runner.wait_box("bkfm", press="yes", timeout=30)
            self.assertEqual((box.kind, box.text), ("question", "Remove 'nested' from the workspace?"))
            session.wait_done("'nested' was removed from the workspace")
            shown.extend(session.names())
        terminal = ["a " + added, "x 1 " + out, "r nested", "y", "l"]
        result, output = self.convert(folder, terminal=terminal, window=window)
        self.assertEqual((result.code, [b.kind for b in result.boxes]), (0, [self.asked]), result)

        archive = folder + SUFFIX
        names = [name for name, _ in archive_members(archive)]
        self.assertIn("dropped file.txt", names)
        self.assertFalse([n for n in names if n.startswith("nested")], names)
        self.assertFalse(os.path.exists(added))
        if self.runner.name == "wine":
            self.assertIn("dropped file.txt", shown)
            self.assertNotIn("nested\\", shown)
        else:
            # "x 1": the first file of the list, decrypted into the folder.
            self.assertIn("'caf\u00e9' was extracted to", output)
            self.assertEqual(tree_contents(out), {k: v for k, v in WORK_FILES.items() if k.startswith("caf")})
            self.assertIn("'nested' was removed from the workspace", output)

    def test_open_a_member_change_it_and_find_the_change_saved(self):
        """Opening a member runs the program's open command on it: the editor
        (notepad under Wine, an EDITOR script on Linux) changes it, and the
        workspace then holds the change."""
        folder = self.make_work()
        env = {}
        if self.runner.name == "wine":
            # The prefix names notepad for text files but does not map .txt to it.
            subprocess.run([WINE, "reg", "add", "HKCR\\.txt", "/ve", "/d", "txtfile", "/f"],
                           env=self.runner.env(), check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        else:
            editor = os.path.join(self.tmp, "editor.sh")
            with open(editor, "w") as f:
                f.write("#!/bin/sh\nprintf 'edited on the terminal' > \"$1\"\n")
            os.chmod(editor, 0o755)
            env = {"EDITOR": editor}
        high = read_status(self.drive)[0]

        def window(session):
            session.select("plain.txt")
            session.press("Open")
            edit = subprocess.run([WINE, self.runner.helper(), "edit", "--caption", "plain.txt - Notepad",
                                   "--text", "edited in notepad", "--timeout", "60"], env=self.runner.env())
            self.assertEqual(edit.returncode, 0)
            session.wait_done("'plain.txt' was changed and is saved in the workspace")
        result, shown = self.convert(folder, terminal=["o plain.txt", "l"], window=window, env=env)
        self.assertEqual((result.code, [b.kind for b in result.boxes]), (0, [self.asked]), result)
        if self.runner.name == "native":
            self.assertIn("'plain.txt' was changed and is saved in the workspace", shown)

        out = os.path.join(self.work, "out")
        os.makedirs(out)
        self.assertEqual(self.fm(folder + SUFFIX, "extract", "plain.txt", self.runner.path(out)).code, 0)
        with open(os.path.join(out, "plain.txt"), "rb") as f:
            self.assertEqual(f.read(), b"edited in notepad" if self.runner.name == "wine"
                             else b"edited on the terminal")
        # The key drive's TEMP holds nothing of it any more.
        self.assertEqual(os.listdir(os.path.join(self.drive, "TEMP")), [])
        self.assertGreater(read_status(self.drive)[0], high)

    def test_key_left_decides(self):
        # The key left is what this drive's range can still hand out: on a
        # fresh 1 MiB drive, pad blocks 1 to 1023.
        high, first, last = read_status(self.drive)
        left = (last + 1 - high) * 1024
        self.assertEqual(left, 1023 * 1024)
        folder = os.path.join(self.work, "f")

        # One byte more than the key left: refused with the figures.
        write_tree(folder, {"a.bin": b"\0" * (left - 10), "b.bin": b"\1" * 11})
        result = self.run_command("Open", self.runner.path(folder), answers=["no"])
        self.assertBox(result, "warning", refusal("f", left + 1, 2, left), 1)

        # Exactly the key left is not enough either: every file also costs its
        # header, digest and tail blocks, and so does the marker file. The
        # folder is refused as a whole before the question, not halfway
        # through the conversion.
        write_tree(folder, {"b.bin": b"\1" * 10})
        result = self.run_command("Open", self.runner.path(folder), answers=["no"])
        self.assertEqual(result.code, 1, result)
        self.assertEqual(len(result.boxes), 1, result)
        needed = ((left - 10 + 1023) // 1024 + 4 + 1 + 4 + 4) * 1024
        self.assertEqual(result.boxes[0].text,
                         "Error: %s; nothing in '%s' was changed" % (exhausted(needed, left), self.runner.path(folder)))

        # What fits with every file's own blocks is asked about.
        fits = left - 3 * 4 * 1024 - 1024
        write_tree(folder, {"a.bin": b"\0" * (fits - 10)})
        result = self.run_command("Open", self.runner.path(folder), answers=["no"])
        self.assertEqual(result.code, 0, result)
        self.assertEqual([(b.kind, b.text) for b in result.boxes], [(self.asked, question("f", fits, 2))])

        # None of the runs changed anything, nor made the marker file.
        self.assertEqual(sorted(os.listdir(folder)), ["a.bin", "b.bin"])
        self.assertEqual(sorted(os.listdir(self.work)), ["f"])
        self.assertEqual(read_status(self.drive), (high, first, last))

    def test_key_left_is_this_drives_own_share_on_a_partner_drive(self):
        partner = os.path.join(self.tmp, "partner")
        subprocess.run([keydrive_tool(), "split", self.drive, partner], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        high, first, last = read_status(self.drive)
        left = (last + 1 - high) * 1024
        self.assertLess(left, 600 * 1024)
        folder = os.path.join(self.work, "g")
        write_tree(folder, {"big.bin": b"\0" * (left + 1)})
        result = self.run_command("Open", self.runner.path(folder), answers=["no"])
        self.assertBox(result, "warning", refusal("g", left + 1, 1, left), 1)
        self.assertEqual(sorted(os.listdir(folder)), ["big.bin"])

    def test_key_store_that_cannot_be_opened_leaves_no_key(self):
        os.remove(os.path.join(self.drive, "SETTINGS", "INDEX.DAT"))
        folder = os.path.join(self.work, "one byte")
        write_tree(folder, {"x": b"x"})
        result = self.run_command("Open", self.runner.path(folder))
        self.assertBox(result, "warning", refusal("one byte", 1, 1, 0), 1)
        self.assertEqual(os.listdir(folder), ["x"])

    def test_empty_folder_holds_only_the_marker(self):
        folder = os.path.join(self.work, "empty")
        os.makedirs(folder)
        result, shown = self.convert(folder)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.boxes[0].text, question("empty", 0, 0))
        members = archive_members(folder + SUFFIX)
        self.assertEqual([name for name, _ in members], [MARKER])
        self.assertGreaterEqual(len(members[0][1]), 1024)
        self.assertFalse(os.path.exists(folder))
        if self.runner.name == "wine":
            self.assertEqual(shown, [])

    def test_existing_file_named_like_the_marker_is_kept(self):
        folder = os.path.join(self.work, "keep")
        write_tree(folder, {MARKER: b"my own notes, not to be emptied"})
        self.assertEqual(self.convert(folder)[0].code, 0)
        name, data = archive_members(folder + SUFFIX)[0]
        self.assertEqual(name, MARKER)
        copy = os.path.join(self.work, "marker copy")
        with open(copy, "wb") as f:
            f.write(data)
        self.assertEqual(self.run_command("Decrypt", self.runner.path(copy)).code, 0)
        with open(os.path.join(self.work, MARKER), "rb") as f:
            self.assertEqual(f.read(), b"my own notes, not to be emptied")

    def test_answering_no_changes_nothing(self):
        folder = self.make_work("untouched")
        before = tree_contents(folder)
        result, _ = self.convert(folder, answer="no")
        self.assertEqual((result.code, [b.kind for b in result.boxes]), (0, [self.asked]), result)
        self.assertEqual(tree_contents(folder), before)
        self.assertFalse(os.path.exists(os.path.join(folder, MARKER)))
        self.assertEqual(sorted(os.listdir(self.work)), ["untouched"])

    def test_siblings_get_their_arguments_and_environment(self):
        archive_tool = self.probe("bkgui", exit_code=5)
        folder = os.path.join(self.work, "my work")
        write_tree(folder, {"a.txt": b"a", os.path.join("sub", "b.txt"): b"b"})
        result, _ = self.convert(folder)
        archive_name = self.runner.path(folder) + SUFFIX
        quoted = '"%s%s"' % (archive_name, "." if self.runner.name == "wine" else "")
        self.assertEqual(result.boxes[-1].text,
                         "%scould not create archive %s, error 5" % (ERROR, quoted), result)
        self.assertEqual(result.code, 1)
        record = self.probe_record(archive_tool)
        source = self.runner.path(folder) + self.runner.sep + "*"
        if self.runner.name == "wine":
            self.assertEqual(record["commandLine"],
                             'K:\\SETTINGS\\bkgui.exe u -ttar %s "%s"' % (quoted, source))
        else:
            self.assertEqual(record["argv"], ["u", "-ttar", archive_name, source])
        self.assertEqual(record["VKLIB_PASSWORD"], workspace_password(self.drive))
        # Every file stays in the folder, encrypted under its own name.
        contents = tree_contents(folder)
        self.assertEqual(sorted(contents), sorted([MARKER, "a.txt", os.path.join("sub", "b.txt")]))
        self.assertTrue(all(len(data) >= 1024 for data in contents.values()))

        # The file manager: the archive's name, the program and the password.
        self.assertEqual(self.run_command("Decrypt", self.runner.path(folder)).code, 0)
        os.remove(os.path.join(folder, MARKER))
        self.restore_sibling("bkgui")
        file_manager = self.probe("bkfm", exit_code=3)
        result, _ = self.convert(folder)
        self.assertEqual(result.boxes[-1].text, "%scould not open archive %s, error 3" % (ERROR, quoted))
        self.assertFalse(os.path.exists(folder))          # the archive is complete: the folder went
        record = self.probe_record(file_manager)
        if self.runner.name == "wine":
            self.assertEqual(record["commandLine"], "K:\\SETTINGS\\bkfm.exe %s" % quoted)
            self.assertEqual(record["VKLIB_OPENER"], "K:\\Open.exe")
        else:
            self.assertEqual(record["argv"], [archive_name])
            self.assertEqual(record["VKLIB_OPENER"], self.runner.program(self.drive, "Open"))
        self.assertEqual(record["VKLIB_PASSWORD"], workspace_password(self.drive))

    def restore_sibling(self, sibling):
        if self.runner.name == "wine":
            shutil.copy(os.path.join(WIN_BUILD, sibling + ".exe"),
                        os.path.join(self.drive, "SETTINGS", sibling + ".exe"))
        else:
            from velkin_e2e import NATIVE_BUILD
            shutil.copy(os.path.join(NATIVE_BUILD, sibling), os.path.join(self.drive, "SETTINGS", sibling))

    def test_archive_that_is_not_a_workspace_keeps_the_folder(self):
        self.probe("bkgui", exit_code=0)           # ends well, writes nothing
        folder = os.path.join(self.work, "w")
        write_tree(folder, {"a.txt": b"a"})
        result, _ = self.convert(folder)
        self.assertEqual(result.code, 1, result)
        text = result.boxes[-1].text
        self.assertTrue(text.startswith(ERROR + "could not create archive \"%s" % (self.runner.path(folder) + SUFFIX)),
                        text)
        self.assertIn("not recognised as a Secure Workspace", text)
        self.assertEqual(sorted(os.listdir(folder)), sorted([MARKER, "a.txt"]))

    def test_refusals_before_anything_changes(self):
        folder = os.path.join(self.work, "w")
        write_tree(folder, {"a.txt": b"a"})
        # The archive's name is taken by a file that is no workspace.
        taken = folder + SUFFIX
        with open(taken, "wb") as f:
            f.write(b"not a workspace")
        result = self.run_command("Open", self.runner.path(folder))
        self.assertEqual(result.code, 1, result)
        self.assertIn("exists already and is not a Secure Workspace of this key", result.boxes[-1].text)
        os.remove(taken)
        # A sibling is missing.
        os.remove(os.path.join(self.drive, "SETTINGS", "bkfm" + (".exe" if self.runner.name == "wine" else "")))
        result = self.run_command("Open", self.runner.path(folder))
        self.assertEqual(result.code, 1, result)
        self.assertIn("is missing; folder", result.boxes[-1].text)
        # The key drive, a folder around it, a drive's top folder.
        holds, top = "holds the key drive's program and key", "is the top folder of a drive"
        if self.runner.name == "wine":
            self.runner.program(self.drive, "Open")      # the drive is K:
            cases = [("K:\\", top), ("K:\\SETTINGS\\..", holds)]
        else:
            cases = [(self.drive, holds), (self.tmp, holds), ("/", top)]
        for path, text in cases:
            result = self.run_command("Open", path)
            self.assertEqual(result.code, 1, result)
            self.assertIn(text, result.boxes[-1].text)
        self.assertEqual(os.listdir(folder), ["a.txt"])
        with open(os.path.join(folder, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"a")

    def test_program_folder_with_blanks(self):
        inner = make_drive(os.path.join(self.drive, "my key"), "256K", windows=self.runner.name == "wine")
        folder = os.path.join(self.work, "w")
        write_tree(folder, {"a.txt": b"a"})
        result, shown = self.convert(folder, drive=self.drive, command="my key" + self.runner.sep + "Open")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(archive_members(folder + SUFFIX)[1][0], "a.txt")
        self.assertFalse(os.path.exists(folder))
        self.assertGreater(read_status(inner)[0], 1)


class FolderChangedWhileArchived(WorkspaceMixin, DriveTestCase):
    """Linux: files saved into the folder while the archive tool works. Only
    the files that were archived, each still the very file archived, are
    removed; what changed or appeared stays and is named, and a plaintext
    that reached the archive unencrypted fails the conversion."""
    runner_name = "native"

    def wrap_archive_tool(self, before="", after=""):
        """The archive tool runs between two shell snippets; "$4" is the
        source pattern, so "${4%/*}" the folder."""
        from velkin_e2e import NATIVE_BUILD
        tool = os.path.join(self.drive, "SETTINGS", "bkgui")
        with open(tool, "w") as f:
            f.write("#!/bin/sh\nd=\"${4%%/*}\"\n%s\n'%s' \"$@\" || exit $?\n%s\n"
                    % (before, os.path.join(NATIVE_BUILD, "bkgui"), after))
        os.chmod(tool, 0o755)

    def test_what_changed_or_appeared_stays_and_is_named(self):
        cases = [
            # what happens after the archive is written, what stays in the folder
            ("printf late > \"$d/late.txt\"", {"late.txt": b"late"}),
            ("printf saved > \"$d/s\" && mv \"$d/s\" \"$d/a.txt\"", {"a.txt": b"saved"}),
            ("printf x > \"$d/b.txt\" && rm \"$d/a.txt\" && mv \"$d/b.txt\" \"$d/a.txt\"", {"a.txt": b"x"}),
        ]
        for number, (after, stays) in enumerate(cases):
            with self.subTest(after=after):
                self.wrap_archive_tool(after=after)
                folder = os.path.join(self.work, "busy%d" % number)
                write_tree(folder, {"a.txt": b"a", os.path.join("sub", "c.txt"): b"c"})
                result, _ = self.convert(folder)
                self.assertEqual(result.code, 0, result)
                self.assertEqual([b.kind for b in result.boxes], ["question", "warning"], result)
                warning = result.boxes[-1].text
                self.assertIn("holds the files of folder '%s', but the folder was not removed" % folder, warning)
                for name in stays:
                    self.assertIn("\n    " + name, warning)
                self.assertEqual(tree_contents(folder), stays)
                names = [name for name, _ in archive_members(folder + SUFFIX)]
                self.assertEqual(names, [MARKER, "a.txt", "sub", "sub/c.txt"])

    def test_a_plaintext_that_reached_the_archive_fails_the_conversion(self):
        self.wrap_archive_tool(before="printf secret > \"$d/sneaked in.txt\"")
        folder = os.path.join(self.work, "busy")
        write_tree(folder, {"a.txt": b"a"})
        result, _ = self.convert(folder)
        self.assertEqual(result.code, 1, result)
        text = result.boxes[-1].text
        self.assertTrue(text.startswith("%sfiles were saved into folder '%s' while it was converted, and "
                                        "reached the archive unencrypted:\n    sneaked in.txt" % (ERROR, folder)), text)
        self.assertIn("The archive was erased.", text)
        self.assertFalse(os.path.exists(folder + SUFFIX))
        contents = tree_contents(folder)
        self.assertEqual(sorted(contents), sorted([MARKER, "a.txt", "sneaked in.txt"]))
        self.assertEqual(contents["sneaked in.txt"], b"secret")
        self.assertGreaterEqual(len(contents["a.txt"]), 1024)     # encrypted in place
        # Dropped again, it converts.
        self.wrap_archive_tool()
        result, _ = self.convert(folder)
        self.assertEqual(result.code, 0, result)
        self.assertFalse(os.path.exists(folder))


class FolderWithLinks(WorkspaceMixin, DriveTestCase):
    """Linux: links and pipes are no files of a workspace. The question
    names them, the conversion leaves them in the folder and says so, and
    everything else is archived and removed."""
    runner_name = "native"

    def test_links_and_pipes_are_named_and_left(self):
        folder = os.path.join(self.work, "linked")
        write_tree(folder, {"a.txt": b"a"})
        os.symlink(os.path.join(self.work, "elsewhere"), os.path.join(folder, "link"))
        os.mkfifo(os.path.join(folder, "pipe"))
        result, _ = self.convert(folder)
        self.assertEqual(result.code, 0, result)
        self.assertEqual([b.kind for b in result.boxes], ["question", "warning"], result)
        self.assertTrue(result.boxes[0].text.endswith(
            "\n\nLinks and special files are not archived and stay in the folder:\n    link\n    pipe")
            or result.boxes[0].text.endswith(
            "\n\nLinks and special files are not archived and stay in the folder:\n    pipe\n    link"),
            result.boxes[0].text)
        self.assertIn("\n    link", result.boxes[1].text)
        self.assertEqual(sorted(os.listdir(folder)), ["link", "pipe"])
        self.assertEqual([name for name, _ in archive_members(folder + SUFFIX)], [MARKER, "a.txt"])


class FileManagerFromTheDesktop(WorkspaceMixin, DriveTestCase):
    """Linux: started without a terminal in a graphical session (by Open
    dropped on from a file manager) where GTK 3 is missing, the file manager
    runs in a terminal window of its own and waits until it closes."""
    runner_name = "native"

    def test_runs_in_a_terminal_window(self):
        from velkin_e2e import NATIVE_BUILD
        source = os.path.join(self.work, "src")
        write_tree(source, {MARKER: b"m", "inside.txt": b"i"})
        archive = os.path.join(self.work, "w" + SUFFIX)
        self.assertEqual(run_sibling(self.runner, self.drive, "bkgui",
                                     ["u", "-ttar", archive, source + "/*"]).code, 0)
        # A terminal program that records how it is started and types "l", "q".
        bin_folder = os.path.join(self.tmp, "bin")
        os.makedirs(bin_folder)
        record = os.path.join(self.tmp, "terminal.out")
        terminal = os.path.join(bin_folder, "x-terminal-emulator")
        with open(terminal, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$@\" > '%s'\nshift\n"
                    "printf 'l\\nq\\n' | \"$@\" >> '%s'\n" % (record, record))
        os.chmod(terminal, 0o755)
        no_gtk = os.path.join(self.tmp, "no-gtk")
        os.makedirs(no_gtk)
        with open(os.path.join(no_gtk, "libgtk-3.so.0"), "wb"):
            pass
        env = {"DISPLAY": ":0", "PATH": bin_folder + os.pathsep + os.environ["PATH"], "LD_LIBRARY_PATH": no_gtk}
        result = run_sibling(self.runner, self.drive, "bkfm", [archive], env=env)
        self.assertEqual(result.code, 0, result)
        self.assertRegex(result.stderr, r"^bkfm: no window: GTK 3 could not be loaded .*\n$")
        with open(record, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[:3], ["-e", os.path.join(NATIVE_BUILD, "bkfm"), archive])
        self.assertIn("inside.txt", "\n".join(lines[3:]))

        # Without a terminal program it says so, in a dialog where there is
        # one, and ends.
        env["PATH"] = self.tmp
        result = run_sibling(self.runner, self.drive, "bkfm", [archive], env=env)
        self.assertEqual(result.code, 1, result)
        self.assertIn("[warning] bkfm: The Secure Workspace '%s' cannot be shown: no terminal program" % archive,
                      result.stderr)


class WorkspaceAcrossBuilds(WorkspaceMixin, DriveTestCase):
    """A workspace made by one build opens on the other: the archive carries
    the same name on both."""
    runner_name = "wine"

    def setUp(self):
        DriveTestCase.setUp(self)
        # The native copies and siblings beside the Windows ones.
        for sibling in ("bkgui", "bkfm"):
            from velkin_e2e import NATIVE_BUILD
            shutil.copy(os.path.join(NATIVE_BUILD, sibling), os.path.join(self.drive, "SETTINGS", sibling))

    def made_by_opened_by(self, maker, opener):
        folder = os.path.join(self.work, "shared")
        write_tree(folder, {"a.txt": b"made on " + maker.encode(), os.path.join("s", "b.txt"): b"b"})
        self.runner = RUNNERS[maker]
        result, _ = self.convert(folder)
        self.assertEqual(result.code, 0, result)
        archive = folder + SUFFIX
        self.assertTrue(os.path.isfile(archive))

        self.runner = RUNNERS[opener]
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        result = self.fm(archive, "extract", "a.txt", self.runner.path(out))
        self.assertEqual(result.code, 0, result)
        with open(os.path.join(out, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"made on " + maker.encode())
        # Open on the archive starts the file manager on it.
        if opener == "native":
            result = run_on_terminal(self.runner, self.drive, "Open", [archive], ["l", "q"])
            self.assertEqual(result.code, 0, result)
            self.assertIn("s/b.txt", result.stdout)
        else:
            process = self.runner.start(self.drive, "Open", [self.runner.path(archive)])
            session = WindowSession(self.runner, "shared" + SUFFIX)
            shown = session.items(timeout=120)
            session.close()
            self.assertEqual(self.runner.finish(process, "Open").code, 0)
            self.assertEqual([row[0] for row in shown["items"]], ["a.txt", "s\\", "s\\b.txt"])

    def test_linux_to_windows(self):
        self.made_by_opened_by("native", "wine")

    def test_windows_to_linux(self):
        self.made_by_opened_by("wine", "native")


if __name__ == "__main__":
    unittest.main()
