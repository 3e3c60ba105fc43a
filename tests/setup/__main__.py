"""The setup's own tests as one run: python3 -m tests.setup [MODULE.CLASS[.TEST] ...], from the
work tree's top, as root (scripts/test.sh runs them last). Without names, every test of
test_setup.py (the setup on the machines people have) and test_stops.py (the tests' own
stops and refusals).

Before anything is made, it removes what an earlier run, killed outright, left (one line
says what), and finds out how its sandboxes can reach a binfmt_misc (sandbox.py); where they
cannot, or where it is not root or the programs are not built, it says why, what that
leaves unchecked and how to have it checked, and passes. A stop (SIGINT, SIGTERM, SIGHUP)
ends it within seconds, with what it made removed, and status 128 + the signal's number.
Its last lines are the verdict that scripts/test.sh and .ci/run repeat.
"""
import json
import os
import sys
import unittest

import wineenv

from .. import verdict
from . import sandbox, test_setup
from .sandbox import TREE, Unavailable

MODULES = ("tests.setup.test_setup", "tests.setup.test_stops")


def why_not():
    if os.geteuid() != 0:
        return sandbox.skipped("They need root: they make a Debian root, namespaces and mounts",
                               "sudo python3 -m tests.setup")
    if not os.path.exists(os.path.join(TREE, "build", "windows", "bin", "buildtimer.exe")):
        return sandbox.skipped("The programs are not built",
                               "cmake --workflow --preset windows, then python3 -m tests.setup")
    return None


def run(names):
    """Runs the tests; returns the verdict of the setup tests' stage, and writes it as
    build/verdicts/setup.json."""
    reason = why_not()
    if reason is None:
        try:
            sandbox.way()
        except Unavailable as why:
            reason = str(why)
    if reason:
        return {"skipped": reason}
    loader = unittest.defaultTestLoader
    suite = loader.loadTestsFromNames(
        ["tests.setup." + name for name in names] if names else MODULES)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stderr).run(suite)
    failed = len(result.failures) + len(result.errors)
    after = wineenv.runner()
    if after != sandbox.runner_before():
        print("setup tests: 32-bit code ran here %s before them, %s after them"
              % (sandbox.runner_before(), after))
        failed += 1
    found = {"count": result.testsRun, "failed": failed}
    if not names:
        found["emulator"] = test_setup.summary[0] if test_setup.summary else ""
    return found


def said_stopped(stop):
    print("== setup tests stopped by %s: what they made is removed" % stop, flush=True)
    return 128 + stop.signum


def main(names):
    sandbox.on_stop()
    stopped, found = None, {"count": 0, "failed": 1}
    try:
        found = run(names)
    except sandbox.Stopped as stop:
        stopped = stop
    finally:
        with sandbox.signals_held():
            sys.stdout.flush()
            sandbox.end_children()
            sandbox.sweep(lambda owner: owner == sandbox.MINE or not sandbox.alive(owner))
    if stopped:
        return said_stopped(stopped)
    os.makedirs(verdict.STAGES, exist_ok=True)
    with open(os.path.join(verdict.STAGES, "setup.json"), "w") as f:
        json.dump(found, f)
    for line in verdict.setup_lines(found):
        print(line)
    return 1 if found.get("failed") else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except sandbox.Stopped as stop:  # a signal held until the cleanup was done
        sys.exit(said_stopped(stop))
