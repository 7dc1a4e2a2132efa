#!/usr/bin/env python3
"""What installation and the packages deliver.

    check_packages.py deb --build DIR --source DIR --version V [--siblings a,b]
        cmake --install into a DESTDIR: the programs and their manual pages,
        the installed programs run from there (velkin --version, a key drive
        made by the installed tool, its Status copy); then cpack's Debian
        package holds the same files and says what it needs.
    check_packages.py zip --build DIR --version V [--siblings a,b]
        cpack's zip of the Windows build: velkin-keydrive.exe and velkin.exe
        beside a ready key drive folder, and nothing else (no key files).
"""
import argparse
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

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
        files.add("usr/share/doc/velkin/README.md")
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
        self.assertEqual(fields["Recommends"], "zenity | kdialog")


class ZipTest(Case):

    def test_zip_holds_the_tool_beside_a_ready_key_drive_folder(self):
        package = make_package(self.work)
        top = "velkin-%s-win64/" % ARGS.version
        expected = {top + name for name in (
            "velkin-keydrive.exe", "velkin.exe", "KeyDrive/", "KeyDrive/Decrypt.exe",
            "KeyDrive/Encrypt.exe", "KeyDrive/Open.exe", "KeyDrive/Status.exe",
            "KeyDrive/SETTINGS/", "KeyDrive/LOG/", "KeyDrive/TEMP/")}
        expected |= {top + "KeyDrive/SETTINGS/%s.exe" % s for s in ARGS.siblings}
        with zipfile.ZipFile(package) as archive:
            names = set(archive.namelist())
            # No key material: the key files are made on the drive itself.
            self.assertEqual(names, expected)
            with open(os.path.join(ARGS.build, "velkin.exe"), "rb") as f:
                program = f.read()
            for command in ("Decrypt", "Encrypt", "Open", "Status"):
                self.assertEqual(archive.read(top + "KeyDrive/%s.exe" % command), program, command)
            for sibling in ARGS.siblings:
                with open(os.path.join(ARGS.build, sibling + ".exe"), "rb") as f:
                    self.assertEqual(archive.read(top + "KeyDrive/SETTINGS/%s.exe" % sibling), f.read())


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
    ARGS, rest = parser.parse_known_args()
    ARGS.siblings = [s for s in ARGS.siblings.split(",") if s]
    test = DebianTest if ARGS.kind == "deb" else ZipTest
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(test)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
