"""Lint, first and fast in the test command: shellcheck (-x, warnings and errors) on every shell
script, flake8's bug classes (F: names and imports, E9: syntax, E722: a bare except, W605: a
backslash that escapes nothing) on the Python, and clang-format --dry-run --Werror, by the
project's .clang-format, on the C and C++. Each tool, from Debian's packages, says one line;
a finding fails the run, with the tool's own words above that line. The files are those
git tracks, and new ones that it does not ignore. (-Werror for the programs and the pure
cores is the build's own: cmake/TinyProgram.cmake, timer/ and demo/.)

Usage: python3 -m tests.lint   (writes build/verdicts/lint.json for the test command)
"""
import json
import os
import subprocess
import sys

from . import verdict

TREE = verdict.TREE


def tracked(*patterns):
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "--"] +
                            list(patterns), cwd=TREE, capture_output=True, text=True,
                            check=True).stdout.split()
    return sorted(path for path in listed if os.path.isfile(os.path.join(TREE, path)))


def shell_scripts():
    """Files ending in .sh, and those whose first line names a shell (.ci/run)."""
    found = []
    for path in tracked():
        with open(os.path.join(TREE, path), "rb") as f:
            first = f.readline()
        if path.endswith(".sh") or first.startswith(b"#!") and first.rstrip().endswith(
                (b"/sh", b"/bash", b" bash", b" sh")):
            found.append(path)
    return found


TOOLS = (
    ("shellcheck", ["shellcheck", "-x", "--severity=warning"], shell_scripts, "scripts"),
    ("flake8", ["flake8", "--select=F,E9,E722,W605"], lambda: tracked("*.py"), "Python files"),
    ("clang-format", ["clang-format", "--dry-run", "--Werror"],
     lambda: tracked("*.c", "*.cpp", "*.hpp", "*.h"), "C and C++ files"),
)


def main():
    checked = failed = 0
    for name, argv, files, kind in TOOLS:
        paths = files()
        try:
            done = subprocess.run(argv + paths, cwd=TREE, capture_output=True, text=True)
        except OSError as error:
            print("lint: %s: cannot be run (%s): setup/setup.sh installs it" % (name, error))
            failed += 1
            continue
        said = (done.stdout + done.stderr).strip()
        checked += len(paths)
        if done.returncode == 0:
            print("lint: %s: %d %s, no findings" % (name, len(paths), kind))
        else:
            failed += 1
            print(said)
            print("lint: %s: FINDINGS in %d %s (above)" % (name, len(paths), kind))
    os.makedirs(verdict.STAGES, exist_ok=True)
    with open(os.path.join(verdict.STAGES, "lint.json"), "w") as f:
        json.dump({"count": checked, "failed": failed}, f)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
