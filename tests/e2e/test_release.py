"""The release can be verified: the same commit builds to the same bytes, and the shipped
images follow the Windows loader's rules (which Wine does not enforce)."""
import hashlib
import os
import shutil
import subprocess
import time
import unittest

from release import pecheck

from .winerun import IMPORTS, program, work_folder

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUTPUTS = ["bin/buildtimer.exe", "bin/consoledemo.exe", "bin/Vantrel.dll",
           "release/SHA256SUMS", "release/consoletools-1.0.0-win32.zip"]


class Reproducible(unittest.TestCase):
    def build(self, folder):
        """A clean build of the current commit, cloned into folder."""
        subprocess.run(["git", "clone", "-q", ROOT, folder], check=True)
        for step in (["cmake", "--preset", "windows"],
                     ["cmake", "--build", "--preset", "windows", "--target", "release"]):
            done = subprocess.run(step, cwd=folder, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout[-3000:] + done.stderr[-3000:])
        result = {}
        for name in OUTPUTS:
            with open(os.path.join(folder, "build", "windows", name), "rb") as f:
                result[name] = f.read()
        return result

    def test_two_clean_builds_in_two_places_are_byte_identical(self):
        work = work_folder("repro-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        first = self.build(os.path.join(work, "a"))
        time.sleep(2)  # a later second, for anything that would record the time
        second = self.build(os.path.join(work, "second-clone", "in-a-longer-path"))
        for name in OUTPUTS:
            self.assertEqual(hashlib.sha256(first[name]).hexdigest(),
                             hashlib.sha256(second[name]).hexdigest(), name)
            self.assertNotIn(work.encode(), first[name], name)


class LoaderRules(unittest.TestCase):
    def test_shipped_images_follow_the_loader_rules(self):
        for name in ("buildtimer.exe", "consoledemo.exe", "Vantrel.dll"):
            with self.subTest(name=name):
                with open(program(name), "rb") as f:
                    image = f.read()
                self.assertEqual(pecheck.problems(image, IMPORTS.get(name)), [])

    def test_edits_that_wine_accepts_but_windows_refuses_are_caught(self):
        with open(program("buildtimer.exe"), "rb") as f:
            image = f.read()
        imports = IMPORTS["buildtimer.exe"]
        for edit, rule in pecheck.BROKEN_EDITS.items():
            with self.subTest(edit=edit):
                found = pecheck.problems(pecheck.edited(image, edit), imports)
                self.assertTrue(any(rule in p for p in found), (rule, found))


if __name__ == "__main__":
    unittest.main()
