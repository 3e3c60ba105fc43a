"""Makes the README's pictures from real runs, the only way they are made: under Xvfb and
Wine's virtual desktop, which draws the title bars as a person sees them. Writes docs/:
the timer's box for a missing listing, the demo's greeting in its console beside the
companion library's TellMe box, and both icons at 32x32 and enlarged eight times.

Usage: python3 -m pictures   (needs what setup/setup.sh installs)
"""
import os
import shutil
import subprocess
import sys
import time

import wineenv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(ROOT, "docs")


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("pictures: waited %d s for %s" % (seconds, what))
        time.sleep(0.2)


def drawn(env, window):
    """Whether the desktop window shows more than its background and has not changed for a
    second: windows can take seconds to appear (through an emulator, a box takes over 3 s)."""
    def pixels():
        return subprocess.run(["import", "-window", window, "-depth", "8", "rgb:-"], env=env,
                              capture_output=True, check=True).stdout
    first = pixels()
    time.sleep(1)
    return first == pixels() and len({first[i:i + 3] for i in range(0, len(first), 3)}) > 1


def shoot(env, wine, argv, cwd, size, ready, name):
    """Runs argv on a virtual desktop of this size until ready(), then saves the desktop."""
    run = subprocess.Popen([wine, "explorer", "/desktop=shot,%s" % size] + argv, cwd=cwd,
                           env=env, stdin=subprocess.DEVNULL, stdout=open(os.path.join(cwd, "out"), "wb"),
                           stderr=subprocess.DEVNULL)
    try:
        wait_for(ready, "the run to get there")
        [window] = subprocess.run(["xdotool", "search", "--name", "^shot - Wine desktop$"],
                                  env=env, capture_output=True, text=True).stdout.split()
        wait_for(lambda: drawn(env, window), "the desktop to be drawn")
        subprocess.run(["import", "-window", window, os.path.join(DOCS, name)], env=env,
                       check=True)
        print("pictures: docs/%s" % name)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        run.wait(30)


def main():
    wine = wineenv.WINE
    subprocess.run(["cmake", "--preset", "windows"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "windows"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    bin_dir = os.path.join(ROOT, "build", "windows", "bin")
    os.makedirs(DOCS, exist_ok=True)

    for icon in ("buildtimer", "consoledemo"):
        source = os.path.join(ROOT, "resources", icon + ".ico")
        # Without time stamps, so that the same icon gives the same file.
        fixed = ["-strip", "-define", "png:exclude-chunks=date,time"]
        subprocess.run(["convert", source] + fixed + [os.path.join(DOCS, icon + "-icon.png")],
                       check=True)
        subprocess.run(["convert", source, "-scale", "800%"] + fixed +
                       [os.path.join(DOCS, icon + "-icon-8x.png")], check=True)
        print("pictures: docs/%s-icon.png, docs/%s-icon-8x.png" % (icon, icon))

    started = wineenv.start_xvfb("1024x768")
    if started is None:
        sys.exit("pictures: Xvfb is missing or cannot start")
    server, display = started
    prefix = os.path.join(ROOT, "build", "windows", "wineprefix-pictures")
    # Inside the prefix's C: drive, so that window titles show short Windows paths.
    work = os.path.join(prefix, "drive_c", "build")
    try:
        wineenv.prepare(prefix, display=display)
        shutil.rmtree(work, ignore_errors=True)
        env = wineenv.environment(prefix, display=display)

        # A stop run whose script wrote no listing.
        timer = os.path.join(work, "timer")
        os.makedirs(timer)
        shutil.copy(os.path.join(bin_dir, "buildtimer.exe"), timer)
        with open(os.path.join(timer, "Morvit.tmp"), "wb") as f:
            f.write(b"\0\0\0\0")
        shoot(env, wine, ["buildtimer.exe"], timer, "360x160",
              lambda: b"milliseconds" in open(os.path.join(timer, "out"), "rb").read(),
              "timer-box.png")

        # The demo with a file dropped on it, in a console window of its own. The recording
        # variant of the stand-in library tells when TellMe has been called.
        demo = os.path.join(work, "demo")
        os.makedirs(demo)
        shutil.copy(os.path.join(bin_dir, "consoledemo.exe"), demo)
        shutil.copy(os.path.join(bin_dir, "vantrel-variants", "record", "Vantrel.dll"), demo)
        shutil.copy(os.path.join(ROOT, "examples", "hello.c"), demo)
        log = os.path.join(demo, "vantrel-calls.log")
        shoot(env, wine, ["wineconsole", "consoledemo.exe", "C:\\build\\demo\\hello.c"], demo,
              "800x420", lambda: os.path.exists(log) and b"TellMe" in open(log, "rb").read(),
              "demo-dropped-file.png")
    finally:
        server.terminate()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
