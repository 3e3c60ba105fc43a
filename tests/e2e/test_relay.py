"""The harness: the relay trace reader keeps the lines of the program's own process, whatever
else ran and wherever the images were loaded; a stopped test removes its folders."""
import os
import re
import shutil
import struct
import signal
import subprocess
import sys
import unittest

from .winerun import TRACED, WineTestCase, program, run, windows_path, work_folder
from .relay import Trace, text_args, values


def fake_image(folder, name, size):
    """A file with just enough PE header for the reader: SizeOfImage = size."""
    path = os.path.join(folder, name)
    header = bytearray(0x200)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x80)
    header[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<I", header, 0x80 + 24 + 56, size)
    with open(path, "wb") as f:
        f.write(header)
    return path


# Two processes with images at 0x400000, their lines interleaved, as 32-bit Wine writes them;
# the program's process also runs a second thread and a library at 0x10000000.
MIXED = b"""\
0020:0024:trace:loaddll:build_module Loaded L"C:\\\\windows\\\\system32\\\\explorer.exe" at 00400000: builtin
0030:0034:trace:loaddll:build_module Loaded L"Z:\\\\tmp\\\\work\\\\BuildTimer.EXE" at 00400000: native
0030:0034:trace:loaddll:build_module Loaded L"Z:\\\\tmp\\\\work\\\\lib.dll" at 10000000: native
0030:0034:Call KERNEL32.CreateFileA(00401000 "Morvit.tmp",40000000) ret=00401010
0020:0024:Call KERNEL32.CloseHandle(00000040) ret=00401010
0030:0038:Call KERNEL32.CloseHandle(00000099) ret=00401010
0020:0024:Ret  KERNEL32.CloseHandle() retval=00000001 ret=00401010
0030:0038:Ret  KERNEL32.CloseHandle() retval=00000000 ret=00401010
0030:0034:Ret  KERNEL32.CreateFileA() retval=00000058 ret=00401010
0030:0034:Call user32.MessageBoxA(00000000,10002000 "text",10002010 "caption",00000000) ret=10001000
0030:0034:Ret  user32.MessageBoxA() retval=ffffffff ret=10001000
0030:0034:Call KERNEL32.CloseHandle(00000058) ret=00402000
0030:0034:Ret  KERNEL32.CloseHandle() retval=00000001 ret=00402000
0030:0034:Call KERNEL32.ExitProcess(00000000) ret=00405000
Call KERNEL32.CloseHandle(00000077) ret=00401010
0020:0024:Call user32.MessageBoxA(00000000,00403000 "x",00403010 "y",00000000) ret=00401020
"""


class Reader(unittest.TestCase):
    def setUp(self):
        folder = work_folder("relay-")
        self.addCleanup(shutil.rmtree, folder)
        self.timer = fake_image(folder, "buildtimer.exe", 0x5000)
        self.lib = fake_image(folder, "lib.dll", 0x3000)

    def test_keeps_the_programs_process_and_tells_its_images_apart(self):
        trace = Trace(MIXED, self.timer)
        self.assertEqual(trace.process, "0030")
        # The program's own calls: other processes' calls to the same addresses are not,
        # nor is the library's call, nor one past the image's end.
        self.assertEqual(trace.own_sequence(), [
            ("KERNEL32.CreateFileA", '00401000 "Morvit.tmp",40000000'),
            ("KERNEL32.CloseHandle", "00000099"),
            ("KERNEL32.CloseHandle", "00000058")])
        # Each result is the one its own thread got back.
        self.assertEqual(trace.own_calls("KERNEL32.CloseHandle"),
                         [("00000099", 0), ("00000058", 1)])
        self.assertEqual(trace.own_calls("KERNEL32.CreateFileA")[0][1], 0x58)
        # Calls from anywhere in the process, and from the library alone.
        self.assertEqual(len(trace.calls("user32.MessageBoxA")), 1)
        self.assertEqual(trace.own_calls("user32.MessageBoxA"), [])
        self.assertEqual([values(a) for a, _ in trace.own_calls("user32.MessageBoxA", self.lib)],
                         [[0, 0x10002000, 0x10002010, 0]])
        self.assertEqual(trace.span(self.lib), (0x10000000, 0x10003000))

    def test_a_trace_without_the_program_or_with_it_twice_is_an_error(self):
        for data in (MIXED.replace(b"BuildTimer.EXE", b"other.exe"),  # not run at all
                     MIXED.replace(b"0030:", b""),                    # made without +pid
                     MIXED + MIXED.replace(b"0030:", b"0040:")):      # run twice
            with self.subTest(data=data[-60:]):
                with self.assertRaises(AssertionError):
                    Trace(data, self.timer)


class ForeignProcess(WineTestCase):
    def test_a_second_program_at_the_same_base_is_not_read_as_the_timer(self):
        timer, decoy = program("buildtimer.exe"), program("decoy.exe")
        result = run([decoy, windows_path(timer)], self.dir, TRACED)
        self.assertEqual(result.status, 0, result.err[-2000:])
        mine, other = result.trace(timer), result.trace(decoy)
        self.assertNotEqual(mine.process, other.process)
        # The decoy shares the timer's base, and the trace holds its calls to the addresses
        # of the timer's image, which a reader going by address would take for the timer's.
        first, end = mine.span()
        self.assertEqual(other.span()[0], first)
        by_address = [m for m in re.findall(rb"Call ([\w.]+)\(.*\) ret=([0-9a-f]+)\n", result.err)
                      if first <= int(m[1], 16) < end]
        for call, times in (("CreateFileA", 3), ("WriteFile", 3), ("CloseHandle", 3)):
            self.assertGreaterEqual(
                sum(f == b"KERNEL32." + call.encode() for f, _ in by_address), times, call)
        # Read by process, the start run's calls are the timer's alone.
        opens = mine.own_calls("KERNEL32.CreateFileA")
        self.assertEqual([(text_args(a), values(a)[1]) for a, _ in opens],
                         [(["Morvit.tmp"], 0x40000000)])
        for call in ("KERNEL32.WriteFile", "KERNEL32.CloseHandle", "KERNEL32.GetTickCount"):
            self.assertEqual(len(mine.own_calls(call)), 1, call)
        self.assertEqual(len(self.read("Morvit.tmp")), 4)

class Stopped(unittest.TestCase):
    def test_a_stop_ends_a_test_at_once_and_removes_its_folders(self):
        tree = os.path.join(os.path.dirname(__file__), "..", "..")
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signum.name):
                test = subprocess.Popen(
                    [sys.executable, "-c", "from tests.e2e import winerun; import time; "
                     "print(winerun.work_folder('stop-'), flush=True); time.sleep(60)"],
                    cwd=tree, stdout=subprocess.PIPE, text=True)
                folder = test.stdout.readline().strip()
                self.assertTrue(os.path.isdir(folder), folder)
                test.send_signal(signum)
                self.assertEqual(test.wait(10), 128 + signum)
                test.stdout.close()
                self.assertFalse(os.path.exists(folder))


if __name__ == "__main__":
    unittest.main()
