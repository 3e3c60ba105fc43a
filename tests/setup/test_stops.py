"""What the setup's tests promise the machine they run on, each checked on another run of them
(python3 -m tests.setup, with a copy of this run's root, so that it makes none): where no user
namespace can be made, or none has a binfmt_misc of its own, they say why at once, touch
nothing and pass; stopped by SIGINT or SIGTERM while a case runs, they end within seconds and
leave nothing; killed outright, they leave no process and no mount, by the kernel, and what
they left on the machine's binfmt_misc (SETUP_TESTS_SHARED_BINFMT=yes) the next run removes,
saying so. And debroot.sh removes only the roots it made, and says why where it cannot make
one.
"""
import ctypes
import errno
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
from .sandbox import STAND_IN, TREE

DEBROOT = os.path.join(TREE, "setup", "debroot.sh")
STOP_BOUND = 30  # seconds from a stop to the end of the run, its cleanup included
# A case that runs the setup in the root for some seconds.
LONG_CASE = "test_setup.Setup.test_backports_that_cannot_be_fetched_are_taken_away_again"

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


def live_in(namespaces):
    """The processes, zombies aside (the kernel has ended them), in any of these namespaces
    (what /proc/PID/ns/pid or /proc/PID/ns/mnt link to)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue
            if any(os.readlink("/proc/%s/ns/%s" % (pid, kind)) in namespaces
                   for kind in ("pid", "mnt")):
                found.append(int(pid))
        except (OSError, IndexError):
            pass
    return found


class Another:
    """Another run of these tests, started by this one: its output goes into files."""

    def __init__(self, names, env, wrap, preexec_fn):
        folder = tempfile.mkdtemp(prefix="another.")
        self.out, self.err = (open(os.path.join(folder, n), "w+") for n in ("stdout", "stderr"))
        environment = dict(os.environ, SETUP_TESTS_ROOT_SEED=sandbox.root(), **env)
        self.process = subprocess.Popen(
            list(wrap) + [sys.executable, "-m", "tests.setup"] + list(names), cwd=TREE,
            env=environment, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err,
            preexec_fn=preexec_fn, start_new_session=True)

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

    def namespaces(self):
        """The PID and mount namespaces of its inside (the first process of them, which its
        unshare started)."""
        for child in sandbox.children(self.process.pid):
            try:
                with open("/proc/%d/cmdline" % child, "rb") as f:
                    unshare = f.read().split(b"\0")[:2] == [b"unshare", b"--pid"]
                for pid in sandbox.children(child) if unshare else []:
                    return {os.readlink("/proc/%d/ns/%s" % (pid, k)) for k in ("pid", "mnt")}
            except OSError:
                pass
        raise AssertionError("the run has no inside:\n" + self.output()[-3000:])


class Stops(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.way = os.environ["SETUP_TESTS_WAY"]
        cls.registrations = sandbox.machine_registrations()
        cls.runner = wineenv.runner()

    def another(self, *names, env=None, wrap=(), preexec_fn=None):
        run = Another(names, env or {}, wrap, preexec_fn)
        self.addCleanup(lambda: run.process.poll() is None and sandbox.end_group(run.process))
        return run

    def until_a_case_runs(self, run):
        """Until the run's case has begun, with the stand-in registered, and has run a while."""
        deadline = time.monotonic() + 300
        while LONG_CASE.split(".")[-1] + " (" not in run.output():
            if run.process.poll() is not None or time.monotonic() > deadline:
                self.fail("no case within 300 s:\n%s" % run.output()[-3000:])
            time.sleep(0.5)
        time.sleep(3)
        if self.way == "shared":
            self.assertIn(STAND_IN, sandbox.machine_registrations())

    def assert_machine_as_before(self):
        self.assertEqual(sandbox.machine_registrations(), self.registrations)
        self.assertEqual(wineenv.runner(), self.runner)

    def test_where_no_user_namespace_or_binfmt_misc_of_its_own_can_be_had_it_says_why_at_once(self):
        # The ways a kernel refuses a user namespace that can be had here: a chroot (a bind
        # mount of this machine's /), a limit of 0, a seccomp profile; and one that gives a
        # namespace no binfmt_misc of its own (Linux before 6.7), where it must not take the
        # machine's unasked: a profile that lets a namespace mount nothing but its propagation.
        # And a run without root (a user namespace of its own, unmapped), which ends before.
        if platform.machine() != "x86_64":
            self.skipTest("the seccomp filters here are for x86-64")
        chroot = tempfile.mkdtemp(prefix="chroot.")
        no_user_namespace = r"skipped: no user namespace can be made here \(unshare: %s"
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
                r"skipped: this kernel gives no user namespace a binfmt_misc of its own \(Linux "
                r"6\.7 and later do\), and these tests do not touch the machine's own unasked"),
            "not root": (dict(wrap=["unshare", "--user"]), r"left out: tests\.setup\.test_setup "
                         r"and tests\.setup\.test_stops need root .*: sudo python3 -m "
                         r"tests\.setup$"),
        }
        for case, (how, reason) in cases.items():
            with self.subTest(case=case):
                began = time.monotonic()
                run = self.another(LONG_CASE, env={"SETUP_TESTS_SHARED_BINFMT": ""}, **how)
                self.assertEqual(run.wait(STOP_BOUND), 0, run.output())
                self.assertLess(time.monotonic() - began, STOP_BOUND)
                [line] = [line for line in run.stdout().splitlines()
                          if line.startswith("== setup tests on real apt")]
                self.assertRegex(line, r"^== setup tests on real apt " + reason)
                if "skipped" in reason:
                    self.assertRegex(line, r"\. Not checked: .*\. To check them: .*"
                                           r"SETUP_TESTS_SHARED_BINFMT=yes python3 -m tests")
                self.assert_machine_as_before()

    def test_a_run_stopped_by_sigint_or_sigterm_ends_within_seconds_and_leaves_nothing(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum.name):
                run = self.another(LONG_CASE)
                self.until_a_case_runs(run)
                namespaces = run.namespaces()
                self.assertTrue(live_in(namespaces))
                began = time.monotonic()
                run.process.send_signal(signum)
                self.assertEqual(run.wait(STOP_BOUND), 128 + signum, run.output())
                self.assertLess(time.monotonic() - began, STOP_BOUND)
                self.assertIn("== setup tests stopped by %s: what they made is removed"
                              % signum.name, run.stdout())
                self.assertEqual(live_in(namespaces), [])
                self.assert_machine_as_before()

    def test_a_run_killed_outright_leaves_no_process_or_mount_and_the_next_run_says_what_is_left(
            self):
        killed = self.another(LONG_CASE)
        self.until_a_case_runs(killed)
        namespaces = killed.namespaces()
        self.assertTrue(live_in(namespaces))
        killed.process.kill()
        killed.wait(STOP_BOUND)
        deadline = time.monotonic() + 10
        while live_in(namespaces) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(live_in(namespaces), [])  # its mounts went with its namespaces
        if self.way == "private":
            self.assert_machine_as_before()
            return
        # The machine's binfmt_misc is the one place the kernel leaves as it was.
        self.assertIn(STAND_IN, sandbox.machine_registrations())
        after = self.another(LONG_CASE)
        self.assertEqual(after.wait(300), 0, after.output())
        said = [line for line in after.stdout().splitlines()
                if line.startswith("setup tests: removed what an earlier run")]
        self.assertEqual(said, ["setup tests: removed what an earlier run, killed outright, "
                                "left: the registrations %s on this machine's binfmt_misc"
                                % STAND_IN], after.stdout())
        self.assert_machine_as_before()

    def test_debroot_removes_only_the_roots_it_made_and_says_why_it_cannot_make_one(self):
        work = tempfile.mkdtemp(prefix="debroot.")
        plain = tempfile.mkdtemp(prefix="plain.", dir=work)
        with open(os.path.join(plain, "kept"), "w") as f:
            f.write("kept\n")
        forged = tempfile.mkdtemp(prefix="forged.", dir=work)
        with open(os.path.join(forged, ".consoletools-debroot"), "w") as f:
            f.write("path=%s\n" % plain)  # a mark copied from another folder's
        for folder in (plain, forged):
            with self.subTest(remove=folder):
                done = sandbox.run(["bash", DEBROOT, "remove", folder], capture_output=True,
                                   text=True, cwd=TREE)
                self.assertEqual(done.returncode, 1)
                self.assertRegex(done.stderr, r"^debroot: .* is no root that debroot\.sh made")
                self.assertTrue(os.path.isdir(folder))
        self.assertTrue(os.path.exists(os.path.join(plain, "kept")))
        # Where debroot.sh makes its roots: TMPDIR, a folder of this test's.
        base = tempfile.mkdtemp(prefix="tmpdir.", dir=work)
        for args, tmpdir, reason in (
                (["make", "no-such-release"], base,
                 r"mmdebstrap could not make a Debian no-such-release root in %s/" % base),
                (["make", "bookworm"], "/nonexistent",
                 r"no folder for the root could be made in /nonexistent$")):
            with self.subTest(make=args, tmpdir=tmpdir):
                done = sandbox.run(["bash", DEBROOT] + args, capture_output=True, text=True,
                                   cwd=TREE, env=dict(os.environ, TMPDIR=tmpdir))
                self.assertEqual((done.returncode, done.stdout), (1, ""), done.stderr)
                self.assertRegex(done.stderr.splitlines()[-1], r"^setup-test: " + reason)
                self.assertEqual(os.listdir(base), [])
