"""The test command's verdict: build/verdict.json says on what system, under which Wine and how
the 32-bit programs ran, whether the run passed and how long it took, and each stage's count
of tests, of failures, and its time. The lines people read are made from it here, in one
place: scripts/test.sh prints them, .ci/run repeats them for each leg.

  python3 -m tests.verdict write FILE STATUS SECONDS STAGE:STATUS:SECONDS ...
      writes FILE and prints the test command's last lines (the setup tests' and the verdict). Each stage's counts come from
      build/verdicts/STAGE.xml (CTest's JUnit file) or STAGE.json (the lint's, the setup
      tests' own).
  python3 -m tests.verdict leg FILE       the lines of one verdict that .ci/run repeats
  python3 -m tests.verdict native FILE ...   where none of them ran the 32-bit programs
                                             natively, the line that says so
"""
import json
import os
import sys
import xml.etree.ElementTree

import wineenv

TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STAGES = os.path.join(TREE, "build", "verdicts")  # what each stage leaves for the verdict


def stage_counts(name):
    """{count, failed, ...} of one stage, from what it left; {} where it left nothing."""
    junit = os.path.join(STAGES, name + ".xml")
    if os.path.exists(junit):
        suite = xml.etree.ElementTree.parse(junit).getroot()
        return {"count": int(suite.get("tests", 0)),
                "failed": int(suite.get("failures", 0)) + int(suite.get("errors", 0))}
    try:
        with open(os.path.join(STAGES, name + ".json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def write(path, status, seconds, stages):
    verdict = dict(wineenv.facts(), passed=status == 0, seconds=seconds, stages={})
    for stage in stages:
        name, code, took = stage.split(":")
        verdict["stages"][name] = dict(stage_counts(name), passed=code == "0",
                                       seconds=int(took))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(verdict, f, indent=1)
        f.write("\n")
    return verdict


def last_line(verdict):
    return "== tests %s on %s, in %d s" % ("passed" if verdict["passed"] else "failed",
                                           wineenv.description(verdict), verdict["seconds"])


def setup_lines(setup):
    """The setup tests' lines, from their stage's entry (or their own verdict): the count,
    and what became of the real-apt cases where they did not run, or the emulator path's
    check where they did."""
    if "count" not in setup:
        return ["== setup tests FAILED: they said nothing of their own"]
    lines = ["== setup tests %s: %d run, %d failed" % (
        "passed" if setup["failed"] == 0 and setup.get("passed", True) else "FAILED",
        setup["count"], setup["failed"])]
    if setup.get("left"):
        lines.append("== setup tests on real apt left out: " + setup["left"])
    elif setup.get("skipped"):
        lines.append("== setup tests on real apt skipped: " + setup["skipped"])
    elif "emulator" in setup:
        lines.append("== emulator path " + ("checked: " + setup["emulator"]
                                            if setup["emulator"] else "NOT checked"))
    return lines


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def leg_lines(path):
    """What .ci/run repeats of one leg's verdict."""
    verdict = load(path)
    if verdict is None:
        return ["no verdict (%s)" % os.path.relpath(path, TREE)]
    lines = [last_line(verdict)]
    if "setup" in verdict["stages"]:
        lines += setup_lines(verdict["stages"]["setup"])
    return lines


def native_line(paths):
    """Where no leg ran the 32-bit programs natively, the line that says so."""
    if any((load(path) or {}).get("runner") == "native" for path in paths):
        return []
    return ["== the native path was not exercised: this machine cannot run 32-bit code itself"]


def main(args):
    if args[:1] == ["write"] and len(args) >= 4:
        written = write(args[1], int(args[2]), int(args[3]), args[4:])
        setup = written["stages"].get("setup")
        print("\n".join((setup_lines(setup) if setup else []) + [last_line(written)]))
    elif args[:1] == ["leg"] and len(args) == 2:
        print("\n".join(leg_lines(args[1])))
    elif args[:1] == ["native"]:
        for line in native_line(args[1:]):
            print(line)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
