"""The desktop launchers that velkin-keydrive make lays out on a key drive.

A launcher is started the way a file manager starts it: its Exec line is
read by the rules of desktop entries (value escapes, then quoting, then the
field codes %k for the launcher's own path and %f for the dropped file),
and, where GLib's Python binding is there, by GLib itself, whose launcher
GNOME's family of file managers use. The drive is moved to another mount
point after it was made, as a removable drive is.
"""
import configparser
import os
import shutil
import subprocess
import tempfile
import unittest

from velkin_e2e import COMMANDS, DriveTestCase, read_log

SYSTEM_PYTHON = "/usr/bin/python3"

# Starts a launcher through GLib: GDesktopAppInfo from the file, as file
# managers make it, launched on the given files; waits for the program.
GLIB_LAUNCH = r'''
import os, sys
import gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib
info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])
pids = []
flags = GLib.SpawnFlags.SEARCH_PATH | GLib.SpawnFlags.DO_NOT_REAP_CHILD
uris = [Gio.File.new_for_path(p).get_uri() for p in sys.argv[2:]]
info.launch_uris_as_manager(uris, None, flags, None, None, lambda i, pid, d: pids.append(pid), None)
codes = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids]
sys.exit(max(codes) if codes else 99)
'''


def glib_available():
    if not os.path.exists(SYSTEM_PYTHON):
        return False
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import gi; gi.require_version('Gio', '2.0')"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def unescape_value(value):
    """The escapes of a desktop entry's string values."""
    out, i = [], 0
    escapes = {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value):
            out.append(escapes.get(value[i + 1], "\\" + value[i + 1]))
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)


def split_exec(command):
    """An Exec line into arguments: blanks separate, double quotes group, and
    inside them a backslash escapes '"', '`', '$' and '\\'."""
    args, current, quoted, started, i = [], [], False, False, 0
    while i < len(command):
        c = command[i]
        if quoted:
            if c == "\\" and i + 1 < len(command) and command[i + 1] in '"`$\\':
                current.append(command[i + 1])
                i += 1
            elif c == '"':
                quoted = False
            else:
                current.append(c)
        elif c == '"':
            quoted = started = True
        elif c in " \t":
            if started:
                args.append("".join(current))
                current, started = [], False
        else:
            current.append(c)
            started = True
        i += 1
    if quoted:
        raise ValueError("unbalanced quotes in %r" % command)
    if started:
        args.append("".join(current))
    return args


def expand_fields(args, location, files):
    """%k: the launcher's path; %f: one file (the argument vanishes without one)."""
    out = []
    for arg in args:
        if arg == "%k":
            out.append(location)
        elif arg == "%f":
            out.extend(files[:1])
        else:
            out.append(arg.replace("%%", "%"))
    return out


class LauncherTest(DriveTestCase):

    def setUp(self):
        super().setUp()
        # The drive as mounted somewhere else, under a name a shell would trip on.
        mount = os.path.join(self.tmp, "media", "USB \"stick\" $HOME 'x' `id` é")
        os.makedirs(os.path.dirname(mount))
        shutil.move(self.drive, mount)
        self.drive = mount
        self.locks = tempfile.mkdtemp(prefix="velkin-locks-")
        self.addCleanup(shutil.rmtree, self.locks, True)

    def env(self):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        env["XDG_RUNTIME_DIR"] = self.locks
        return env

    def launcher(self, command):
        return os.path.join(self.drive, command + ".desktop")

    def entry(self, command):
        parser = configparser.RawConfigParser(interpolation=None)
        parser.optionxform = str
        with open(self.launcher(command), encoding="utf-8") as f:
            parser.read_file(f)
        return parser["Desktop Entry"]

    def launch(self, command, *files):
        """Runs the launcher as a file manager does; the program's exit code."""
        exec_line = unescape_value(self.entry(command)["Exec"])
        argv = expand_fields(split_exec(exec_line), self.launcher(command), list(files))
        return subprocess.run(argv, env=self.env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120).returncode

    def launch_through_glib(self, command, *files):
        return subprocess.run([SYSTEM_PYTHON, "-c", GLIB_LAUNCH, self.launcher(command), *files],
                              env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120).returncode

    def test_each_command_has_a_launcher_for_dropped_files(self):
        for command in COMMANDS:
            with self.subTest(command):
                entry = self.entry(command)
                self.assertEqual((entry["Type"], entry["Name"], entry["Terminal"]),
                                 ("Application", command, "false"))
                # File managers run only launchers marked executable.
                self.assertTrue(os.access(self.launcher(command), os.X_OK))
                args = split_exec(unescape_value(entry["Exec"]))
                self.assertEqual(args[-2:], ["%k", "%f"])
        self.assertFalse([n for n in os.listdir(self.drive) if n.endswith(".tmp")])

    @unittest.skipUnless(shutil.which("desktop-file-validate"), "desktop-file-validate not installed")
    def test_launchers_pass_the_desktop_entry_validator(self):
        for command in COMMANDS:
            with self.subTest(command):
                check = subprocess.run(["desktop-file-validate", self.launcher(command)],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                self.assertEqual((check.returncode, check.stdout), (0, ""))

    def test_dropped_files_encrypt_and_decrypt_through_the_launchers(self):
        names = ["plain.txt", "with blanks.txt", "it's", "$HOME and `id`",
                 "semi;colon&amp|pipe", "-starts with a dash", "Müller*?.txt", "back\\slash:colon",
                 'say "hi" now.txt']
        launchers = [("rules of desktop entries", self.launch)]
        if glib_available():
            launchers.append(("GLib", self.launch_through_glib))
        for how, launch in launchers:
            for name in names:
                with self.subTest(how=how, name=name):
                    path = os.path.join(self.work, name)
                    content = ("%s: %s\n" % (how, name)).encode() * 50
                    with open(path, "wb") as f:
                        f.write(content)
                    self.assertEqual(launch("Encrypt", path), 0)
                    self.assertFalse(os.path.exists(path))
                    self.assertEqual(launch("Decrypt", path + " (encrypted)"), 0)
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), content)
                    os.remove(path)
                    self.assertIn("command is 'd', file is '%s (encrypted)'" % path, read_log(self.drive))

    def test_status_without_a_file_and_open_with_one_run_their_copies(self):
        self.assertEqual(self.launch("Status"), 0)
        self.assertIn("command is 's', file is ''", read_log(self.drive))
        self.assertIn("Key number:", read_log(self.drive))
        path = os.path.join(self.work, "note.txt")
        with open(path, "w") as f:
            f.write("note")
        self.launch("Open", path)
        self.assertIn("command is 'o', file is '%s'" % path, read_log(self.drive))


if __name__ == "__main__":
    unittest.main()
