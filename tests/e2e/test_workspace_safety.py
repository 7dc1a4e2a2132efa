"""Secure Workspaces never lose the user's work: two changes of one
workspace at once, a file manager stopped during an open, a write-back that
fails, names that are bytes on Linux, names that would act on a terminal,
names Windows reserves, and archives reached through links."""
import io
import os
import shutil
import signal
import subprocess
import tarfile
import threading
import time
import unittest

import formatcodec
from velkin_e2e import NATIVE_BUILD, WINE, DriveTestCase, both_builds, read_bytes, write_bytes
from workspace_e2e import MARKER, SUFFIX, WindowSession, run_sibling, write_tree
from test_workspace import WorkspaceMixin, archive_members

ENCRYPTED = formatcodec.SUFFIX


def plaintext(drive, data):
    return formatcodec.read_encrypted(formatcodec.KeyStore(drive), data).plaintext


def wait_for(path, seconds=60):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise AssertionError("%s did not appear" % path)
        time.sleep(0.05)


def rewritten_archive(source, target, rename):
    """A copy of a workspace archive with members renamed: rename maps old
    names to new ones (bytes)."""
    with tarfile.open(source, encoding="utf-8", errors="surrogateescape") as old, \
            tarfile.open(target, "w", format=tarfile.PAX_FORMAT, encoding="utf-8",
                         errors="surrogateescape") as new:
        for member in old.getmembers():
            data = old.extractfile(member) if member.isfile() else None
            new_name = rename.get(member.name.encode("utf-8", "surrogateescape"))
            if new_name is not None:
                member.name = new_name.decode("utf-8", "surrogateescape")
            new.addfile(member, data)


class NativeWorkspaceCase(WorkspaceMixin, DriveTestCase):
    runner_name = "native"

    def setUp(self):
        super().setUp()
        self.folder = self.make_work()
        result, _ = self.convert(self.folder)
        self.assertEqual(result.code, 0, result)
        self.archive = self.folder + SUFFIX

    def member(self, name):
        """A member's plaintext, read from the archive with the test's own codec."""
        for found, data in archive_members(self.archive):
            if found == name:
                return plaintext(self.drive, data)
        raise AssertionError("no member %r in %r" % (name, [n for n, _ in archive_members(self.archive)]))

    def editor(self, body):
        path = os.path.join(self.tmp, "editor.sh")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path

    def fm_env(self, **extra):
        env = {"VKLIB_OPENER": self.opener()}
        env.update(extra)
        return env

    def start_fm(self, *args, env=None):
        """bkfm on a terminal of its own (the editor runs on it), in a
        process group of its own; process.terminal collects what it shows."""
        import pty
        master, slave = pty.openpty()
        process = subprocess.Popen([os.path.join(NATIVE_BUILD, "bkfm"), self.archive] + list(args),
                                   env=self.runner.env(self.drive, env or self.fm_env()), stdin=slave,
                                   stdout=slave, stderr=subprocess.PIPE, start_new_session=True)
        os.close(slave)
        process.terminal = []
        process.reader = threading.Thread(target=self.drain, args=(master, process.terminal), daemon=True)
        process.reader.start()
        return process

    @staticmethod
    def drain(fd, chunks):
        try:
            while True:
                data = os.read(fd, 4096)
                if not data:
                    break
                chunks.append(data)
        except OSError:
            pass
        os.close(fd)

    def fm_on_terminal(self, *args, env=None):
        """Runs bkfm on a terminal to its end: (code, what the terminal showed, standard error)."""
        process = self.start_fm(*args, env=env)
        _, err = process.communicate(timeout=300)
        process.reader.join(10)
        shown = b"".join(process.terminal).decode("utf-8", "replace").replace("\r\n", "\n")
        return process.returncode, shown, err.decode("utf-8", "replace")

    def temp(self):
        return os.path.join(self.drive, "TEMP")


class ChangesAtOnce(NativeWorkspaceCase):
    """Two changes of one workspace at once: the file manager's open against
    an add, a remove and another version of the same member."""

    def test_an_open_and_changes_made_meanwhile_are_all_kept(self):
        started = os.path.join(self.tmp, "started")
        go = os.path.join(self.tmp, "go")
        # The edit is the text of the file "go", written when the editor may go on.
        editor = self.editor('touch "%s"\nwhile [ ! -e "%s" ]; do sleep 0.05; done\n'
                             'cat "%s" > "$1"\n' % (started, go, go))
        other = os.path.join(self.tmp, "other.txt")
        newer = os.path.join(self.tmp, "plain.txt")
        cases = [
            # what another program does while plain.txt is open, where the edit ends up
            ("add", "plain.txt"),
            ("replace", "plain (2).txt"),
        ]
        for what, saved in cases:
            with self.subTest(meanwhile=what):
                for path in (started, go):
                    if os.path.exists(path):
                        os.remove(path)
                process = self.start_fm("open", "plain.txt", env=self.fm_env(EDITOR=editor))
                wait_for(started)
                if what == "add":
                    write_bytes(other, b"added meanwhile")
                    self.assertEqual(self.fm(self.archive, "add", other).code, 0)
                else:
                    self.assertEqual(self.fm(self.archive, "remove", "plain.txt").code, 0)
                    write_bytes(newer, b"another version")
                    self.assertEqual(self.fm(self.archive, "add", newer).code, 0)
                write_bytes(go, b"edited while the workspace changed: " + what.encode())
                _, err = process.communicate(timeout=300)
                process.reader.join(10)
                said = b"".join(process.terminal) + err
                self.assertEqual(process.returncode, 0, said)
                self.assertEqual(self.member(saved), b"edited while the workspace changed: " + what.encode())
                if what == "add":
                    self.assertEqual(self.member("other.txt"), b"added meanwhile")
                    self.assertIn(b"'plain.txt' was changed and is saved in the workspace", said)
                else:
                    self.assertEqual(self.member("plain.txt"), b"another version")
                    self.assertIn(b"the edited version is saved beside it as 'plain (2).txt'", said)
                self.assertEqual(os.listdir(self.temp()), [])


class StoppedAndFailedOpens(NativeWorkspaceCase):
    """What an open of a member leaves when the file manager is stopped, or
    when its write-back fails, is finished by the next file manager."""

    def test_a_stopped_file_manager_is_finished_by_the_next_runs(self):
        edited = os.path.join(self.tmp, "edited")
        editor = self.editor('printf "half done" > "$1"\ntouch "%s"\nsleep 60\n' % edited)
        process = self.start_fm("open", "plain.txt", env=self.fm_env(EDITOR=editor))
        wait_for(edited)
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate(timeout=60)
        # The plaintext working copy waits for the program's next run, and
        # the working folder for the plaintext's changes.
        self.assertIn("plain.txt", os.listdir(self.temp()))
        listed = self.fm(self.archive, "list")
        self.assertEqual(listed.code, 0, listed)
        self.assertEqual(listed.stderr, "")
        status = self.run_command("Status")
        self.assertIn("Its changes are kept, encrypted, as '", status.boxes[-1].text)
        listed = self.fm(self.archive, "list")
        self.assertEqual(listed.code, 0, listed)
        self.assertIn("An earlier open of 'plain.txt' in the workspace '%s' was not finished: the edits of "
                      "'plain.txt' that could not be saved in its place are kept, encrypted, in the workspace "
                      "as 'plain (recovered).txt'" % self.archive, listed.stderr)
        self.assertIn("plain (recovered).txt", listed.stdout)
        self.assertEqual(self.member("plain (recovered).txt"), b"half done")
        self.assertEqual(self.member("plain.txt"), b"plain text\n" * 50)
        self.assertEqual(os.listdir(self.temp()), [])

    def test_a_failed_write_back_is_saved_by_the_next_file_manager(self):
        lock = self.archive + ".lock"
        # The workspace cannot be changed while its lock file is a folder.
        editor = self.editor('printf "kept for later" > "$1"\nmkdir "%s"\n' % lock)
        code, _, err = self.fm_on_terminal("open", "plain.txt", env=self.fm_env(EDITOR=editor))
        self.assertEqual(code, 1, err)
        self.assertIn("'plain.txt' could not be written into the workspace '%s', which is as it was" % self.archive,
                      err)
        self.assertIn("the file manager saves it into the workspace when it is next started", err)
        self.assertEqual(self.member("plain.txt"), b"plain text\n" * 50)
        os.rmdir(lock)
        listed = self.fm(self.archive, "list")
        self.assertEqual(listed.code, 0, listed)
        self.assertIn("'plain.txt' was changed and is saved in the workspace", listed.stderr)
        self.assertEqual(self.member("plain.txt"), b"kept for later")
        self.assertEqual(os.listdir(self.temp()), [])

    def test_no_editor_is_no_unchanged_member(self):
        result = self.fm(self.archive, "open", "plain.txt")
        self.assertEqual(result.code, 1, result)
        self.assertIn("the program ended with code 1 on 'plain.txt'; the workspace is unchanged", result.stderr)
        self.assertEqual(os.listdir(self.temp()), [])

    def test_a_member_of_another_key_keeps_and_the_edit_is_named(self):
        plain = os.path.join(self.tmp, "notes.txt")
        write_bytes(plain, b"not encrypted")
        tool = [os.path.join(NATIVE_BUILD, "bkgui"), "u", "-ttar", self.archive, os.path.join(self.tmp, "src", "*")]
        os.makedirs(os.path.join(self.tmp, "src"))
        shutil.move(plain, os.path.join(self.tmp, "src", "notes.txt"))
        subprocess.run(tool, check=True)
        editor = self.editor('printf " and edited" >> "$1"\n')
        code, shown, err = self.fm_on_terminal("open", "notes.txt", env=self.fm_env(EDITOR=editor))
        self.assertEqual(code, 0, shown + err)
        self.assertIn("'notes.txt' is not encrypted with this drive's key and is kept as it was; the edited "
                      "version is saved, encrypted, as 'notes (2).txt'", shown)
        data = dict(archive_members(self.archive))
        self.assertEqual(data["notes.txt"], b"not encrypted")
        self.assertEqual(plaintext(self.drive, data["notes (2).txt"]), b"not encrypted and edited")


class NamesOnLinux(WorkspaceMixin, DriveTestCase):
    """Names are bytes on Linux from the folder to the archive and back; a
    name is shown with what would act on a terminal escaped."""
    runner_name = "native"

    def test_names_that_are_no_utf8_round_trip(self):
        work = os.fsencode(self.work)
        folder = os.path.join(work, b"w\xe9rk")
        files = {b"caf\xe9.txt": b"latin-1 e acute", b"caf\xe8.txt": b"latin-1 e grave",
                 os.path.join(b"d\xe9p", b"inner"): b"deep"}
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
            write_bytes(os.path.join(folder, rel), data)
        result, shown = self.convert(os.fsdecode(folder))
        self.assertEqual(result.code, 0, result)
        archive = os.path.join(work, b"w\xe9rk (Secure Workspace)")
        self.assertFalse(os.path.exists(folder))
        with tarfile.open(archive, encoding="utf-8", errors="surrogateescape") as t:
            names = sorted(m.name.encode("utf-8", "surrogateescape") for m in t.getmembers())
        self.assertEqual(names, sorted([MARKER.encode(), b"caf\xe8.txt", b"caf\xe9.txt", b"d\xe9p", b"d\xe9p/inner"]))
        self.assertEqual(shown.count("caf\ufffd.txt"), 2)
        out = os.path.join(work, b"out")
        os.makedirs(out)
        for rel in files:
            top = rel.split(b"/")[0]
            extract = subprocess.run([os.path.join(NATIVE_BUILD, "bkfm").encode(), archive, b"extract", top, out],
                                     env=self.runner.env(self.drive, {"VKLIB_OPENER": self.opener()}),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(extract.returncode, 0, extract.stderr)
        for rel, data in files.items():
            self.assertEqual(read_bytes(os.path.join(out, rel)), data)

    def test_an_entry_with_a_nul_in_its_name_is_kept_and_the_rest_reachable(self):
        source = os.path.join(self.work, "src")
        write_tree(source, {"ok.txt": b"fine"})
        archive = os.path.join(self.work, "w" + SUFFIX)
        self.assertEqual(run_sibling(self.runner, self.drive, "bkgui", ["u", "-ttar", archive, source + "/*"]).code, 0)
        # A pax path with a NUL byte, put in front of the end marker.
        data = read_bytes(archive).rstrip(b"\0")
        data += b"\0" * (-len(data) % 512)
        body = b" path=bad\0name\n"
        length = len(body) + 2
        record = str(length).encode() + body
        entry = bytearray()
        for name, kind, body in ((b"PaxHeaders/x", b"x", record), (b"bad", b"0", b"hidden data")):
            header = bytearray(512)
            header[0:len(name)] = name
            header[100:108] = b"0000644\0"
            header[124:136] = b"%011o\0" % len(body)
            header[136:148] = b"00000000001\0"
            header[156:157] = kind
            header[257:265] = b"ustar\x0000"
            header[148:156] = b" " * 8
            header[148:156] = b"%06o\0 " % sum(header)
            entry += header + body + b"\0" * (-len(body) % 512)
        write_bytes(archive, data + bytes(entry) + b"\0" * 1024)
        listed = self.fm(archive, "list")
        self.assertEqual(listed.code, 0, listed)
        self.assertIn("ok.txt", listed.stdout)
        self.assertIn("names hold a NUL byte and cannot be used; they are kept as they are but not listed: 'bad...'",
                      listed.stderr)
        added = os.path.join(self.work, "added.txt")
        write_bytes(added, b"new")
        self.assertEqual(self.fm(archive, "add", added).code, 0)
        self.assertIn(bytes(entry), read_bytes(archive))

    def test_a_workspace_reached_through_a_link_is_changed_where_it_is(self):
        folder = self.make_work()
        self.assertEqual(self.convert(folder)[0].code, 0)
        archive = folder + SUFFIX
        link = os.path.join(self.tmp, "link to it")
        os.symlink(archive, link)
        added = os.path.join(self.work, "added.txt")
        write_bytes(added, b"through the link")
        result = self.fm(link, "add", added)
        self.assertEqual(result.code, 0, result)
        self.assertTrue(os.path.islink(link))
        self.assertIn("added.txt", [name for name, _ in archive_members(archive)])
        # The archive tool too.
        source = os.path.join(self.work, "more")
        write_tree(source, {"more.txt": b"m"})
        packed = run_sibling(self.runner, self.drive, "bkgui", ["u", "-ttar", link, source + "/*"])
        self.assertEqual(packed.code, 0, packed)
        self.assertTrue(os.path.islink(link))
        self.assertIn("more.txt", [name for name, _ in archive_members(archive)])


@both_builds
class ConversionCases(WorkspaceMixin):
    def test_names_that_would_act_on_a_terminal_are_shown_escaped(self):
        archive = os.path.join(self.work, "w" + SUFFIX)
        names = ["evil\x1b]0;owned\x07.txt", "two\nlines.txt", "clear\x1b[2J.txt", "ok.txt"]
        with tarfile.open(archive, "w", format=tarfile.PAX_FORMAT) as t:
            for name in [MARKER] + names:
                info = tarfile.TarInfo(name)
                info.size = 1
                t.addfile(info, io.BytesIO(b"x"))
        listed = self.fm(archive, "list")
        self.assertEqual(listed.code, 0, listed)
        self.assertNotIn("\x1b", listed.stdout)
        self.assertNotIn("\x07", listed.stdout)
        self.assertEqual(len(listed.stdout.splitlines()), len(names))
        for escaped in ("evil\\x1B]0;owned\\x07.txt", "two\\x0Alines.txt", "clear\\x1B[2J.txt"):
            self.assertIn(escaped, listed.stdout)
        # Named as it is shown; refused with a message that is escaped too.
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        result = self.fm(archive, "extract", "clear\\x1B[2J.txt", self.runner.path(out))
        self.assertEqual(result.code, 1, result)
        self.assertIn("'clear\\x1B[2J.txt' cannot be extracted here: it holds a control character", result.stderr)
        self.assertNotIn("\x1b", result.stderr + "".join(b.text for b in result.boxes))
        self.assertEqual(os.listdir(out), [])

    def test_an_existing_workspace_is_never_merged_into(self):
        folder = self.make_work()
        self.assertEqual(self.convert(folder)[0].code, 0)
        before = read_bytes(folder + SUFFIX)
        write_tree(folder, {"plain.txt": b"a new plain.txt"})
        result = self.run_command("Open", self.runner.path(folder))
        self.assertEqual(result.code, 1, result)
        self.assertIn("exists already; folder '%s' was not changed" % self.runner.path(folder),
                      result.boxes[-1].text)
        self.assertEqual(read_bytes(folder + SUFFIX), before)
        self.assertEqual(read_bytes(os.path.join(folder, "plain.txt")), b"a new plain.txt")

    def test_sizes_are_the_plaintexts(self):
        folder = os.path.join(self.work, "sizes")
        write_tree(folder, {"six.txt": b"123456", "none.txt": b""})
        shown = []
        result, _ = self.convert(folder, window=lambda session: shown.extend(session.items()["items"]))
        self.assertEqual(result.code, 0, result)
        listed = self.fm(folder + SUFFIX, "list")
        self.assertEqual(listed.code, 0, listed)
        sizes = {line.split()[-1]: line.split()[0] for line in listed.stdout.splitlines()}
        self.assertEqual(sizes, {"six.txt": "6", "none.txt": "0"})
        if self.runner.name == "wine":
            self.assertEqual(sorted((row[0], row[1]) for row in shown), [("none.txt", "0"), ("six.txt", "6")])


class WindowAgainstAnAdd(WorkspaceMixin, DriveTestCase):
    """Windows: a member open from the window in notepad while another
    program adds a file: both are in the workspace afterwards."""
    runner_name = "wine"

    def test_the_window_and_an_add_at_once(self):
        subprocess.run([WINE, "reg", "add", "HKCR\\.txt", "/ve", "/d", "txtfile", "/f"], env=self.runner.env(),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        folder = self.make_work()
        other = os.path.join(self.work, "other.txt")
        write_bytes(other, b"added meanwhile")
        helper = [WINE, self.runner.helper()]

        def window(session):
            session.select("plain.txt")
            session.press("Open")
            self.assertEqual(subprocess.run(helper + ["window", "--caption", "plain.txt - Notepad", "--timeout",
                                                      "60"], env=self.runner.env()).returncode, 0)
            added = self.fm(folder + SUFFIX, "add", self.runner.path(other))
            self.assertEqual(added.code, 0, added)
            self.assertEqual(subprocess.run(helper + ["edit", "--caption", "plain.txt - Notepad", "--text",
                                                      "edited in notepad", "--timeout", "60"],
                                            env=self.runner.env()).returncode, 0)
            session.wait_done("'plain.txt' was changed and is saved in the workspace")
        result, _ = self.convert(folder, window=window)
        self.assertEqual(result.code, 0, result)
        data = dict(archive_members(folder + SUFFIX))
        self.assertEqual(plaintext(self.drive, data["plain.txt"]), b"edited in notepad")
        self.assertEqual(plaintext(self.drive, data["other.txt"]), b"added meanwhile")
        self.assertFalse(os.path.exists(other))


class ConversionDuringWhichFilesAreSavedOnWindows(WorkspaceMixin, DriveTestCase):
    """Windows: a file saved into the folder, and one added, while the
    archive tool works stay in the folder and are named."""
    runner_name = "wine"

    def test_what_changed_or_appeared_stays(self):
        folder = os.path.join(self.work, "busy")
        write_tree(folder, {"a.txt": b"a", "b.txt": b"b"})
        self.probe("bkgui")
        tool = os.path.join(self.drive, "SETTINGS", "bkgui.exe")
        from velkin_e2e import WIN_BUILD
        shutil.copy(os.path.join(WIN_BUILD, "bkgui.exe"), tool + ".real.exe")
        with open(tool + ".run", "w") as f:
            f.write(self.runner.path(tool + ".real.exe") + "\n")
        with open(tool + ".after", "w") as f:
            f.write("%s|saved during the conversion\n%s|late\n"
                    % (self.runner.path(os.path.join(folder, "a.txt")), self.runner.path(os.path.join(folder, "late.txt"))))
        result, _ = self.convert(folder)
        self.assertEqual(result.code, 0, result)
        self.assertEqual([b.kind for b in result.boxes], ["information", "warning"], result)
        self.assertIn("\n    a.txt", result.boxes[-1].text)
        self.assertIn("\n    late.txt", result.boxes[-1].text)
        self.assertEqual(sorted(os.listdir(folder)), ["a.txt", "late.txt"])
        self.assertEqual(read_bytes(os.path.join(folder, "a.txt")), b"saved during the conversion")
        self.assertEqual([name for name, _ in archive_members(folder + SUFFIX)], [MARKER, "a.txt", "b.txt"])


class ReservedNamesOnWindows(WorkspaceMixin, DriveTestCase):
    """Windows: a member named after a device, or ending in a period, is
    refused instead of written to the device."""
    runner_name = "wine"

    def test_reserved_names_are_refused(self):
        folder = os.path.join(self.work, "w")
        write_tree(folder, {"a.txt": b"a", "b.txt": b"b", "c.txt": b"c"})
        self.assertEqual(self.convert(folder)[0].code, 0)
        archive = folder + SUFFIX
        made = os.path.join(self.work, "made")
        shutil.move(archive, made)
        rewritten_archive(made, archive, {b"a.txt": b"aux.txt", b"b.txt": b"COM1", b"c.txt": b"name."})
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        for name in ("aux.txt", "COM1", "name."):
            for action in (["extract", name, self.runner.path(out)], ["open", name]):
                with self.subTest(name=name, action=action[0]):
                    result = self.fm(archive, *action)
                    self.assertEqual(result.code, 1, result)
                    self.assertIn("'%s' cannot be %s here: Windows" % (name, "extracted" if action[0] == "extract"
                                                                      else "opened"), result.stderr)
        self.assertEqual(os.listdir(out), [])


if __name__ == "__main__":
    unittest.main()
