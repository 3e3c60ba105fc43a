"""Reads Wine relay traces for the end-to-end tests, one program's process at a time.

Every Wine program (explorer, conhost, services, wineboot, ...) that a run starts writes its
relay lines into the same standard error, and in 32-bit Wine each of them is loaded at
0x400000, like the programs under test. So neither the return address nor the line order
tells whose call a line is. A trace made with TRACED prefixes every line with its process
and thread, and logs where each image was loaded; Trace keeps the lines of the one process
that ran the program's image, and tells the calls made by the code of an image by the span
that image occupies in that process. Nothing here assumes a load address.

Pure Python: no Wine, so the reader itself is tested on made-up traces too.
"""
import os
import re
import struct

# The debug channels a trace needs: process and thread ids, image loads, and the relay.
TRACED = "+pid,+loaddll,+relay"

# What GetStdHandle takes for standard output and standard error, as 32-bit values.
STD_OUTPUT, STD_ERROR = 0xFFFFFFF5, 0xFFFFFFF4

_LINE = re.compile(rb"^([0-9a-f]+):([0-9a-f]+):(.*)$")
_LOADED = re.compile(rb'^trace:loaddll:\w+ Loaded L"(.*)" at ([0-9A-Fa-f]+): ')
_CALL = re.compile(rb"^Call ([\w.]+)\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(rb"^Ret  ([\w.]+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def image_size(path):
    """SizeOfImage from the PE headers of the image file at path: the span it is mapped in."""
    with open(path, "rb") as f:
        headers = f.read(4096)
    pe = struct.unpack_from("<I", headers, 0x3C)[0]
    if headers[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s is not a PE image" % path)
    return struct.unpack_from("<I", headers, pe + 24 + 56)[0]  # same offset in PE32 and PE32+


def _leaf(windows_path):
    """The file name at the end of a path as the trace spells it (backslashes doubled)."""
    return windows_path.replace(b"\\\\", b"\\").rsplit(b"\\", 1)[-1].decode("latin-1").lower()


class Trace:
    """The relay trace of one run, read for the process that ran program (an image's path).

    It is an error, not an empty trace, when no process or more than one ran the image: a
    check that a call was never made must not pass because the trace holds nothing."""

    def __init__(self, data, program):
        self._loads = {}  # image file name -> base address in the program's process
        by_process = {}  # process -> its (thread, text) lines, in order
        starts = []
        for raw in data.split(b"\n"):
            match = _LINE.match(raw)
            if not match:
                continue  # a line of a run made without +pid, or a cut-off one
            process, thread, text = match.groups()
            by_process.setdefault(process, []).append((thread, text))
            loaded = _LOADED.match(text)
            if loaded and _leaf(loaded.group(1)) == os.path.basename(program).lower():
                starts.append(process)
        if len(starts) != 1:
            raise AssertionError("%d processes ran %s in this trace, not one (was it made "
                                 "with WINEDEBUG=%s?)" % (len(starts), program, TRACED))
        self.process = starts[0].decode()
        self._lines = by_process[starts[0]]
        for _thread, text in self._lines:
            loaded = _LOADED.match(text)
            if loaded:
                self._loads[_leaf(loaded.group(1))] = int(loaded.group(2), 16)
        self._program = program

    def span(self, image=None):
        """(first, end) addresses of an image (a path; default the program) in the process."""
        image = image or self._program
        base = self._loads.get(os.path.basename(image).lower())
        if base is None:
            raise AssertionError("%s was not loaded in process %s" % (image, self.process))
        return base, base + image_size(image)

    def calls(self, function):
        """The argument lists of every call to function (like 'user32.MessageBoxA') made in
        the program's process, by any module."""
        return [args for _, _, name, args, _ in self._all_calls() if name == function]

    def own_sequence(self, image=None):
        """(function, arguments) of every call made by the code of image (default: the
        program itself), in order."""
        first, end = self.span(image)
        return [(name, args) for _, _, name, args, ret in self._all_calls() if first <= ret < end]

    def own_calls(self, function, image=None):
        """(arguments, result) of each call to function made by the code of image (default:
        the program itself), in order. The result is the one its thread got back."""
        first, end = self.span(image)
        return [(args, self._result(index, thread, name, ret))
                for index, thread, name, args, ret in self._all_calls()
                if name == function and first <= ret < end]

    def own_writes(self, std, image=None):
        """The argument lists of the WriteFile calls that the code of image (default: the
        program) made to a handle GetStdHandle(std) gave it: STD_OUTPUT or STD_ERROR."""
        handles = {result & 0xFFFFFFFF for args, result in
                   self.own_calls("KERNEL32.GetStdHandle", image) if values(args) == [std]}
        return [args for args, _ in self.own_calls("KERNEL32.WriteFile", image)
                if values(args)[0] in handles]

    def _all_calls(self):
        for index, (thread, text) in enumerate(self._lines):
            call = _CALL.match(text)
            if call:
                name, args, ret = call.groups()
                yield index, thread, name.decode(), args.decode("latin-1"), int(ret, 16)

    def _result(self, index, thread, name, ret):
        for other, text in self._lines[index + 1:]:
            done = _RET.match(text) if other == thread else None
            if done and done.group(1).decode() == name and int(done.group(3), 16) == ret:
                return int(done.group(2), 16)
        return None


def text_args(arguments):
    """The quoted texts in one relay argument list, in order."""
    return re.findall(r'"((?:[^"\\]|\\.)*)"', arguments)


def values(arguments):
    """Each argument of one relay argument list as a value (a text's address for a text)."""
    fields = re.findall(r'([0-9a-f]+)(?: "(?:[^"\\]|\\.)*")?(?:,|$)', arguments)
    return [int(f, 16) for f in fields]
