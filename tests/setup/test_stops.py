"""What the setup's tests promise the machine they run on, each checked on another run of them
(python3 -m tests.setup, with a copy of this run's root, so that it needs no debootstrap):
where no user namespace can be made, or none has a binfmt_misc of its own, they say why at
once, touch nothing and pass; stopped by SIGINT or SIGTERM, at any point, they end within
seconds and leave nothing; what a run killed outright left, the next run removes, saying so.
And debroot.sh removes only the roots it made, and says why where it cannot make one.
"""
import ctypes
import errno
import glob
import os
import platform
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import wineenv

from . import sandbox
from .sandbox import DEBROOT, STAND_IN, TREE, Unavailable

STOP_BOUND = 30  # seconds from a stop to the end of the run, its cleanup included
# A case that runs the setup in the root for some seconds, and a quick one.
LONG_CASE = "test_setup.Setup.test_backports_already_listed_are_used_and_not_added_again"
QUICK_CASE = "test_setup.Setup.test_runner_answers_every_way_the_probe_can_fail"
NOTHING = {"holders": [], "roots": [], "work": [], "empty": []}

# x86-64 system calls and seccomp's words for a filter of them.
UNSHARE, MOUNT, FSOPEN = 272, 165, 430
CLONE_NEWUSER, MS_PRIVATE = 0x10000000, 0x40000
AUDIT_ARCH_X86_64, RET_ALLOW, RET_ERRNO = 0xC000003E, 0x7FFF0000, 0x00050000
LD, JEQ, JSET, RET = 0x20, 0x15, 0x45, 0x06


def refusing(*rules):
    """A preexec_fn that puts the child under a seccomp filter, as container runtimes' profiles
    do: each rule (call, argument, bits, when the bits are set, errno) makes that call fail
    where its argument has (or lacks) the bits; an argument of None, always."""
    program = [(LD, 0, 0, 4), (JEQ, 1, 0, AUDIT_ARCH_X86_64), (RET, 0, 0, RET_ALLOW)]
    for call, argument, bits, when_set, code in rules:
        program.append((LD, 0, 0, 0))
        if argument is None:
            program += [(JEQ, 0, 1, call), (RET, 0, 0, RET_ERRNO | code)]
        else:
            program += [(JEQ, 0, 3, call), (LD, 0, 0, 16 + 8 * argument),
                        (JSET, 0 if when_set else 1, 1 if when_set else 0, bits),
                        (RET, 0, 0, RET_ERRNO | code)]
    program.append((RET, 0, 0, RET_ALLOW))
    code = b"".join(struct.pack("HBBI", *step) for step in program)

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]

    def install():
        libc = ctypes.CDLL(None, use_errno=True)
        compiled = Program(len(program), code)
        if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.byref(compiled), 0, 0):
            os._exit(125)  # PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP with a filter
    return install


class Another:
    """Another run of these tests, started by this one: its output goes into files."""

    def __init__(self, names, seeded, env, wrap, preexec_fn):
        folder = tempfile.mkdtemp(prefix="another.", dir=sandbox.work_folder())
        self.out, self.err = (open(os.path.join(folder, n), "w+") for n in ("stdout", "stderr"))
        environment = dict(os.environ, **env)
        environment.pop("SETUP_TESTS_ROOT_SEED", None)
        if seeded:
            environment["SETUP_TESTS_ROOT_SEED"] = sandbox.seed()
        self.process = subprocess.Popen(
            list(wrap) + [sys.executable, "-m", "tests.setup"] + list(names), cwd=TREE,
            env=environment, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err,
            preexec_fn=preexec_fn, start_new_session=True)
        sandbox.children.append(self.process)
        self.owner = sandbox.token(self.process.pid)

    def stdout(self):
        self.out.seek(0)
        return self.out.read()

    def output(self):
        self.err.seek(0)
        return self.stdout() + self.err.read()

    def wait(self, seconds):
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            sandbox.end_group(self.process)
            raise AssertionError("the run went on for more than %d s:\n%s"
                                 % (seconds, self.output()[-3000:]))

    def left(self):
        return sandbox.leftovers(lambda owner: owner == self.owner)

    def namespaces(self):
        return {os.readlink("/proc/%d/ns/user" % pid) for pid in self.left()["holders"]}


def machine_registrations():
    with sandbox.machine_binfmt() as control:
        return sorted(set(os.listdir(control)) - {"register", "status"}) if control else []


class Stops(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.way = sandbox.way()
        except Unavailable as why:
            raise unittest.SkipTest(str(why))
        cls.registrations = machine_registrations()

    def another(self, *names, seeded=True, env=None, wrap=(), preexec_fn=None):
        run = Another(names, seeded, env or {}, wrap, preexec_fn)
        self.addCleanup(lambda: run.process.poll() is None and sandbox.end_group(run.process))
        return run

    def until(self, condition, seconds, what, run):
        deadline = time.monotonic() + seconds
        while not condition():
            if run.process.poll() is not None or time.monotonic() > deadline:
                self.fail("no %s within %d s:\n%s" % (what, seconds, run.output()[-3000:]))
            time.sleep(0.5)

    def until_a_case_runs(self, run, case):
        """Until the run's case has begun, with the stand-in registered, and has run a while."""
        self.until(lambda: case.split(".")[-1] + " (" in run.output(), 300, "case", run)
        time.sleep(3)
        if self.way == "private":
            [holder] = run.left()["holders"]
            [control] = glob.glob(os.path.join(run.left()["work"][0], "sandbox.*", "binfmt_misc"))
            self.assertIn(STAND_IN, sandbox.run(sandbox._nsenter(holder, ["ls", control]),
                                                capture_output=True, text=True).stdout.split())
        else:
            self.assertIn(STAND_IN, machine_registrations())

    def assert_nothing_left(self, run, namespaces):
        self.assertEqual(run.left(), NOTHING)
        self.assertEqual(sandbox.processes_in(namespaces), [])
        self.assertEqual(machine_registrations(), self.registrations)
        self.assertEqual(wineenv.runner(), sandbox.runner_before())

    def test_where_no_user_namespace_or_binfmt_misc_of_its_own_can_be_had_it_says_why_at_once(self):
        # The ways a kernel refuses a user namespace that can be had here: a chroot (a bind
        # mount of this machine's /), a limit of 0, a seccomp profile; and one that gives a
        # namespace no binfmt_misc of its own (Linux before 6.7), where it must not take the
        # machine's unasked: a profile that lets a namespace mount nothing but its propagation.
        # And a run without root (a user namespace of its own, unmapped), which ends before.
        if platform.machine() != "x86_64":
            self.skipTest("the seccomp filters here are for x86-64")
        chroot = tempfile.mkdtemp(prefix="chroot.", dir=sandbox.work_folder())
        no_user_namespace = r"no user namespace can be made here \(unshare: %s"
        cases = {
            "in a chroot": (dict(wrap=["unshare", "--mount", "--propagation", "private", "sh",
                                       "-c", 'mount --rbind / "$0" && exec chroot "$0" env -C '
                                       '"%s" "$@"' % TREE, chroot]),
                            no_user_namespace % "Operation not permitted, as in a chroot"),
            "user.max_user_namespaces=0": (
                dict(wrap=["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
                           'echo 0 >/proc/sys/user/max_user_namespaces && exec "$@"', "-"]),
                no_user_namespace % "No space left on device, user.max_user_namespaces is 0"),
            "seccomp": (dict(preexec_fn=refusing(
                (UNSHARE, 0, CLONE_NEWUSER, True, errno.EPERM))),
                no_user_namespace % "Operation not permitted"),
            "no binfmt_misc of a namespace's own": (dict(preexec_fn=refusing(
                (MOUNT, 3, MS_PRIVATE, False, errno.EPERM), (FSOPEN, None, 0, True, errno.ENOSYS))),
                r"this kernel gives no user namespace a binfmt_misc of its own \(Linux 6\.7 and "
                r"later do\), and these tests do not touch the machine's own unasked"),
            "not root": (dict(wrap=["unshare", "--user"]), r"They need root: .*"
                         r"To check them: sudo python3 -m tests\.setup\.$"),
        }
        for case, (how, reason) in cases.items():
            with self.subTest(case=case):
                began = time.monotonic()
                run = self.another(QUICK_CASE, seeded=False,
                                   env={"SETUP_TESTS_SHARED_BINFMT": ""}, **how)
                self.assertEqual(run.wait(STOP_BOUND), 0, run.output())
                self.assertLess(time.monotonic() - began, STOP_BOUND)
                [verdict] = [line for line in run.stdout().splitlines() if line.startswith("==")]
                self.assertRegex(verdict, r"^== setup tests skipped: " + reason)
                self.assertRegex(verdict, r"\. Not checked: .*\. To check them: .*"
                                          r"(SETUP_TESTS_SHARED_BINFMT=yes|sudo) python3 -m tests")
                self.assert_nothing_left(run, set())

    def test_a_run_stopped_by_sigint_or_sigterm_ends_within_seconds_and_leaves_nothing(self):
        for case, signum in (("debootstrap", signal.SIGINT), (LONG_CASE, signal.SIGINT),
                             (LONG_CASE, signal.SIGTERM)):
            with self.subTest(during=case, signal=signum.name):
                run = self.another(LONG_CASE, seeded=case != "debootstrap")
                if case == "debootstrap":
                    self.until(lambda: run.left()["roots"], 120, "root", run)
                    time.sleep(5)
                else:
                    self.until_a_case_runs(run, case)
                namespaces = run.namespaces()
                began = time.monotonic()
                run.process.send_signal(signum)
                self.assertEqual(run.wait(STOP_BOUND), 128 + signum, run.output())
                self.assertLess(time.monotonic() - began, STOP_BOUND)
                self.assertIn("== setup tests stopped by %s: what they made is removed"
                              % signum.name, run.stdout())
                self.assert_nothing_left(run, namespaces)

    def test_what_a_run_killed_outright_left_the_next_run_removes_saying_so(self):
        killed = self.another(LONG_CASE)
        self.until_a_case_runs(killed, LONG_CASE)
        namespaces = killed.namespaces()
        killed.process.kill()  # the run alone: what it started lives on, as it would
        killed.wait(STOP_BOUND)
        left = killed.left()
        self.assertTrue(left["roots"] and left["work"], left)
        if self.way == "shared":
            self.assertIn(STAND_IN, machine_registrations())
        after = self.another(QUICK_CASE)
        self.assertEqual(after.wait(300), 0, after.output())
        said = [line for line in after.stdout().splitlines()
                if line.startswith("setup tests: removed what an earlier run")]
        self.assertEqual(len(said), 1, after.stdout())
        for root in left["roots"]:
            self.assertIn("the root %s" % root, said[0])
        self.assertIn("== setup tests passed: 1 run, 0 failed", after.stdout())
        self.assert_nothing_left(killed, namespaces)
        self.assert_nothing_left(after, set())

    def test_debroot_removes_only_the_roots_it_made_and_says_why_it_cannot_make_one(self):
        work = sandbox.work_folder()
        plain = tempfile.mkdtemp(prefix="plain.", dir=work)
        with open(os.path.join(plain, "kept"), "w") as f:
            f.write("kept\n")
        forged = tempfile.mkdtemp(prefix="forged.", dir=work)
        with open(os.path.join(forged, sandbox.DEBROOT_MARK), "w") as f:
            f.write("path=%s\n" % plain)  # a mark copied from another folder's
        for folder in (plain, forged):
            with self.subTest(remove=folder):
                done = sandbox.run(["bash", DEBROOT, "remove", folder], capture_output=True,
                                   text=True, cwd=TREE)
                self.assertEqual(done.returncode, 1)
                self.assertRegex(done.stderr, r"^debroot: .* is no root that debroot\.sh made")
                self.assertTrue(os.path.isdir(folder))
        self.assertTrue(os.path.exists(os.path.join(plain, "kept")))
        roots = glob.glob(os.path.join("/var/tmp", sandbox.ROOTS + "*"))
        for args, env, reason in (
                (["make", "no-such-release"], {},
                 r"debootstrap could not make a Debian no-such-release root in /var/tmp/"),
                (["make", "bookworm"], {"TMPDIR": "/nonexistent"},
                 r"no folder for the root could be made in /nonexistent$")):
            with self.subTest(make=args, env=env):
                done = sandbox.run(["bash", DEBROOT] + args, capture_output=True, text=True,
                                   cwd=TREE, env=dict(os.environ, **env))
                self.assertEqual((done.returncode, done.stdout), (1, ""), done.stderr)
                self.assertRegex(done.stderr.splitlines()[-1], r"^setup-test: " + reason)
                self.assertEqual(glob.glob(os.path.join("/var/tmp", sandbox.ROOTS + "*")), roots)
