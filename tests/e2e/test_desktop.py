"""The programs on a desktop that someone sees: real message boxes on an X display (Xvfb),
found by their titles and dismissed with Enter, as a person would."""
import os
import shutil
import subprocess
import time
import unittest

from ..texts import TIMING_END, TIMING_START
from .winerun import (PREFIX, TIMEOUT, TRACED, WINE, Trace, WineTestCase, hold_desktop, program,
                      text_args, ticks, windows_path, wineenv)

GREETING_END = b"drag a file over the exe to see more\r\n"
BOUND = 60  # seconds for a box to appear, and for a run to end after Enter


class Desktop:
    """An Xvfb server on a free display, with a Wine prefix of its own for it."""

    def __init__(self):
        if not shutil.which("xdotool"):
            raise unittest.SkipTest("no xdotool here: the setup script installs it")
        started = wineenv.start_xvfb()
        if started is None:
            raise unittest.SkipTest("Xvfb is missing or cannot start here")
        self.server, self.display = started
        self.prefix = PREFIX + "-desktop"
        try:
            wineenv.prepare(self.prefix, program("empty.exe"), self.display)
            self.holder = hold_desktop(self.env())
        except BaseException:  # no X server left behind
            self.server.kill()
            self.server.wait(10)
            raise

    def env(self, debug="-all"):
        return wineenv.environment(self.prefix, debug, display=self.display)

    def windows(self, title):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                               env=self.env(), capture_output=True, text=True).stdout
        return found.split()

    def stop(self):
        self.holder.stdin.close()
        self.holder.wait(TIMEOUT)
        subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL)
        self.server.terminate()
        self.server.wait(10)


class DesktopTestCase(WineTestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()

    def answer_box(self, argv, title, debug="-all"):
        """Runs argv until a box titled title shows, presses Enter in it, and returns the
        run's exit status, standard output and standard error (captured in files: the box
        starts Wine's desktop process, which would inherit pipes)."""
        out, err = open(self.path("out"), "wb"), open(self.path("err"), "wb")
        with out, err:
            run = subprocess.Popen([WINE] + argv, cwd=self.dir, env=self.desktop.env(debug),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            try:
                self.press_enter_until_it_ends(run, title)
                status = run.returncode
            finally:
                if run.poll() is None:
                    run.kill()
        return status, self.read("out"), self.read("err")

    def press_enter_until_it_ends(self, run, title):
        """Presses Enter in the box titled title until the run ends, within BOUND. A box's
        window can be found before it takes keys: X then refuses the key (BadWindow), or the
        box drops it; so the key goes again at each look until the run has ended."""
        deadline = time.monotonic() + BOUND
        shown = False
        while run.poll() is None:
            self.assertLess(time.monotonic(), deadline,
                            "the run has not ended after Enter" if shown
                            else "no box titled %r" % title)
            windows = self.desktop.windows(title)
            self.assertLessEqual(len(windows), 1, "more than one box titled %r" % title)
            if windows:
                shown = True
                subprocess.run(["xdotool", "key", "--window", windows[0], "Return"],
                               env=self.desktop.env(), stderr=subprocess.DEVNULL)
            time.sleep(0.2)
        self.assertTrue(shown, "the run ended without showing the box")


class TimerBoxes(DesktopTestCase):
    def test_missing_listing_shows_a_box_and_nothing_on_standard_error(self):
        self.write("Morvit.tmp", ticks().to_bytes(4, "little"))
        status, out, err = self.answer_box([program("buildtimer.exe")], "File not found:")
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(TIMING_START) and out.endswith(TIMING_END))
        self.assertNotIn(b"MvtDir.tmp", err)

    def test_marker_that_cannot_be_created_shows_a_box(self):
        os.symlink("/nonexistent/folder/marker", self.path("Morvit.tmp"))
        status, out, err = self.answer_box([program("buildtimer.exe")], "Could not open:")
        self.assertEqual((status, out), (0, b""))
        self.assertNotIn(b"Morvit.tmp", err)


class DemoBoxes(DesktopTestCase):
    def test_missing_library_ends_with_the_box_result(self):
        shutil.copy(program("consoledemo.exe"), self.dir)
        status, out, err = self.answer_box([self.path("consoledemo.exe")], "DEMO")
        self.assertEqual((status, out), (1, b""))  # IDOK
        self.assertNotIn(b"Vantrel.dll", err)

    def test_dropped_file_shows_the_libraries_box_with_the_path(self):
        for name in ("consoledemo.exe", "Vantrel.dll"):
            shutil.copy(program(name), self.dir)
        self.write("a b.txt", b"dropped\r\n")
        path = windows_path(self.path("a b.txt"))
        caption = "This is also a Windows GUI application:"
        status, out, err = self.answer_box([self.path("consoledemo.exe"), path], caption,
                                           TRACED)
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(GREETING_END))
        boxes = [text_args(b) for b in Trace(err, self.path("consoledemo.exe")).calls(
            "user32.MessageBoxA")]
        self.assertEqual(boxes, [[path.replace("\\", "\\\\"), caption]])


if __name__ == "__main__":
    unittest.main()
