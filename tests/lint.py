"""Lint, first and fast in the test command: shellcheck (-x, warnings and errors) on every shell
script, flake8's bug classes (F: names and imports, E9: syntax, E722: a bare except, W605: a
backslash that escapes nothing) on the Python, and clang-format --dry-run --Werror, by the
project's .clang-format, on the C and C++; and the README's map ("Where to change what"):
every path and test it names exists, and every file that holds a row's text (ROW_TEXTS) is
named in that row. Each says one line; a finding fails the run, with the tool's own words
above that line. The files are those git tracks, and new ones that it does not ignore. (-Werror for the programs and the pure
cores is the build's own: cmake/TinyProgram.cmake, timer/ and demo/.)

Usage: python3 -m tests.lint   (writes build/verdicts/lint.json for the test command)
"""
import json
import os
import re
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


# The text that each row of the map is about, as the files hold it.
ROW_TEXTS = {
    "the timing line": ("Assembling and linking took",),
    "a report's caption": ("File not found:", "Could not open:", "Could not write:",
                           "DLL not found:"),
    "a size, a flag, the hardening": ("4,608", "4608"),
}


def map_rows():
    """The rows of the README's "Where to change what": {what to change: the row's text}."""
    with open(os.path.join(TREE, "README.md")) as f:
        text = f.read()
    table = text.split("## Where to change what", 1)[1].split("\n## ", 1)[0]
    return {line.split("|")[1].strip(): line for line in table.splitlines()
            if line.startswith("| ") and not line.startswith("| to change")}


def named(row):
    """The paths a row names: in backticks, e2e.MODULE[.CLASS] as its module's file, and
    "this README"."""
    paths = set(re.findall(r"`([\w./-]+/[\w.-]+|[\w-]+\.md)`", row))
    paths |= {"tests/e2e/%s.py" % m for m in re.findall(r"`e2e\.(\w+)", row)}
    paths |= {"tests/setup/%s.py" % m for m in re.findall(r"`tests\.setup\.(\w+)", row)}
    if "this README" in row:
        paths.add("README.md")
    return paths


def map_findings():
    """What the map gets wrong: a path or test that does not exist, a file that holds a row's
    text but is not named in the row."""
    found, files = [], tracked()
    rows = map_rows()
    for what, row in rows.items():
        for path in sorted(named(row)):
            if not os.path.exists(os.path.join(TREE, path)):
                found.append("%s: names %s, which does not exist" % (what, path))
        for module, cls in re.findall(r"e2e\.(\w+)\.([A-Z]\w+)", row):
            path = os.path.join(TREE, "tests", "e2e", module + ".py")
            if not os.path.exists(path) or not re.search(r"(?m)^class %s\b" % cls,
                                                         open(path).read()):
                found.append("%s: names e2e.%s.%s, which does not exist" % (what, module, cls))
    for what, texts in ROW_TEXTS.items():
        if what not in rows:
            found.append("the map has no row for %s" % what)
            continue
        for path in files:
            if path == "tests/lint.py":
                continue
            try:
                with open(os.path.join(TREE, path), encoding="utf-8") as f:
                    text = f.read()
            except (UnicodeDecodeError, OSError):
                continue
            if any(t in text for t in texts) and path not in named(rows[what]):
                found.append("%s: %s holds its text, and the row does not name it" % (what, path))
    return found


def main():
    checked = failed = 0
    findings = map_findings()
    if findings:
        failed += 1
        print("\n".join(findings))
        print("lint: map: FINDINGS in the README's \"Where to change what\" (above)")
    else:
        print("lint: map: %d rows, no findings" % len(map_rows()))
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
