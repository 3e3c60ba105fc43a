#!/usr/bin/env python3
"""Whole-process timings under Wine: each program run against an empty CRT-free program run
under the same Wine, as a median ratio, and the sizes of the deliverables.

Usage: python3 scripts/bench.py [runs]   (after a build of the windows preset)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(ROOT, "build", "windows", "bin")
ENV = dict(os.environ, WINEPREFIX=os.path.join(ROOT, "build", "windows", "wineprefix"),
           WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
ENV.pop("DISPLAY", None)


def timed(argv, cwd):
    start = time.perf_counter()
    subprocess.run(["wine"] + argv, cwd=cwd, env=ENV, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def listing(size):
    entry = b"12/08/2026  05:17 PM             2,560 hello.exe\r\n"
    head = b" Volume in drive C has no label.\r\n\r\n Directory of C:\\build\\hello\r\n\r\n"
    tail = b" " * 15 + b"1 File(s)          2,560 bytes\r\n"
    return head + entry * ((size - len(head) - len(tail)) // len(entry)) + tail


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    work = tempfile.mkdtemp(prefix="bench-")
    try:
        for name in ("buildtimer.exe", "consoledemo.exe", "Vantrel.dll", "empty.exe",
                     "empty_imports.exe"):
            shutil.copy(os.path.join(BIN, name), work)
        subprocess.run(["wineserver", "-p30"], env=ENV, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(work, "MvtDir.tmp"), "wb") as f:
            f.write(listing(31 * 1024))
        marker = os.path.join(work, "Morvit.tmp")

        def start_run():
            if os.path.exists(marker):
                os.remove(marker)
            return timed(["buildtimer.exe"], work)

        cases = {
            "empty program importing kernel32, user32, oleaut32":
                lambda: timed(["empty_imports.exe"], work),
            "buildtimer start run": start_run,
            "buildtimer stop run, 31 KB listing": lambda: timed(["buildtimer.exe"], work),
            "consoledemo with an argument": lambda: timed(["consoledemo.exe", "hello.c"], work),
        }
        timed(["empty.exe"], work)  # warm up
        start_run()
        baseline, samples = [], {name: [] for name in cases}
        for _ in range(runs):  # interleaved, so that drift hits every case alike
            baseline.append(timed(["empty.exe"], work))
            for name, case in cases.items():
                if name.startswith("buildtimer stop") and not os.path.exists(marker):
                    start_run()
                samples[name].append(case())
        base = statistics.median(baseline)
        print("| run | median | ratio to empty program |")
        print("|---|---|---|")
        print("| empty CRT-free program | %.1f ms | 1.00 |" % (base * 1000))
        for name, values in samples.items():
            median = statistics.median(values)
            print("| %s | %.1f ms | %.3f |" % (name, median * 1000, median / base))
        print()
        print("| file | bytes |")
        print("|---|---|")
        for name in ("buildtimer.exe", "consoledemo.exe", "empty.exe"):
            print("| %s | %d |" % (name, os.path.getsize(os.path.join(BIN, name))))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
