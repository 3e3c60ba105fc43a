"""buildtimer.exe under Wine: the start run, the stop run and its failures."""
import errno
import os
import shutil
import struct
import subprocess
import unittest

from ..texts import TIMING, TIMING_START
from .winerun import (STD_ERROR, TRACED, UNSEEN_BOUND_MS, WINE_SOCKET_AS_STANDARD_ERROR,
                      WineTestCase, assert_tiny_program, guide_lines, listing, program, run,
                      run_unseen, stand_ins, starts_programs_through_start_exe, text_args, ticks,
                      values)

ENTRY = b"12/08/2026  05:17 PM             2,560 hello.exe\r\n"
INDENT = b" " * 15
TIMER = program("buildtimer.exe")


def windows_listing(entries=ENTRY):
    """The sample listing as Windows' cmd writes it, with these entry lines."""
    return listing("windows.txt").replace(ENTRY, entries)


class TimerTestCase(WineTestCase):
    def timer(self, debug="-all"):
        result = run("buildtimer.exe", self.dir, debug)
        self.assertEqual(result.status, 0)
        return result

    def traced(self, cwd=None):
        """A run's output and its relay trace, read for the timer's own process."""
        result = run("buildtimer.exe", cwd or self.dir, TRACED)
        self.assertEqual(result.status, 0)
        return result, result.trace(TIMER)

    def marker(self, value, size=4):
        self.write("Morvit.tmp", struct.pack("<I", value & 0xFFFFFFFF)[:size])

    def elapsed(self, out):
        match = TIMING.match(out)
        self.assertIsNotNone(match, out)
        return int(match.group(1)), out[match.end():]

    def assert_box(self, trace, text, caption):
        boxes = trace.calls("user32.MessageBoxA")
        self.assertEqual(len(boxes), 1, boxes)
        owner, _, _, style = values(boxes[0])
        self.assertEqual((owner, style), (0, 0), boxes[0])  # no owner; MB_OK, no icon
        self.assertEqual(text_args(boxes[0]), [text, caption])
        # No display here, so the box was not shown: the report line went out in one write.
        self.assertEqual(len(trace.own_writes(STD_ERROR)), 1)


class StartRun(TimerTestCase):
    def test_records_the_tick_count_and_prints_nothing(self):
        before = ticks()
        result, trace = self.traced()
        after = ticks()
        data = self.read("Morvit.tmp")
        self.assertEqual(len(data), 4)
        self.assertLessEqual(before, struct.unpack("<I", data)[0])
        self.assertLessEqual(struct.unpack("<I", data)[0], after)
        self.assertEqual(result.out, b"")
        self.assertNotIn(b"MvtDir", result.err)  # the listing is not even looked at
        # Created or truncated for writing, shared for reading; the handle closed at the end.
        opens = trace.own_calls("KERNEL32.CreateFileA")
        self.assertEqual([text_args(args) for args, _ in opens], [["Morvit.tmp"]])
        self.assertEqual(values(opens[0][0])[1:], [0x40000000, 1, 0, 2, 0x80, 0])
        self.assertEqual([int(args, 16) for args, _ in trace.own_calls("KERNEL32.CloseHandle")],
                         [opens[0][1]])
        # The tick count is read once the marker is open, just before it is written.
        order = [f for f, _ in trace.own_sequence()
                 if f in ("KERNEL32.CreateFileA", "KERNEL32.GetTickCount", "KERNEL32.WriteFile")]
        self.assertEqual(order, ["KERNEL32.CreateFileA", "KERNEL32.GetTickCount",
                                 "KERNEL32.WriteFile"])

    def test_existing_marker_is_not_rewritten_by_a_stop_run_but_can_be_replaced(self):
        self.marker(1234)
        self.write("MvtDir.tmp", windows_listing())
        self.timer()
        self.assertEqual(self.read("Morvit.tmp"), struct.pack("<I", 1234))
        os.remove(self.path("Morvit.tmp"))
        self.timer()
        self.assertEqual(len(self.read("Morvit.tmp")), 4)


class StopRun(TimerTestCase):
    def test_prints_timing_line_and_entry_lines_and_changes_no_file(self):
        listing = windows_listing()
        self.write("MvtDir.tmp", listing)
        stored = ticks() - 345
        self.marker(stored)
        before = ticks()
        out = self.timer().out
        after = ticks()
        elapsed, rest = self.elapsed(out)
        self.assertTrue(before - stored <= elapsed <= after - stored, (before, elapsed, after))
        self.assertEqual(rest, b"\r\n" + ENTRY + b"\r\n")
        self.assertEqual(self.read("MvtDir.tmp"), listing)
        self.assertEqual(self.read("Morvit.tmp"), struct.pack("<I", stored))

    def test_files_are_opened_for_reading_and_closed_listing_first(self):
        self.write("MvtDir.tmp", windows_listing())
        self.marker(ticks())
        _, trace = self.traced()
        opens = trace.own_calls("KERNEL32.CreateFileA")
        self.assertEqual([text_args(args) for args, _ in opens], [["Morvit.tmp"], ["MvtDir.tmp"]])
        for args, _ in opens:
            self.assertEqual(values(args)[1:], [0x80000000, 1, 0, 3, 0x80, 0])
        closes = [int(args, 16) for args, _ in trace.own_calls("KERNEL32.CloseHandle")]
        self.assertEqual(closes, [opens[1][1], opens[0][1]])
        # The tick count is read after the marker, so the time to open it is measured too.
        order = [f for f, _ in trace.own_sequence()
                 if f in ("KERNEL32.CreateFileA", "KERNEL32.ReadFile", "KERNEL32.GetTickCount")]
        self.assertEqual(order[:4], ["KERNEL32.CreateFileA", "KERNEL32.ReadFile",
                                     "KERNEL32.GetTickCount", "KERNEL32.CreateFileA"])

    def test_timing_line_is_whole_when_its_string_cannot_be_allocated(self):
        # An oleaut32 whose allocator always fails stands in for a system out of memory.
        shutil.copy(program("buildtimer.exe"), self.dir)
        shutil.copy(program(os.path.join("oom", "oleaut32.dll")), self.dir)
        self.write("MvtDir.tmp", windows_listing())
        self.marker(ticks() - 5000)
        result = run([self.path("buildtimer.exe")], self.dir, overrides="oleaut32=n")
        self.assertEqual(result.status, 0, result.err)
        elapsed, rest = self.elapsed(result.out)
        self.assertGreaterEqual(elapsed, 5000)
        self.assertEqual(rest, b"\r\n" + ENTRY + b"\r\n")

    def test_every_stop_run_measures_from_the_same_marker(self):
        self.write("MvtDir.tmp", windows_listing())
        self.marker(ticks())
        first, _ = self.elapsed(self.timer().out)
        second, _ = self.elapsed(self.timer().out)
        self.assertGreater(second, first)

    def test_marker_from_the_future_prints_a_negative_time(self):
        self.write("MvtDir.tmp", windows_listing())
        self.marker(ticks() + 100000)
        elapsed, _ = self.elapsed(self.timer().out)
        self.assertTrue(-100000 <= elapsed < -90000, elapsed)

    def test_short_markers_fill_the_low_bytes(self):
        self.write("MvtDir.tmp", windows_listing())
        for size in (0, 2):
            with self.subTest(size=size):
                self.marker(0xABCD1234, size)
                stored = 0x1234 if size == 2 else 0
                before = ticks()
                elapsed, _ = self.elapsed(self.timer().out)
                after = ticks()
                self.assertTrue((before - stored) & 0xFFFFFFFF <= elapsed & 0xFFFFFFFF
                                <= (after - stored) & 0xFFFFFFFF, (before, elapsed, after))


class Listings(TimerTestCase):
    def stop_output(self, listing):
        self.marker(ticks())
        self.write("MvtDir.tmp", listing)
        return self.elapsed(self.timer().out)[1]

    def test_listing_without_eight_space_summary_is_printed_to_its_end(self):
        # Wine's cmd indents its summary by seven spaces.
        wine = listing("wine.txt")
        self.assertEqual(self.stop_output(wine), wine[wine.index(b"\r\n") + 2:] + b"\r\n")

    def test_listing_without_line_end_after_the_drive_line_prints_nothing_more(self):
        self.assertEqual(self.stop_output(b" Directory of C:\\x"), b"")

    def test_indented_line_right_after_the_drive_line_belongs_to_the_excerpt(self):
        listing = b"Directory of C:\\x\r\n        first\r\n" + ENTRY + INDENT + b"sum\r\n"
        self.assertEqual(self.stop_output(listing), b"        first\r\n" + ENTRY + b"\r\n")

    def test_listings_of_4_gib_and_more_are_read_like_any_long_listing(self):
        # Sparse files: the listing, then zeros up to the size.
        for size in (1 << 32, (1 << 32) + 100):
            with self.subTest(size=size):
                self.marker(ticks())
                self.write("MvtDir.tmp", windows_listing())
                os.truncate(self.path("MvtDir.tmp"), size)
                self.assertEqual(self.elapsed(self.timer().out)[1], b"\r\n" + ENTRY + b"\r\n")

    def test_big_listing_is_cut_to_the_buffer(self):
        big = listing("big.txt")
        self.assertGreater(len(big), 32000)
        out = self.stop_output(big)
        head = big[:31999]
        self.assertEqual(out, head[head.index(b"hello\r\n") + 7:] + b"\r\n")


class Failures(TimerTestCase):
    def test_directory_named_like_the_marker(self):
        os.mkdir(self.path("Morvit.tmp"))
        result = self.timer()
        self.assertEqual(result.out, TIMING_START)
        self.assertEqual(result.err, b"File not found: Morvit.tmp\r\n")
        self.assert_box(self.traced()[1], "Morvit.tmp", "File not found:")

    def test_missing_listing(self):
        self.marker(ticks())
        result = self.timer()
        self.assertEqual(self.elapsed(result.out)[1], b"")
        self.assertEqual(result.err, b"File not found: MvtDir.tmp\r\n")
        self.assert_box(self.traced()[1], "MvtDir.tmp", "File not found:")

    def test_runs_end_with_0_when_standard_output_and_error_are_closed(self):
        # As a script's buildtimer >&- 2>&-: what cannot be written is dropped.
        def closed():
            return run("buildtimer.exe", self.dir, output_closed=True).status

        self.assertEqual(closed(), 0)  # the start run
        self.assertEqual(len(self.read("Morvit.tmp")), 4)
        self.write("MvtDir.tmp", windows_listing())
        self.assertEqual(closed(), 0)  # the stop run
        os.remove(self.path("MvtDir.tmp"))
        status = closed()  # a stop run whose report has nowhere to go
        if starts_programs_through_start_exe():
            self.skipTest(WINE_SOCKET_AS_STANDARD_ERROR)
        self.assertEqual(status, 0)

    def test_marker_that_cannot_be_created(self):
        # Not found by the existence test, but creating it fails: a link into nowhere.
        os.symlink("/nonexistent/folder/marker", self.path("Morvit.tmp"))
        result = self.timer()
        self.assertEqual(result.out, b"")
        self.assertEqual(result.err, b"Could not open: Morvit.tmp\r\n")
        self.assert_box(self.traced()[1], "Morvit.tmp", "Could not open:")


    def test_no_box_where_nobody_can_see_it(self):
        # A build agent's service: a box there would wait for a click that never comes.
        cases = [("missing listing", lambda: self.marker(ticks()), "MvtDir.tmp"),
                 ("marker is a folder", lambda: os.mkdir(self.path("Morvit.tmp")), "Morvit.tmp")]
        for case, prepare, name in cases:
            with self.subTest(case=case):
                for entry in ("Morvit.tmp", "MvtDir.tmp"):
                    if os.path.isdir(self.path(entry)):
                        os.rmdir(self.path(entry))
                    elif os.path.exists(self.path(entry)):
                        os.remove(self.path(entry))
                prepare()
                result, seconds = run_unseen(TIMER, self.dir)
                self.assertEqual(result.status, 0, result.err)
                self.assertLess(seconds, UNSEEN_BOUND_MS / 1000)
                self.assertEqual(result.err, b"File not found: " + name.encode() + b"\r\n")
                self.assertTrue(result.out.startswith(TIMING_START))
                trace = run_unseen(TIMER, self.dir, TRACED)[0].trace(TIMER)
                self.assertEqual(trace.calls("user32.MessageBoxA"), [])
                self.assertEqual(len(trace.calls("user32.GetUserObjectInformationA")), 1)
                self.assertEqual(len(trace.own_writes(STD_ERROR)), 1)

    def test_box_is_tried_where_the_station_flags_cannot_be_read(self):
        # Such a station counts as visible. The stand-in user32 fails the query, and its box
        # records the call and answers OK; Wine's own oleaut32 would need the real user32.
        shutil.copy(TIMER, self.dir)
        stand_ins(self, "buildtimer.exe", "stand-in/user32.dll", "oom/oleaut32.dll")
        self.marker(ticks())
        result = run([self.path("buildtimer.exe")], self.dir)
        self.assertEqual((result.status, result.err), (0, b""))
        self.assertEqual(self.elapsed(result.out)[1], b"")
        self.assertEqual(self.read("messageboxes.log"), b"MvtDir.tmp\0File not found:\0")

    def test_marker_that_cannot_be_written_is_removed(self):
        # A full file system: the marker can be created, but its 4 bytes cannot be written.
        disk = self.path("disk")
        os.mkdir(disk)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("a small file system cannot be mounted here (needs root): %s"
                          % mounted.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        filler = os.path.join(disk, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while True:
                os.write(fd, b"\0" * 4096)
        except OSError as error:
            self.assertEqual(error.errno, errno.ENOSPC)
        finally:
            os.close(fd)
        result = run("buildtimer.exe", disk)
        self.assertEqual((result.status, result.out), (0, b""))
        self.assertEqual(result.err, b"Could not write: Morvit.tmp\r\n")
        self.assertIn(result.err.strip(), guide_lines())  # as the users' guide shows it
        self.assertFalse(os.path.exists(os.path.join(disk, "Morvit.tmp")))
        # Closed, then deleted, then reported.
        _, trace = self.traced(disk)
        self.assert_box(trace, "Morvit.tmp", "Could not write:")
        order = [(f, text_args(args)) for f, args in trace.own_sequence()
                 if f in ("KERNEL32.CloseHandle", "KERNEL32.DeleteFileA", "user32.MessageBoxA")]
        self.assertEqual([f for f, _ in order], ["KERNEL32.CloseHandle", "KERNEL32.DeleteFileA",
                                                 "user32.MessageBoxA"])
        self.assertEqual(order[1][1], ["Morvit.tmp"])

        # Space again: the next run is a start run, not a stop run that prints the uptime.
        os.remove(filler)
        with open(os.path.join(disk, "MvtDir.tmp"), "wb") as f:
            f.write(windows_listing())
        result = run("buildtimer.exe", disk)
        self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
        with open(os.path.join(disk, "Morvit.tmp"), "rb") as f:
            self.assertEqual(len(f.read()), 4)


class Deliverable(unittest.TestCase):
    def test_size_imports_and_icon(self):
        assert_tiny_program(self, "buildtimer.exe")

if __name__ == "__main__":
    unittest.main()
