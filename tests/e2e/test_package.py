"""The release package: its contents, and the example build script run from it."""
import glob
import os
import re
import subprocess
import zipfile

from winerun import BIN_DIR, WineTestCase, program, run, windows_path

BUILD_DIR = os.path.dirname(os.path.abspath(BIN_DIR))
CONTENTS = ["README.md", "Vantrel.dll", "build.cmd", "buildtimer.exe", "consoledemo.exe",
            "hello.c"]


class Package(WineTestCase):
    def test_zip_holds_the_deliverables_and_its_build_script_runs(self):
        subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                        "-B", self.dir], check=True, capture_output=True, cwd=BUILD_DIR)
        [archive] = glob.glob(os.path.join(self.dir, "*.zip"))
        with zipfile.ZipFile(archive) as z:
            names = z.namelist()
            top = names[0].split("/")[0]
            self.assertEqual(sorted(n.split("/", 1)[1] for n in names if not n.endswith("/")),
                             CONTENTS)
            z.extractall(self.dir)
        folder = os.path.join(self.dir, top)
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
        self.assertRegex(result.out, rb"^\*\*\* Assembling and linking took \d+ milliseconds "
                                     rb"\*\*\*\r\n\r\n.*hello\.exe\r\n")
        self.assertTrue(os.path.exists(os.path.join(folder, "hello.exe")))
        self.assertEqual(run(["hello.exe"], folder).out, b"Hello from a timed build.\r\n")
