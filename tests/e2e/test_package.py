"""The release package: its contents, its checksums, and the example build script run from it."""
import glob
import os
import shutil
import subprocess
import zipfile

from winerun import BIN_DIR, WineTestCase, program, run, windows_path

BUILD_DIR = os.path.dirname(os.path.abspath(BIN_DIR))
CONTENTS = ["README.md", "SHA256SUMS", "Vantrel.dll", "build.cmd", "buildtimer.exe",
            "consoledemo.exe", "hello.c"]


class Package(WineTestCase):
    def test_zip_holds_the_deliverables_and_its_build_script_runs(self):
        subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "release"], check=True,
                       capture_output=True)
        release = os.path.join(BUILD_DIR, "release")
        self.assertEqual(sorted(os.listdir(release))[0], "SHA256SUMS")
        shutil.copy(os.path.join(release, "SHA256SUMS"), self.dir)
        [archive] = glob.glob(os.path.join(release, "*.zip"))
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
        self.assertRegex(result.out, rb"^\*\*\* Assembling and linking took \d+ milliseconds "
                                     rb"\*\*\*\r\n\r\n.*hello\.exe\r\n")
        self.assertTrue(os.path.exists(os.path.join(folder, "hello.exe")))
        self.assertEqual(run(["hello.exe"], folder).out, b"Hello from a timed build.\r\n")
