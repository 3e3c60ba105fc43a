"""The images' ASLR: their base relocation tables are whole, so the programs and the library
run wherever the loader puts them, and the tests read their traces at any address."""
import struct
import unittest

import pefile

from .winerun import TRACED, WineTestCase, listing, program, run, text_args, ticks

# Relocation type -> the width of the address it moves; the others (padding) move nothing.
WIDTHS = {3: "<I"}  # IMAGE_REL_BASED_HIGHLOW


def rebased(source, base, destination):
    """Copies the image at source to destination, moved to base by applying its own base
    relocations, as the loader does when it cannot map the image at its preferred base."""
    with open(source, "rb") as f:
        pe = pefile.PE(data=f.read())
    image = bytearray(pe.__data__)
    delta = base - pe.OPTIONAL_HEADER.ImageBase
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            width = WIDTHS.get(entry.type)
            if width:
                at = pe.get_offset_from_rva(entry.rva)
                value = struct.unpack_from(width, image, at)[0] + delta
                struct.pack_into(width, image, at, value % (1 << 8 * struct.calcsize(width)))
    moved = pefile.PE(data=bytes(image))
    moved.OPTIONAL_HEADER.ImageBase = base
    moved.OPTIONAL_HEADER.CheckSum = 0
    with open(destination, "wb") as f:
        f.write(moved.write())
    return destination


def link_base(path):
    """The base an image was linked for: where it runs without any relocation."""
    return pefile.PE(path, fast_load=True).OPTIONAL_HEADER.ImageBase


class Relocated(WineTestCase):
    """Each copy is moved by its own relocation table; the loader may move it again by the
    same table (Wine 10 moves DLLs, as Windows' ASLR does). Either way it must run right
    away from the base it was linked for."""

    def assert_ran_away(self, trace, image, built):
        self.assertNotEqual(trace.span(image)[0], link_base(built), image)

    def test_timer_runs_at_other_bases(self):
        entry = b"12/08/2026  05:17 PM             2,560 hello.exe\r\n"
        self.write("MvtDir.tmp", listing("windows.txt"))
        for base in (0x10000000, 0x00010000):
            with self.subTest(base=hex(base)):
                timer = rebased(program("buildtimer.exe"), base, self.path("buildtimer.exe"))
                self.write("Morvit.tmp", struct.pack("<I", ticks()))
                result = run([timer], self.dir, TRACED)
                self.assertEqual((result.status, result.out.split(b"***\r\n", 2)[-1]),
                                 (0, b"\r\n" + entry + b"\r\n"))
                trace = result.trace(timer)
                self.assert_ran_away(trace, timer, program("buildtimer.exe"))
                self.assertEqual([text_args(a) for a, _ in trace.own_calls("KERNEL32.CreateFileA")],
                                 [["Morvit.tmp"], ["MvtDir.tmp"]])

    def test_demo_and_library_run_at_other_bases(self):
        demo = rebased(program("consoledemo.exe"), 0x20000000, self.path("consoledemo.exe"))
        library = rebased(program("Vantrel.dll"), 0x30000000, self.path("Vantrel.dll"))
        result = run([demo, "C:\\a.txt"], self.dir, TRACED)
        self.assertEqual(result.status, 0, result.err[-2000:])
        self.assertTrue(result.out.endswith(b"application: C:\\a.txt\r\n"), result.out)
        trace = result.trace(demo)
        self.assert_ran_away(trace, demo, program("consoledemo.exe"))
        self.assert_ran_away(trace, library, program("Vantrel.dll"))
        self.assertEqual(len(trace.own_calls("KERNEL32.GetProcAddress")), 3)


if __name__ == "__main__":
    unittest.main()
