"""The setup's own tests as one run, from the work tree's top:

  python3 -m tests.setup [--decisions] [MODULE.CLASS[.TEST] ...]

First the decision cases (test_decisions.py: the setup's choices on made-up machines fed apt's
recorded answers), as any user, in seconds. Then, as root, the real-apt cases: the setup on
real apt in a throwaway Debian 12 root (test_setup.py) and what these tests promise the
machine (test_stops.py), inside namespaces that the kernel cleans up after (sandbox.py).
With --decisions (the test command's default), or where it is not root or the programs are
not built, the real-apt cases are left out, and the verdict says so and how to run them;
where they cannot run here, it says why (== setup tests on real apt skipped: ...). A stop
(SIGINT, SIGTERM, SIGHUP) ends it within seconds, with what it made removed, and status 128 +
the signal's number. Its last lines are the verdict that scripts/test.sh and .ci/run repeat.
"""
import contextlib
import json
import os
import subprocess
import sys
import unittest

import wineenv

from .. import verdict
from . import sandbox
from .sandbox import TREE, Unavailable

DECISIONS = "test_decisions"
REAL_APT = ("test_setup", "test_stops")
RUN_THEM = "sudo python3 -m tests.setup"


def run_tests(names):
    suite = unittest.defaultTestLoader.loadTestsFromNames(["tests.setup." + n for n in names])
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stderr).run(suite)
    return result.testsRun, len(result.failures) + len(result.errors)


def left_out(decisions_only):
    """Why the real-apt cases do not run in this call, and how to run them; None where they do."""
    if decisions_only:
        return ("the test command leaves them to CI, which runs them on every submission "
                "(.ci/run, as SETUP_TESTS=all bash scripts/test.sh); to run them here: "
                + RUN_THEM)
    if os.geteuid() != 0:
        return ("%s need root (a Debian root, namespaces, mounts); to run them: %s"
                % (" and ".join("tests.setup." + n for n in REAL_APT), RUN_THEM))
    if not os.path.exists(os.path.join(TREE, "build", "windows", "bin", "buildtimer.exe")):
        return ("they need the programs built: cmake --workflow --preset windows, then "
                + RUN_THEM)
    return None


def real_apt(names):
    """The real-apt cases, in the inside (sandbox.py): {count, failed, emulator} or
    {skipped}."""
    try:
        way = sandbox.choose_way()
    except Unavailable as why:
        return {"skipped": str(why)}
    said = sandbox.sweep()
    if said:
        print("setup tests: removed what an earlier run, killed outright, left: " + said,
              flush=True)
    if way == "shared":
        print("setup tests: SETUP_TESTS_SHARED_BINFMT=yes: they use this machine's own "
              "binfmt_misc. From the stand-in's registration until they end, every 32-bit "
              "program on this machine ends with \"Exec format error\", or runs through the "
              "emulator they install in their root. A stop (SIGINT, SIGTERM) ends that within "
              "seconds; after a run killed outright, it lasts until these tests run again.",
              flush=True)
    before = wineenv.runner()
    read, write = os.pipe()
    inside = subprocess.Popen(
        ["unshare", "--pid", "--fork", "--kill-child", "--mount", "--propagation", "private",
         "--mount-proc", sys.executable, "-m", "tests.setup", "--inside", way, str(write)]
        + names, cwd=TREE, pass_fds=[write], preexec_fn=sandbox.die_with_parent,
        start_new_session=True)
    os.close(write)
    try:
        with os.fdopen(read) as answer:
            found = json.loads(answer.read() or '{"count": 0, "failed": 1}')
        inside.wait()
    finally:
        with sandbox.signals_held():
            sandbox.end_inside(inside)  # and with it, by the kernel, all that it started
            if way == "shared":
                sandbox.take_back()
    after = wineenv.runner()
    if after != before:
        print("setup tests: 32-bit code ran here %s before them, %s after them" % (before, after))
        found["failed"] += 1
    return found


def inside(way, fd, names):
    """The first process of the inside's namespaces: a tmpfs on /tmp, then the cases."""
    # What the tmpfs hides stays in reach through a descriptor of this process, the first of
    # its namespace (/proc/1/fd/N): the seed (another run's root, in that run's /tmp), and the
    # work tree, mounted again at its place where it is in /tmp.
    kept = {path: os.open(path, os.O_RDONLY | os.O_DIRECTORY)
            for path in filter(None, (sandbox.SEED, TREE))}
    sandbox.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp"], check=True)
    if sandbox.SEED:
        sandbox.SEED = "/proc/1/fd/%d" % kept[sandbox.SEED]
    if not os.path.exists(TREE):
        os.makedirs(TREE)
        # As it is: mount would take the link's text, the hidden path, for the path.
        sandbox.run(["mount", "--no-canonicalize", "--bind", "/proc/1/fd/%d" % kept[TREE], TREE],
                    check=True)
    os.environ["SETUP_TESTS_WAY"] = way
    from . import test_setup
    count, failed = run_tests(names)
    found = {"count": count, "failed": failed}
    if test_setup.summary:
        found["emulator"] = test_setup.summary[0]
    with os.fdopen(fd, "w") as answer:
        json.dump(found, answer)
    return 0


def main(args):
    if args[:1] == ["--inside"]:
        return inside(args[1], int(args[2]), args[3:])
    sandbox.on_stop()
    decisions_only = "--decisions" in args
    names = [name for name in args if not name.startswith("--")]
    chosen = [n for n in names if n.split(".")[0] == DECISIONS] if names else [DECISIONS]
    real = [n for n in names if n.split(".")[0] in REAL_APT] if names else list(REAL_APT)
    found = {"count": 0, "failed": 0}
    try:
        if chosen:
            found["count"], found["failed"] = run_tests(chosen)
        if real:
            why = left_out(decisions_only)
            if why:
                found["left"] = why
            else:
                apt = real_apt(real)
                found["count"] += apt.pop("count", 0)
                found["failed"] += apt.pop("failed", 0)
                found.update(apt)
    except sandbox.Stopped as stop:
        print("== setup tests stopped by %s: what they made is removed" % stop, flush=True)
        return 128 + stop.signum
    with contextlib.suppress(OSError):  # a tree this user may not write: the lines suffice
        os.makedirs(verdict.STAGES, exist_ok=True)
        with open(os.path.join(verdict.STAGES, "setup.json"), "w") as f:
            json.dump(found, f)
    for line in verdict.setup_lines(found):
        print(line)
    return 1 if found["failed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
