"""Runs the built Windows programs under Wine for the end-to-end tests.

BIN_DIR names the folder of the built programs and WINEPREFIX the tests' own Wine prefix;
CTest sets them. The Wine environment itself comes from the wineenv package.
"""
import functools
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import pefile

import wineenv
from release import pecheck

from .relay import (STD_ERROR, STD_OUTPUT, TRACED, Trace, text_args,  # noqa: F401
                    values)  # (for the test modules)

BIN_DIR = os.environ.get("BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/windows/bin"))
PREFIX = os.environ.get("WINEPREFIX", os.path.join(BIN_DIR, "../wineprefix"))
VARIANTS = os.path.join(BIN_DIR, "vantrel-variants")  # the stand-in library's test variants
LISTINGS = os.path.join(os.path.dirname(__file__), "..", "data", "listings")
GUIDE = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "README.txt")
WINE = wineenv.WINE
TIMEOUT = 60


def wine_env(debug="-all", overrides=""):
    return wineenv.environment(PREFIX, debug, overrides)


def listing(name):
    """A sample listing from the tests' shared folder of them."""
    with open(os.path.join(LISTINGS, name), "rb") as f:
        return f.read()


def guide_lines():
    """The lines of the users' guide that the release ships as README.txt, without their
    indentation: what it shows of the programs' output stands on lines of its own."""
    with open(GUIDE, "rb") as f:
        return [line.strip() for line in f.read().splitlines()]


def program(name):
    return os.path.abspath(os.path.join(BIN_DIR, name))


def windows_path(path):
    return subprocess.run([WINE, "winepath", "-w", path], env=wine_env(), capture_output=True,
                          text=True, check=True).stdout.strip()


_holder = None


def start_wine():
    """Sets the prefix up once per test process, and holds its desktop while the process
    lasts."""
    global _holder
    if _holder is None:
        wineenv.prepare(PREFIX, program("empty.exe"))
        _holder = hold_desktop(wine_env())


def hold_desktop(env):
    """Starts Wine's desktop process, untraced, and holds it until this test process ends (see
    hold_desktop.cpp): a traced run that started it itself could outlast Wine's wait for it
    on a slow machine. Raises, with the holder ended, where the desktop does not come up
    within TIMEOUT."""
    holder = subprocess.Popen([WINE, program("hold_desktop.exe")], env=env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    ready = select.select([holder.stdout], [], [], TIMEOUT)[0]
    answer = holder.stdout.read(1) if ready else b""
    if answer != b"+":
        holder.kill()
        holder.wait()
        raise RuntimeError("Wine's desktop did not come up: the holder %s" % (
            "found no desktop window" if answer == b"-" else
            "ended without a word" if ready else "said nothing in %d s" % TIMEOUT))
    return holder


class Run:
    def __init__(self, status, out, err):
        self.status = status
        self.out = out
        self.err = err

    def trace(self, image):
        """The relay trace on standard error (a run with debug=TRACED), read for the process
        that ran image: the program itself, or the one a helper started."""
        return Trace(self.err, image)


def run(args, cwd, debug="-all", overrides="", path=None, output_closed=False):
    """Runs a program (name in BIN_DIR, or a list of wine arguments) with cwd as its folder,
    and with the folder path (a Unix path) first on its PATH if given.
    Its output is captured in files, not pipes: a box starts Wine's desktop process, which
    inherits the handles and would hold pipes open long after the run has ended. With
    output_closed, it starts with its standard output and error closed instead, as a shell's
    >&- 2>&- leaves them."""
    start_wine()
    argv = [WINE] + ([program(args)] if isinstance(args, str) else list(args))
    env = wine_env(debug, overrides)
    if path:
        env["WINEPATH"] = windows_path(path)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(argv, cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                preexec_fn=_close_output if output_closed else None,
                                timeout=TIMEOUT).returncode
        out.seek(0)
        err.seek(0)
        return Run(status, out.read(), err.read())


def _close_output():
    os.close(1)
    os.close(2)


# A fault of Wine's, which the status of a run with its standard error closed can meet.
WINE_SOCKET_AS_STANDARD_ERROR = (
    "Wine's fault: with descriptor 2 closed, Wine's server socket takes it and becomes the "
    "standard error handle. Where Wine starts the program as a child of its start.exe (Wine "
    "10 through qemu), the program's report goes into start.exe's socket, and the wineserver "
    "ends start.exe, whose status the caller sees, with 1. The program's own status cannot "
    "be seen there.")


@functools.lru_cache(maxsize=None)
def starts_programs_through_start_exe():
    """Whether this Wine runs a program started from Unix as a child of its start.exe, not in
    the first process: Wine 10 does so where it cannot map the program at its base in that
    process, as through qemu. The status the caller sees is then start.exe's."""
    folder = work_folder("loads-")
    try:
        loads = run("empty.exe", folder, "+loaddll").err
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return b'\\start.exe"' in loads


def stand_ins(case, exe, *dlls):
    """Puts these stand-ins for system DLLs (paths in BIN_DIR) into the test's folder, beside
    the program exe, and has Wine load them instead of its own for the program of that name
    alone: a per-program DLL override in the tests' prefix, removed when the test ends. (A
    process-wide override would reach Wine's own helper processes too, which then fail.) A
    stale override does no harm: it prefers a DLL beside the program and falls back to Wine's
    own."""
    start_wine()
    key = "HKCU\\Software\\Wine\\AppDefaults\\" + exe
    case.addCleanup(_registry, "delete", key, "/f")
    for dll in dlls:
        shutil.copy(program(dll), case.dir)
        name = os.path.splitext(os.path.basename(dll))[0]
        _registry("add", key + "\\DllOverrides", "/v", name, "/d", "native,builtin", "/f")


def _registry(*args):
    subprocess.run([WINE, "reg"] + list(args), env=wine_env(), timeout=TIMEOUT, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# A run that blocks in a box or a key wait is ended after this. Runs that end by themselves
# take a fraction of it: about 0.2 s natively, 3 s through qemu.
UNSEEN_BOUND_MS = 30000
# A run that ends by itself ends within this, traced and through qemu too (a traced start as
# an agent on a hidden station took 16.4 and 17.2 s there, on a 2-core machine): below
# UNSEEN_BOUND_MS, so that a run that stalled until it was ended cannot pass for prompt.
PROMPT_BOUND_S = 24


def _bounded(modes, path, cwd, debug, arguments):
    """Runs the program at path, with arguments (bytes) after its quoted name, through the
    station helper in these modes. Also returns the run's wall time in seconds; a run still
    going after UNSEEN_BOUND_MS is ended with status 124."""
    command_line = ('"%s"' % windows_path(path)).encode() + arguments
    start = time.monotonic()
    result = run([program("station.exe")] + modes + [str(UNSEEN_BOUND_MS), command_line.hex()],
                 cwd, debug)
    return result, time.monotonic() - start


def run_unseen(path, cwd, debug="-all", arguments=b""):
    """Runs the program on the desktop of a new window station, which nobody sees, as on a
    build agent that is a service; see _bounded."""
    return _bounded([], path, cwd, debug, arguments)


def run_as_agent(path, cwd, visible, debug="-all", arguments=b""):
    """Runs the program as build agents start programs: with CREATE_NO_WINDOW, so that its
    console has no window and nobody types into it, and standard input on NUL. On the
    caller's own window station if visible (an agent in a logged-on session), else on a new
    hidden one (an agent that is a service); see _bounded."""
    return _bounded(["agent"] + (["own"] if visible else []), path, cwd, debug, arguments)


def ticks():
    start_wine()
    return int(subprocess.run([WINE, program("ticks.exe")], env=wine_env(), capture_output=True,
                              timeout=TIMEOUT, stdin=subprocess.DEVNULL, check=True).stdout)


# The folders this process made: a stop (SIGINT, SIGTERM, SIGHUP: the test command's stop
# reaches each test's process) skips the tests' cleanups, so it removes them itself.
_folders = []


def work_folder(prefix):
    """A new folder in the temporary folder, removed when the test ends or the run is stopped."""
    folder = tempfile.mkdtemp(prefix=prefix)
    _folders.append(folder)
    return folder


def _stopped(signum, _frame):
    for folder in _folders:
        shutil.rmtree(folder, ignore_errors=True)
    os._exit(128 + signum)


for _signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(_signum, _stopped)


class WineTestCase(unittest.TestCase):
    """Each test gets its own empty folder as current directory."""

    def setUp(self):
        self.dir = work_folder("e2e-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


def pe_imports(path):
    """The names of the DLLs the image imports, sorted."""
    return sorted(entry.dll.decode() for entry in pefile.PE(path).DIRECTORY_ENTRY_IMPORT)


def pe_exports(path):
    """The names the image exports, sorted."""
    table = pefile.PE(path).DIRECTORY_ENTRY_EXPORT
    return sorted(symbol.name.decode() for symbol in table.symbols)


SIZE_LIMIT = 4608  # bytes of each shipped program, with its icon
# The DLLs each shipped program imports, sorted: the ones its description names, no others.
IMPORTS = {"buildtimer.exe": ["KERNEL32.dll", "OLEAUT32.dll", "USER32.dll"],
           "consoledemo.exe": ["KERNEL32.dll", "USER32.dll", "msvcrt.dll"]}


def assert_tiny_program(case, name):
    """The shipped program name: at most SIZE_LIMIT bytes, exactly its IMPORTS, and its one
    application icon as the image checker requires it."""
    path = program(name)
    case.assertLessEqual(os.path.getsize(path), SIZE_LIMIT)
    case.assertEqual(pe_imports(path), IMPORTS[name])
    case.assertEqual(pecheck.icon_problems(pefile.PE(path)), [])
