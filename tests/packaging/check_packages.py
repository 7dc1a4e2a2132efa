#!/usr/bin/env python3
"""What installation and the packages deliver.

    check_packages.py deb --build DIR --source DIR --version V [--siblings a,b]
        cmake --install into a DESTDIR: the programs and their manual pages,
        the installed programs run from there (velkin --version, a key drive
        made by the installed tool, its Status copy); then cpack's Debian
        package holds the same files, says what it needs, has nothing that
        lintian would have fixed, and its programs are stripped and built
        with the distribution's hardening flags.
    check_packages.py zip --build DIR --source DIR --version V [--siblings a,b] [--emulator WINE]
        cpack's zip of the Windows build: velkin-keydrive.exe beside the
        programs its make copies onto a key drive, a README and the licence,
        and nothing else (no key files); every program with its icon, version
        and manifest and without debug sections; and the README's steps,
        followed under the emulator from the unpacked zip.
"""
import argparse
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import peinfo

ARGS = None


def run(*command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=300, **kwargs)


def make_package(work):
    """Runs cpack for the build into work; the package's path."""
    done = run(ARGS.cpack, "--config", os.path.join(ARGS.build, "CPackConfig.cmake"), "-B", work)
    if done.returncode != 0:
        raise AssertionError("cpack failed:\n" + done.stdout)
    made = [n for n in os.listdir(work) if n.endswith((".deb", ".zip"))]
    if len(made) != 1:
        raise AssertionError("cpack made %r" % made)
    return os.path.join(work, made[0])


class Case(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velkin-package-")
        self.addCleanup(shutil.rmtree, self.work, True)


class DebianTest(Case):

    def programs(self):
        return ["velkin", "velkin-keydrive"] + ARGS.siblings

    def expected_files(self):
        files = {"usr/bin/" + p for p in self.programs()}
        files |= {"usr/share/man/man1/%s.1.gz" % p for p in self.programs()
                  if os.path.exists(os.path.join(ARGS.source, "man", p + ".1"))}
        files |= {"usr/share/doc/velkin/" + name for name in ("README.md", "copyright", "changelog.gz")}
        return files

    def install(self):
        root = os.path.join(self.work, "root")
        done = run(ARGS.cmake, "--install", ARGS.build, "--prefix", "/usr",
                   env={**os.environ, "DESTDIR": root})
        self.assertEqual(done.returncode, 0, done.stdout)
        return root

    def test_install_puts_programs_and_manual_pages_in_place_and_they_run(self):
        root = self.install()
        found = {os.path.relpath(os.path.join(folder, name), root)
                 for folder, _, names in os.walk(root) for name in names}
        self.assertEqual(found, self.expected_files())
        for program in ("velkin", "velkin-keydrive"):
            self.assertIn("usr/share/man/man1/%s.1.gz" % program, found)
        for name in found:
            if name.startswith("usr/bin/"):
                self.assertTrue(os.access(os.path.join(root, name), os.X_OK), name)
            if name.endswith(".1.gz"):
                with gzip.open(os.path.join(root, name), "rt", encoding="utf-8") as f:
                    page = f.read()
                self.assertTrue(page.startswith(".TH "), name)
                if shutil.which("groff"):
                    check = run("groff", "-man", "-ww", "-z", input=page)
                    self.assertEqual(check.stdout, "", name)

        bin_folder = os.path.join(root, "usr", "bin")
        # The installed tool finds the installed program beside it.
        drive = os.path.join(self.work, "drive")
        made = run(os.path.join(bin_folder, "velkin-keydrive"), "make", drive, "--size", "64K")
        self.assertEqual(made.returncode, 0, made.stdout)
        status = run(os.path.join(drive, "Status"), stdin=subprocess.DEVNULL,
                     env={**os.environ, "XDG_RUNTIME_DIR": self.work})
        self.assertEqual(status.returncode, 0, status.stdout)
        with open(os.path.join(drive, "LOG", "log.txt"), encoding="utf-8") as f:
            self.assertIn("Program version:     V" + ARGS.version, f.read())
        version = run(os.path.join(bin_folder, "velkin"), "--version", stdin=subprocess.DEVNULL)
        self.assertEqual((version.returncode, version.stdout.split()[:2]),
                         (0, ["Velkin", "V" + ARGS.version]), version.stdout)

    def test_debian_package_holds_the_installed_files_and_names_its_needs(self):
        package = make_package(self.work)
        listing = run("dpkg-deb", "--contents", package)
        self.assertEqual(listing.returncode, 0, listing.stdout)
        files = {line.split()[-1][2:] for line in listing.stdout.splitlines()
                 if not line.startswith("d")}
        self.assertEqual(files, self.expected_files())
        fields = {}
        for field in ("Package", "Version", "Depends", "Recommends"):
            fields[field] = run("dpkg-deb", "--field", package, field).stdout.strip()
        self.assertEqual((fields["Package"], fields["Version"]), ("velkin", ARGS.version))
        self.assertIn("libc6", fields["Depends"])
        # The desktop's dialog tool, the opener of the open command, and GTK 3
        # or else a terminal for the workspace file manager.
        self.assertEqual(fields["Recommends"],
                         "zenity | kdialog, xdg-utils, libgtk-3-0, xterm | x-terminal-emulator")

    def test_lintian_finds_nothing_to_fix(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed")
        package = make_package(self.work)
        done = run("lintian", "--fail-on", "error,warning", "--display-level", ">=warning", package)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertFalse([line for line in done.stdout.splitlines() if line.startswith(("E:", "W:"))],
                         done.stdout)

    def test_programs_are_stripped_and_built_with_the_hardening_flags(self):
        package = make_package(self.work)
        root = os.path.join(self.work, "unpacked")
        self.assertEqual(run("dpkg-deb", "--extract", package, root).returncode, 0)
        for program in self.programs():
            with self.subTest(program=program):
                path = os.path.join(root, "usr", "bin", program)
                sections = run("readelf", "-SW", path).stdout
                self.assertNotIn(".symtab", sections)
                self.assertNotIn(".comment", sections)
                self.assertNotIn(".debug", sections)
                # Read-only relocations, bound at start; a position-independent program.
                self.assertIn("GNU_RELRO", run("readelf", "-lW", path).stdout)
                dynamic = run("readelf", "-dW", path).stdout
                self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW\b")
                self.assertRegex(dynamic, r"\(FLAGS_1\).*\bPIE\b")
                # The stack protector's checks.
                self.assertIn("__stack_chk_fail", run("readelf", "--dyn-syms", "-W", path).stdout)


COMMANDS = ("Decrypt", "Encrypt", "Open", "Status")


class ZipTest(Case):

    def top(self):
        return "velkin-%s-win64/" % ARGS.version

    def shipped(self):
        """Program file names in the zip, beside the tool."""
        return ["velkin-keydrive.exe", "velkin.exe"] + ["%s.exe" % c for c in COMMANDS] + \
               ["%s.exe" % s for s in ARGS.siblings]

    def unpack(self):
        package = make_package(self.work)
        folder = os.path.join(self.work, "unpacked")
        with zipfile.ZipFile(package) as archive:
            names = set(archive.namelist())
            archive.extractall(folder)
        return names, os.path.join(folder, self.top().rstrip("/"))

    def test_zip_holds_the_tool_beside_what_it_puts_on_a_drive_with_a_readme_and_the_licence(self):
        names, unpacked = self.unpack()
        # No key material: the key files are made on the drive itself.
        self.assertEqual(names, {self.top() + n for n in self.shipped() + ["README.txt", "LICENSE.txt"]})
        for name in self.shipped():
            with open(os.path.join(ARGS.build, name), "rb") as f:
                self.assertEqual(read_file(os.path.join(unpacked, name)), f.read(), name)
        readme = read_file(os.path.join(unpacked, "README.txt")).decode("utf-8")
        self.assertTrue(readme.startswith("Velkin %s for Windows\r\n" % ARGS.version), readme[:80])
        self.assertNotIn("\n", readme.replace("\r\n", ""))
        # The steps the test below follows.
        for step in ("velkin-keydrive make E:\\ --size 1G", "velkin-keydrive check E:\\",
                     "velkin-keydrive split E:\\ F:\\"):
            self.assertIn(step, readme)
        with open(os.path.join(ARGS.source, "LICENSE"), "rb") as f:
            self.assertEqual(read_file(os.path.join(unpacked, "LICENSE.txt")),
                             f.read().replace(b"\n", b"\r\n"))

    def test_every_program_has_its_icon_version_and_manifest_and_no_debug_sections(self):
        _, unpacked = self.unpack()
        icons = {}
        for name in self.shipped():
            with self.subTest(program=name):
                program = peinfo.Program(read_file(os.path.join(unpacked, name)))
                self.assertEqual(program.debug_sections(), [])
                self.assertEqual((program.symbol_table, program.symbol_count), (0, 0))
                numbers, strings = program.version()
                self.assertEqual(numbers, tuple(int(n) for n in ARGS.version.split(".")) + (0,))
                self.assertEqual((strings.get("OriginalFilename"), strings.get("ProductName"),
                                  strings.get("FileVersion")), (name, "Velkin", ARGS.version))
                self.assertTrue(strings.get("FileDescription"))
                manifest = program.manifest()
                self.assertIsNotNone(manifest)
                self.assertIn('<requestedExecutionLevel level="asInvoker"', manifest)
                images = program.icon_images()
                self.assertGreaterEqual(len(images), 4)
                icons[name] = images
        # The drop targets can be told apart in Explorer.
        commands = ["%s.exe" % c for c in COMMANDS]
        for i, a in enumerate(commands):
            for b in commands[i + 1:]:
                self.assertNotEqual(icons[a], icons[b], "%s and %s show the same icon" % (a, b))

    def test_the_readme_steps_work_from_the_unpacked_zip(self):
        if not ARGS.emulator:
            self.skipTest("no Windows emulator")
        _, unpacked = self.unpack()
        wine = WineDrives(self.work)
        self.addCleanup(wine.remove)
        stick, partner = wine.drive("t"), wine.drive("u")

        def tool(*args):
            return run(ARGS.emulator, os.path.join(unpacked, "velkin-keydrive.exe"), *args, cwd=unpacked)

        made = tool("make", "T:\\", "--size", "1M")
        self.assertEqual(made.returncode, 0, made.stdout)
        self.assertNotIn("missing", made.stdout)
        for name in ["%s.exe" % c for c in COMMANDS]:
            self.assertEqual(read_file(os.path.join(stick, name)), read_file(os.path.join(unpacked, name)), name)
        for sibling in ARGS.siblings:
            self.assertEqual(read_file(os.path.join(stick, "SETTINGS", sibling + ".exe")),
                             read_file(os.path.join(unpacked, sibling + ".exe")), sibling)
        for folder in ("LOG", "TEMP"):
            self.assertTrue(os.path.isdir(os.path.join(stick, folder)), folder)
        checked = tool("check", "T:\\")
        self.assertEqual(checked.returncode, 0, checked.stdout)

        # A file dropped on Encrypt, then on Decrypt, then Status.
        document = os.path.join(self.work, "report.txt")
        with open(document, "wb") as f:
            f.write(b"quarterly figures\r\n" * 100)
        dropped = "Z:" + document.replace("/", "\\")
        for command, path in (("Encrypt", dropped), ("Decrypt", dropped + " (encrypted)"), ("Status", None)):
            done = run(ARGS.emulator, "T:\\%s.exe" % command, *([path] if path else []))
            self.assertEqual(done.returncode, 0, (command, done.stdout))
            if command == "Encrypt":
                self.assertFalse(os.path.exists(document))
        self.assertEqual(read_file(document), b"quarterly figures\r\n" * 100)
        with open(os.path.join(stick, "LOG", "log.txt"), encoding="utf-8") as f:
            self.assertIn("Program version:     V" + ARGS.version, f.read())

        split = tool("split", "T:\\", "U:\\")
        self.assertEqual(split.returncode, 0, split.stdout)
        for name in ["%s.exe" % c for c in COMMANDS]:
            self.assertEqual(read_file(os.path.join(partner, name)), read_file(os.path.join(unpacked, name)), name)
        both = tool("check", "T:\\", "U:\\")
        self.assertEqual(both.returncode, 0, both.stdout)


    def test_double_clicked_key_drive_tool_keeps_its_window_until_a_key_is_pressed(self):
        if not ARGS.emulator or not shutil.which("xdotool") or not os.environ.get("DISPLAY"):
            self.skipTest("needs the emulator, xdotool and a display")
        _, unpacked = self.unpack()
        # Started as Explorer starts it: in a console window of its own.
        process = subprocess.Popen([ARGS.emulator, "cmd", "/c", "start /wait velkin-keydrive.exe --version"],
                                   cwd=unpacked, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: process.poll() is None and process.kill())

        def xdotool(*args):
            return subprocess.run(["xdotool", *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True, timeout=30).stdout.split()
        window = None
        deadline = time.time() + 60
        while not window and time.time() < deadline and process.poll() is None:
            window = xdotool("search", "--name", r"velkin-keydrive\.exe$")
            time.sleep(0.2)
        self.assertTrue(window, "no console window; the tool ended with %r" % process.poll())
        time.sleep(2)
        self.assertIsNone(process.poll(), "the window closed without waiting for a key")
        xdotool("windowfocus", "--sync", window[0])
        xdotool("key", "--window", window[0], "space")
        self.assertEqual(process.wait(timeout=60), 0)


class WineDrives:
    """Folders that the Windows programs see as drives of their own, as a
    USB stick is on Windows."""

    def __init__(self, work):
        self.work = work
        self.links = []
        prefix = os.environ.get("WINEPREFIX") or os.path.join(
            os.environ.get("TMPDIR", "/tmp"), "velkin-wine-%d" % os.getuid(), "prefix")
        # The emulator makes the prefix on its first run.
        run(ARGS.emulator, "cmd", "/c", "exit")
        self.dosdevices = os.path.join(prefix, "dosdevices")

    def drive(self, letter):
        folder = os.path.join(self.work, "drive-" + letter)
        os.makedirs(folder)
        link = os.path.join(self.dosdevices, letter + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)
        self.links.append(link)
        return folder

    def remove(self):
        for link in self.links:
            if os.path.lexists(link):
                os.remove(link)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=("deb", "zip"))
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default="")
    parser.add_argument("--version", required=True)
    parser.add_argument("--siblings", default="")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    parser.add_argument("--emulator", default="")
    ARGS, rest = parser.parse_known_args()
    ARGS.siblings = [s for s in ARGS.siblings.split(",") if s]
    test = DebianTest if ARGS.kind == "deb" else ZipTest
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(test)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
