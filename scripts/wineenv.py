#!/usr/bin/env python3
"""The one Wine environment of the project: which Wine runs the programs on this machine,
the variables every run gets, and the prefix set up once. The end-to-end tests, the
benchmarks and the example script all take it from here.

Where the kernel runs 32-bit code, the 32-bit programs run under Wine (preset windows).
Where it cannot (a kernel with its 32-bit emulation switched off), 32-bit Wine cannot start,
so the programs' 64-bit twins, built from the same sources, run under 64-bit Wine (preset
windows64).

Usage from a shell:
  python3 scripts/wineenv.py preset          prints windows or windows64
  python3 scripts/wineenv.py describe        prints the system, the Wine version and which
                                              programs run under it
  eval "$(python3 scripts/wineenv.py shell)"  sets RUN_PRESET, WINE and the Wine variables for
                                              the preset's own prefix, unsets DISPLAY, and
                                              sets the prefix up

What Wine itself would print into a program's standard error is kept out by the
environment, never filtered from the output afterwards. Wine 10's desktop process, which
the first window of a session starts with the program's standard error, probes for a
Wayland display, and libwayland complains there when XDG_RUNTIME_DIR is not set, as under
CI, sudo or a service; so a run gets a private one where none is set.
"""
import functools
import os
import platform
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import time

WINE64 = "/usr/lib/wine/wine64"
WINE_FONTS = "/usr/share/wine/fonts"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
# What environment() sets, for a shell or a terminal that has to pass the variables on.
VARIABLES = ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "LC_ALL", "XDG_RUNTIME_DIR",
             "WINELOADER")


def runs_32bit():
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], **QUIET).returncode == 0
    except OSError:
        return False


def preset():
    """The build preset whose programs this machine's Wine runs."""
    return "windows" if runs_32bit() else "windows64"


def loader(run_preset):
    return WINE64 if run_preset == "windows64" else "wine"


def environment(prefix, wine, debug="-all", overrides="", display=None):
    """The variables for a run: the prefix, no debug output but what is asked for, no Mono or
    Gecko, the C locale, and no display unless one is given, so that a box that cannot be
    shown returns at once."""
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEDEBUG=debug,
               WINEDLLOVERRIDES="mscoree,mshtml=" + (";" + overrides if overrides else ""),
               LC_ALL="C")
    if wine != "wine":
        env["WINELOADER"] = wine  # programs started by programs use the same loader
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


def prepare(prefix, wine, first_program=None, display=None):
    """Creates the prefix on first use and keeps one wineserver up 30 s past its last client,
    so that later runs start fast. The first run in a new prefix starts services that hold
    pipes open, so nothing here is captured. A prefix first used without a display keeps its
    null display driver: a prefix for a desktop needs the display from the start."""
    env = environment(prefix, wine, display=display)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run([wine, "wineboot", "-i"], env=env, timeout=300, check=True, **QUIET)
    if display:
        # 64-bit Wine alone does not find its own fonts, and without Marlett the title bars'
        # buttons show letters; the prefix's Fonts folder is always searched.
        fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in os.listdir(WINE_FONTS) if os.path.isdir(WINE_FONTS) else []:
            if not os.path.exists(os.path.join(fonts, name)):
                shutil.copy(os.path.join(WINE_FONTS, name), fonts)
    subprocess.run(["wineserver", "-p30"], env=env, timeout=60, **QUIET)
    if first_program:
        subprocess.run([wine, first_program], env=env, timeout=120, **QUIET)


def start_xvfb(size="1024x768"):
    """Starts an X server on a free display; returns (process, display), or None where Xvfb
    is missing or cannot start."""
    if not shutil.which("Xvfb"):
        return None
    number = next(n for n in range(90, 200) if not os.path.exists("/tmp/.X%d-lock" % n))
    server = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", size + "x24",
                               "-nolisten", "tcp"], **QUIET)
    deadline = time.monotonic() + 10
    while not os.path.exists("/tmp/.X11-unix/X%d" % number):
        if server.poll() is not None or time.monotonic() > deadline:
            server.kill()
            return None
        time.sleep(0.1)
    return server, ":%d" % number


def describe():
    """'Debian GNU/Linux 13 (trixie), wine-10.0 (...), the 32-bit programs': what runs the
    tests here."""
    run_preset = preset()
    try:
        system = platform.freedesktop_os_release()["PRETTY_NAME"]
    except (OSError, KeyError):
        system = platform.platform()
    try:
        version = subprocess.run([loader(run_preset), "--version"], capture_output=True,
                                 text=True, stdin=subprocess.DEVNULL).stdout.strip()
    except OSError:
        version = ""
    programs = "the 32-bit programs" if run_preset == "windows" else "their 64-bit twins"
    return "%s, %s, %s" % (system, version or "no Wine", programs)


def main(args):
    if args == ["preset"]:
        print(preset())
        return
    if args == ["describe"]:
        print(describe())
        return
    if args != ["shell"]:
        sys.exit(__doc__)
    run_preset = preset()
    wine = loader(run_preset)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    prefix = os.path.join(root, "build", run_preset, "wineprefix")
    prepare(prefix, wine)
    env = environment(prefix, wine)
    print("RUN_PRESET=%s WINE=%s" % (run_preset, shlex.quote(wine)))
    print("export " + " ".join("%s=%s" % (n, shlex.quote(env[n]))
                               for n in VARIABLES if n in env))
    print("unset DISPLAY")
    if run_preset != "windows":
        print("echo 'note: this kernel cannot run 32-bit programs; the programs run as their "
              "64-bit twins under 64-bit Wine' >&2")


if __name__ == "__main__":
    main(sys.argv[1:])
