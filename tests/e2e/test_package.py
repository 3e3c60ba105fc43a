"""The release package: its contents, its checksums, the users' guide in it, and the example
build script run from it."""
import glob
import os
import platform
import re
import shutil
import struct
import subprocess
import zipfile

from ..texts import TIMING
from .winerun import (BIN_DIR, VARIANTS, WineTestCase, guide_lines, listing,
                      pe_exports, program, run, ticks, windows_path)

BUILD_DIR = os.path.dirname(os.path.abspath(BIN_DIR))
CONTENTS = ["README.txt", "SHA256SUMS", "Vantrel.dll", "build.cmd", "buildtimer.exe",
            "consoledemo.exe", "hello.c"]


def release():
    """Makes the release; returns the ZIP's path."""
    subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "release"], check=True,
                   capture_output=True)
    [archive] = glob.glob(os.path.join(BUILD_DIR, "release", "*.zip"))
    return archive


class Package(WineTestCase):
    def test_zip_holds_the_deliverables_and_its_build_script_runs(self):
        archive = release()
        folder = os.path.dirname(archive)
        self.assertEqual(sorted(os.listdir(folder))[0], "SHA256SUMS")
        shutil.copy(os.path.join(folder, "SHA256SUMS"), self.dir)
        shutil.copy(archive, self.dir)
        # A download checks before unpacking, and everything checks after.
        check = ["sha256sum", "-c", "--strict", "SHA256SUMS"]
        self.assertEqual(subprocess.run(check + ["--ignore-missing"], cwd=self.dir,
                                        capture_output=True).returncode, 0)
        with zipfile.ZipFile(archive) as z:
            names = z.namelist()
            top = names[0].split("/")[0]
            self.assertEqual(sorted(n.split("/", 1)[1] for n in names if not n.endswith("/")),
                             CONTENTS)
            z.extractall(self.dir)
        folder = os.path.join(self.dir, top)
        for where in (self.dir, folder):
            checked = subprocess.run(check, cwd=where, capture_output=True, text=True)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        for name in ("buildtimer.exe", "consoledemo.exe", "Vantrel.dll"):
            with open(os.path.join(folder, name), "rb") as packed, open(program(name), "rb") as built:
                self.assertEqual(packed.read(), built.read(), name)

        # The Linux cross compiler, reached through the waiting bridge, stands in for CC.
        os.environ["CC"] = windows_path(program("ccbridge.exe"))
        try:
            result = run(["cmd", "/c", "build.cmd"], folder)
        finally:
            del os.environ["CC"]
        self.assertEqual(result.status, 0, result.err)
        self.assertRegex(result.out, rb"^" + TIMING.pattern + rb"\r\n.*hello\.exe\r\n")
        self.assertTrue(os.path.exists(os.path.join(folder, "hello.exe")))
        self.assertEqual(run(["hello.exe"], folder).out, b"Hello from a timed build.\r\n")


class Guide(WineTestCase):
    """README.txt, for the person who downloaded the ZIP."""

    def released(self):
        with zipfile.ZipFile(release()) as z:
            [name] = [n for n in z.namelist() if n.endswith("/README.txt")]
            return z.read(name)

    def test_is_plain_windows_text_about_the_release_alone(self):
        text = self.released()
        lines = text.split(b"\r\n")
        self.assertEqual(lines[-1], b"")  # ends with a line end
        for number, line in enumerate(lines[:-1], 1):
            self.assertNotIn(b"\n", line, number)  # CR LF only, no bare LF or CR
            self.assertNotIn(b"\r", line, number)
            self.assertLessEqual(len(line), 100, number)
            self.assertRegex(line, rb"^[ -~]*$", number)  # printable ASCII, no tabs
        words = text.decode().lower()
        # Nothing about building from source, and no link to a file the ZIP does not hold.
        # Debian stands only where the guide names the release that built the files.
        words = re.sub(r"built on debian .*", "", words)
        for absent in ("apt-get", "sudo", "cmake", "debian", "linux", "wine", "bash", ".md",
                       ".png", "docs/", "](", "http"):
            self.assertNotIn(absent, words)
        self.assertNotIn("@", words)  # every placeholder filled in
        self.assertRegex(words, r"consoletools 1\.0\.0, built from this commit .*\s+[0-9a-f]{40}")

    def test_names_the_release_and_package_versions_that_built_it(self):
        """The same bytes again take the same compiler, binutils, headers and import
        libraries: the guide names this machine's Debian release and those packages, each
        with the version dpkg reports for it."""
        text = self.released().decode()
        with open("/etc/debian_version") as f:
            system = "Debian %s (%s)" % (f.read().strip(),
                                         platform.freedesktop_os_release()["VERSION_CODENAME"])
        self.assertIn("built on %s," % system, " ".join(text.split()))
        for pattern, role in ((r"g\+\+-mingw-w64-i686(?:-posix|-win32)?", "compiler"),
                              ("binutils-mingw-w64-i686", "binutils"),
                              ("mingw-w64-common", "headers"),
                              ("mingw-w64-i686-dev", "import libraries")):
            with self.subTest(role=role):
                [(name, version)] = re.findall(r"(?m)^ +(%s) +(\S+) +%s\r$" % (pattern, role),
                                               text)
                self.assertEqual(version, subprocess.run(
                    ["dpkg-query", "-W", "-f=${Version}", name], capture_output=True,
                    text=True, check=True).stdout)

    def test_shows_the_texts_the_programs_write(self):
        """Every line the programs write that the guide shows stands in it as they write it:
        the timing line (with its number), the greeting and each failure's report line."""
        shown = guide_lines()
        timing = [line for line in shown if line.startswith(b"*** ")]
        self.assertEqual(len(timing), 1)

        def assert_shown(out):
            self.assertRegex(out, rb"\r\n\Z")  # whole lines, at least one
            for line in out.split(b"\r\n")[:-1]:
                self.assertIn(line, shown)

        self.write("Morvit.tmp", struct.pack("<I", ticks()))
        self.write("MvtDir.tmp", listing("windows.txt"))
        out = run("buildtimer.exe", self.dir).out
        self.assertEqual(re.sub(rb"took \d+ ", b"took 412 ", out.split(b"\r\n")[0]), timing[0])
        os.remove(self.path("MvtDir.tmp"))
        assert_shown(run("buildtimer.exe", self.dir).err)  # the listing is missing
        os.remove(self.path("Morvit.tmp"))
        os.mkdir(self.path("Morvit.tmp"))
        assert_shown(run("buildtimer.exe", self.dir).err)  # the marker cannot be opened
        os.rmdir(self.path("Morvit.tmp"))
        os.symlink("/nonexistent/folder/marker", self.path("Morvit.tmp"))
        assert_shown(run("buildtimer.exe", self.dir).err)  # the marker cannot be created

        demo = shutil.copy(program("consoledemo.exe"), self.dir)
        for variant in (None, "no-StdOut", "no-ClearScreen", "no-TellMe"):
            if variant:
                shutil.copy(os.path.join(VARIANTS, variant, "Vantrel.dll"), self.dir)
            assert_shown(run([demo], self.dir).err)
        shutil.copy(program("Vantrel.dll"), self.dir)
        told = run([demo, "C:\\a.txt"], self.dir).out
        greeting, tell = told.rsplit(b"\r\n", 2)[0], told.split(b"\r\n")[-2]
        assert_shown(greeting + b"\r\n")
        caption = tell[:-len(b" C:\\a.txt")]
        self.assertIn(b'caption "' + caption, b" ".join(shown))
        # The library's exports, as the guide declares them.
        declared = re.findall(rb"^void __stdcall (\w+)\(", b"\n".join(shown), re.M)
        self.assertEqual(sorted(name.decode() for name in declared),
                         pe_exports(program("Vantrel.dll")))
