"""The one Wine environment of the project: how this machine runs 32-bit code, the variables
every run gets, and the prefix set up once. The end-to-end tests, the benchmarks and the
example script all take it from here (python3 -m wineenv, from the work tree's top).

The programs that ship are 32-bit, and 32-bit Wine runs them. Where the kernel cannot run
32-bit code itself (its 32-bit emulation switched off), the setup registers qemu's user-mode
i386 emulator with binfmt_misc (setup/qemu-i386.sh), and every 32-bit program, Wine's own
among them, runs through it.

Usage from a shell, in the work tree's top folder (wineenv/__main__.py):
  python3 -m wineenv runner              what runs 32-bit code here: native, qemu VERSION,
                                         or none: CAUSE
  python3 -m wineenv describe            the system, the Wine version and how the 32-bit
                                         programs run under it
  eval "$(python3 -m wineenv shell)"     sets WINE and the Wine variables for the tests'
                                         prefix, unsets DISPLAY, and sets the prefix up

What Wine itself would print into a program's standard error is kept out by the
environment, never filtered from the output afterwards. Wine 10's desktop process, which
the first window of a session starts with the program's standard error, probes for a
Wayland display, and libwayland complains there when XDG_RUNTIME_DIR is not set, as under
CI, sudo or a service; so a run gets a private one where none is set.
"""
import errno
import functools
import os
import platform
import select
import shutil
import stat
import subprocess
import tempfile
import time

WINE = "wine"
WINE_FONTS = "/usr/share/wine/fonts"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
# What environment() sets, for a shell or a terminal that has to pass the variables on.
VARIABLES = ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "LC_ALL", "XDG_RUNTIME_DIR")

# The libraries whose calls a relay trace leaves out: the ones Wine leaves out by default, and
# kernelbase, uxtheme and ucrtbase. What these call is Wine's insides, which no trace is read
# for; a message box's theme alone makes them call some 200,000 times, and writing that out
# costs seconds a run through an emulator.
RELAY_FROM_EXCLUDE = ("winex11.drv;winemac.drv;user32;gdi32;advapi32;kernel32;"
                      "kernelbase;uxtheme;ucrtbase")

# A 32-bit x86 Linux program of 107 bytes: read(0, stack, 1), then exit(0). With standard
# input at its end it returns at once; on a pipe it waits until the pipe is closed.
I386_PROBE = bytes.fromhex(
    "7f454c46010101000000000000000000" "02000300010000005480040834000000"
    "00000000000000003400200001000000" "00000000010000000000000000800408"
    "00800408" "6b000000" "6b000000" "05000000" "00100000"
    "b80300000031db89e131d242cd80" "b80100000031dbcd80")


def runner():
    """What runs 32-bit x86 code on this machine: "native", "qemu VERSION" (the user-mode
    emulator that binfmt_misc hands such programs to), another emulator's first line, or
    "none: CAUSE". The probe is started and asked while it runs: the kernel names the
    emulator as the process's executable, also inside a chroot, where its path may not exist.
    It never raises, and the probe never outlives the call."""
    try:
        return _ask_probe()
    except Exception as error:  # an answer, whatever went wrong
        return "none: the i386 probe could not be run (%s)" % error


def _probe_places():
    """Where the probe can be written and started from, best first: a memory file, which no
    mount option forbids, then the build folder, then the temporary folder. Each is a
    (path, descriptor to pass on, cleanup) triple; the first that can be made serves."""
    try:
        memory = os.memfd_create("i386-probe", 0)
    except (AttributeError, OSError):
        memory = None
    if memory is not None:
        os.write(memory, I386_PROBE)
        yield "/proc/self/fd/%d" % memory, (memory,), functools.partial(os.close, memory)
    build = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    for parent in (build, None):
        try:
            if parent:
                os.makedirs(parent, exist_ok=True)
            folder = tempfile.mkdtemp(prefix="i386-probe-", dir=parent)
        except OSError:
            continue
        probe = os.path.join(folder, "probe")
        try:
            with open(probe, "wb") as f:
                f.write(I386_PROBE)
            os.chmod(probe, 0o755)
        except OSError:
            shutil.rmtree(folder, ignore_errors=True)
            continue
        yield probe, (), functools.partial(shutil.rmtree, folder, ignore_errors=True)


def _ask_probe():
    refused = []
    for probe, fds, cleanup in _probe_places():
        try:
            try:
                child = subprocess.Popen([probe], stdin=subprocess.PIPE, pass_fds=fds,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except OSError as error:
                # A noexec mount, a policy; no /proc to reach the memory file through.
                if (error.errno in (errno.EACCES, errno.EPERM)
                        or fds and error.errno == errno.ENOENT):
                    refused.append(probe)
                    continue
                if error.errno == errno.ENOEXEC:
                    return "none: this kernel cannot run i386 programs (Exec format error)"
                return ("none: the i386 probe cannot start (%s): binfmt_misc names an "
                        "interpreter for it that cannot be started here" % error.strerror)
            try:
                return _what_runs(child, probe)
            finally:
                child.stdin.close()
                try:
                    child.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        finally:
            cleanup()
    return "none: no place lets the i386 probe be started (%s)" % ", ".join(refused)


def _what_runs(child, probe):
    executable = "/proc/%d/exe" % child.pid
    try:
        native = os.path.samefile(executable, probe)
    except OSError:
        status = child.poll()
        return "none: what binfmt_misc runs i386 programs with ended at once (%s)" % (
            "status %s" % status if status is not None else "it cannot be read")
    if native:
        return "native"
    try:  # what runs the probe waits, as the probe itself would, until its input ends
        status = child.wait(timeout=0.5)
        return "none: what binfmt_misc runs i386 programs with ended at once (status %s)" % status
    except subprocess.TimeoutExpired:
        pass
    try:
        asked = subprocess.run([executable, "--version"], capture_output=True, text=True,
                               stdin=subprocess.DEVNULL, timeout=60)
        first = (asked.stdout.splitlines() or ["an unknown emulator"])[0]
    except (OSError, subprocess.TimeoutExpired):
        first = "an unknown emulator"
    if first.startswith("qemu-i386 version "):
        return "qemu " + first[len("qemu-i386 version "):]
    return first


def environment(prefix, debug="-all", overrides="", display=None):
    """The variables for a run: the prefix, no debug output but what is asked for, no Mono or
    Gecko, the C locale, and no display unless one is given, so that a box that cannot be
    shown returns at once."""
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEDEBUG=debug,
               WINEDLLOVERRIDES="mscoree,mshtml=" + (";" + overrides if overrides else ""),
               LC_ALL="C")
    # libwayland takes only an absolute path; anything else it reports as unset.
    if not env.get("XDG_RUNTIME_DIR", "").startswith("/"):
        env["XDG_RUNTIME_DIR"] = runtime_dir()
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    return env


@functools.lru_cache(maxsize=None)
def runtime_dir():
    """A private folder (mode 0700) for XDG_RUNTIME_DIR: one per user in the temporary folder,
    or, where that name is taken by anything but such a folder of this user's, a new one."""
    path = os.path.join(tempfile.gettempdir(), "consoletools-runtime-%d" % os.getuid())
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    info = os.lstat(path)
    if (not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid()
            or stat.S_IMODE(info.st_mode) != 0o700):
        return tempfile.mkdtemp(prefix="consoletools-runtime-")
    return path


def prepare(prefix, first_program=None, display=None):
    """Creates the prefix on first use, gives it RELAY_FROM_EXCLUDE, and keeps one wineserver up
    30 s past its last client, so that later runs start fast. The first run in a new prefix
    starts services that hold pipes open, so nothing here is captured. A prefix first used
    without a display keeps its null display driver: a prefix for a desktop needs the display
    from the start."""
    env = environment(prefix, display=display)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run([WINE, "wineboot", "-i"], env=env, timeout=300, check=True, **QUIET)
    if not _saved_in(os.path.join(prefix, "user.reg"), RELAY_FROM_EXCLUDE):
        subprocess.run([WINE, "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
                        "RelayFromExclude", "/d", RELAY_FROM_EXCLUDE, "/f"], env=env,
                       timeout=120, check=True, **QUIET)
    if display:
        # Wine does not always find its own fonts (64-bit Wine did not), and without Marlett
        # the title bars' buttons show letters; the prefix's Fonts folder is always searched.
        fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in os.listdir(WINE_FONTS) if os.path.isdir(WINE_FONTS) else []:
            if not os.path.exists(os.path.join(fonts, name)):
                shutil.copy(os.path.join(WINE_FONTS, name), fonts)
    subprocess.run(["wineserver", "-p30"], env=env, timeout=60, **QUIET)
    if first_program:
        subprocess.run([WINE, first_program], env=env, timeout=120, **QUIET)


def _saved_in(registry_file, text):
    """Whether Wine has saved text into the registry file yet (it saves some time later)."""
    try:
        with open(registry_file, "rb") as f:
            return text.encode() in f.read()
    except FileNotFoundError:
        return False


def start_xvfb(size="1024x768", bound=10):
    """Starts an X server on a free display; returns (process, display), or None where Xvfb
    is missing or cannot start within bound seconds. The server picks the display itself and
    writes its number once it takes clients (-displayfd): no other server can take it in
    between, and a stale lock or socket file misleads nobody."""
    if not shutil.which("Xvfb"):
        return None
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", size + "x24",
                               "-nolisten", "tcp"], pass_fds=[write], **QUIET)
    os.close(write)
    said, deadline = b"", time.monotonic() + bound
    with os.fdopen(read, "rb", buffering=0) as answer:
        while not said.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([answer], [], [], deadline - time.monotonic())
            part = answer.read(16) if ready else b""
            if not part:
                break
            said += part
    if not said.strip().isdigit():
        server.kill()
        server.wait()
        return None
    return server, ":%d" % int(said)


def facts():
    """What runs the tests here: the system, the Wine version ("" for none) and the runner()."""
    try:
        system = platform.freedesktop_os_release()["PRETTY_NAME"]
    except (OSError, KeyError):
        system = platform.platform()
    how = runner()
    version = ""
    if not how.startswith("none"):
        try:
            version = subprocess.run([WINE, "--version"], capture_output=True, text=True,
                                     stdin=subprocess.DEVNULL).stdout.strip()
        except OSError:
            pass
    return {"system": system, "wine": version, "runner": how}


def description(found):
    """'Debian GNU/Linux 12 (bookworm), wine-8.0 (Debian 8.0~repack-4), the 32-bit programs
    through qemu 10.0.2 (...)', from facts(): the words every verdict uses."""
    how = found["runner"]
    if how.startswith("none"):
        return "%s, no way to run 32-bit programs (%s)" % (found["system"], how[len("none: "):])
    how = "natively" if how == "native" else "through " + how
    return "%s, %s, the 32-bit programs %s" % (found["system"], found["wine"] or "no Wine", how)


def describe():
    return description(facts())
