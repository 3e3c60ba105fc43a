"""Whole-process timings under Wine: each program run against an empty CRT-free program run
under the same Wine, as a median ratio, the timer's runs also against an empty program with
the timer's imports, and the sizes of the deliverables.

Usage: python3 -m bench.wine_runs [runs]   (after a build of the windows preset)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import wineenv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = wineenv.WINE
BIN = os.path.join(ROOT, "build", "windows", "bin")
PREFIX = os.path.join(ROOT, "build", "windows", "wineprefix")
ENV = wineenv.environment(PREFIX)


def timed(argv, cwd):
    start = time.perf_counter()
    subprocess.run([WINE] + argv, cwd=cwd, env=ENV, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    work = tempfile.mkdtemp(prefix="bench-")
    try:
        for name in ("buildtimer.exe", "consoledemo.exe", "Vantrel.dll", "empty.exe",
                     "empty_imports.exe"):
            shutil.copy(os.path.join(BIN, name), work)
        wineenv.prepare(PREFIX)
        shutil.copy(os.path.join(ROOT, "tests", "data", "listings", "big.txt"),
                    os.path.join(work, "MvtDir.tmp"))
        marker = os.path.join(work, "Morvit.tmp")

        def start_run():
            if os.path.exists(marker):
                os.remove(marker)
            return timed(["buildtimer.exe"], work)

        cases = {
            "empty program importing kernel32, user32, oleaut32":
                lambda: timed(["empty_imports.exe"], work),
            "buildtimer start run": start_run,
            "buildtimer stop run, 50 KB listing": lambda: timed(["buildtimer.exe"], work),
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
        print("On %s:" % wineenv.describe())
        print()
        same = statistics.median(samples["empty program importing kernel32, user32, oleaut32"])
        print("| run | median | ratio to empty program | ratio to same imports |")
        print("|---|---|---|---|")
        print("| empty CRT-free program (imports kernel32 only) | %.1f ms | 1.00 | |"
              % (base * 1000))
        for name, values in samples.items():
            median = statistics.median(values)
            print("| %s | %.1f ms | %.2f | %s |" % (
                name, median * 1000, median / base,
                "%.2f" % (median / same) if name.startswith("buildtimer") else ""))
        print()
        print("| file | bytes |")
        print("|---|---|")
        for name in ("buildtimer.exe", "consoledemo.exe", "empty.exe"):
            print("| %s | %d |" % (name, os.path.getsize(os.path.join(BIN, name))))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
