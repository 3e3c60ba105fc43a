"""The setup on real apt, where text cannot show it: in a throwaway Debian 12 root whose kernel,
for it alone, cannot run 32-bit code (see sandbox.py), the emulator path from its start, with
flag F under test, through to the shipped programs running under this machine's Wine through
the emulator that the setup registered there; one failure, with its undo; and what
wineenv's runner answers where the kernel's binfmt_misc fails it. The setup's decisions are
test_decisions.py's.

Needs root, the Debian mirror and the programs built (build/windows/bin):
  sudo python3 -m tests.setup test_setup
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import wineenv

from . import sandbox
from .. import texts
from .aptproxy import Proxy
from .machine import kernel_hex
from .sandbox import REGISTRATION, SOURCES, STAND_IN, TREE, Sandbox

BIN_DIR = os.path.join(TREE, "build", "windows", "bin")
MIRROR = "http://deb.debian.org/debian"
BACKPORTS = "bookworm-backports"
summary = []


class Setup(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox(os.environ["SETUP_TESTS_WAY"])

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def setUp(self):
        self.box.reset()

    def setup(self, script="qemu-i386.sh", **options):
        return self.box.chroot(["bash", "setup/" + script], **options)

    def reasons(self, run):
        return [line for line in run.stderr.splitlines() if line.startswith("setup:")]

    def runner(self):
        return self.box.chroot(["python3", "-m", "wineenv", "runner"]).stdout.strip()

    def assert_succeeded(self, run):
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertEqual(self.reasons(run), [])
        self.assertRegex(self.runner(), r"^qemu (1\d|[2-9]\d)\.")
        self.assertEqual(self.box.registrations(), sorted([REGISTRATION, STAND_IN]))
        self.assert_registered_with_flag_f()
        self.box.apt_is_clean(self)

    def assert_registered_with_flag_f(self):
        """The registration as the setup means it: i386 programs, the emulator, flag F. With F
        the kernel opened the emulator at registration, so an i386 program runs where its file
        is not, in an empty chroot, whether or not this machine has a qemu-user of its own."""
        hexes = {name: kernel_hex(sandbox.NAMES[name]) for name in ("MAGIC", "MASK")}
        lines = self.box.registration(REGISTRATION).splitlines()
        self.assertIn("interpreter " + sandbox.NAMES["EMULATOR"], lines)
        self.assertIn("magic " + hexes["MAGIC"], lines)
        self.assertIn("mask " + hexes["MASK"], lines)
        self.assertRegex("\n".join(lines), r"(?m)^flags: [A-Z]*F")
        empty = tempfile.mkdtemp(dir=self.box.work)
        with open(os.path.join(empty, "probe"), "wb") as f:
            f.write(wineenv.I386_PROBE)
        os.chmod(os.path.join(empty, "probe"), 0o755)
        probe = self.box.inside(["chroot", empty, "/probe"], stdin=subprocess.DEVNULL)
        self.assertEqual(probe.returncode, 0, probe.stderr)

    def test_backports_that_cannot_be_fetched_are_taken_away_again(self):
        # A mirror that refuses the backports (a proxy on loopback): one line says why, and
        # nothing of the setup's is left; apt works as before.
        proxy = Proxy("unreachable")
        config = self.box.file("/etc/apt/apt.conf.d/99consoletools-test-proxy")
        with open(config, "w") as f:
            f.write('Acquire::http::Proxy "http://127.0.0.1:%d";\n' % proxy.port)
        try:
            run = self.setup()
        finally:
            proxy.stop()
            os.remove(config)
        self.assertNotEqual(run.returncode, 0, run.stdout)
        self.assertIn("removing %s again" % SOURCES, run.stdout)
        self.assertRegex("\n".join(self.reasons(run)), r"^setup: the package list of %s could "
                         r"not be fetched from %s \(.+\); .* is removed again$" % (BACKPORTS, MIRROR))
        self.assertEqual(self.box.registrations(), [STAND_IN])
        self.assertFalse(os.path.exists(self.box.file(SOURCES)))
        self.box.apt_is_clean(self)

    def test_runner_answers_every_way_the_probe_can_fail(self):
        # The stand-in's Exec format error, also where the temporary folder is mounted noexec
        # (the probe starts from a memory file); an interpreter that binfmt_misc names but that
        # cannot be found (as inside a chroot, without flag F); one that ends at once.
        exec_format = "none: this kernel cannot run i386 programs (Exec format error)"
        self.assertEqual(self.runner(), exec_format)
        self.box.inside(["mount", "-t", "tmpfs", "-o", "noexec", "tmpfs", self.box.file("/tmp")],
                        check=True)
        self.addCleanup(self.box.inside, ["umount", self.box.file("/tmp")])
        noexec = self.box.chroot(["python3", "-m", "wineenv", "runner"], env={"TMPDIR": "/tmp"})
        self.assertEqual(noexec.stdout.strip(), exec_format)
        for interpreter, flags, answer in (
                ("/nonexistent/qemu-i386", "", r"^none: the i386 probe cannot start \(No such "
                 r"file or directory\): binfmt_misc names an interpreter"),
                ("/bin/false", "F", r"^none: what binfmt_misc runs i386 programs with ended at "
                 r"once \(status 1\)$")):
            with self.subTest(interpreter=interpreter):
                self.box.register(sandbox.PROBE_REGISTRATION, interpreter, flags)
                self.addCleanup(self.box.unregister, sandbox.PROBE_REGISTRATION)
                self.assertRegex(self.runner(), answer)
                self.box.unregister(sandbox.PROBE_REGISTRATION)

    def test_the_shipped_programs_run_through_the_emulator_it_set_up(self):
        """The emulator path from its start, the package and the registration, then each
        shipped program under this machine's Wine through it."""
        self.assert_succeeded(self.setup())
        runner = self.box.inside(["python3", "-m", "wineenv", "runner"], cwd=TREE).stdout
        self.assertRegex(runner, r"^qemu 1\d\.")
        prefix = tempfile.mkdtemp(prefix="prefix.", dir=self.box.work)
        folder = tempfile.mkdtemp(prefix="run.", dir=self.box.work)
        env = wineenv.environment(prefix)

        def wine(*args):
            # Into files: a new prefix's services would hold pipes open.
            with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
                done = self.box.inside([wineenv.WINE] + list(args), cwd=folder, env=env,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
                out.seek(0)
                err.seek(0)
                done.stdout, done.stderr = out.read(), err.read()
            return done

        self.addCleanup(self.box.inside, ["wineserver", "-k"], env=env)
        self.assertEqual(wine("wineboot", "-i").returncode, 0)
        for name in ("buildtimer.exe", "consoledemo.exe", "Vantrel.dll"):
            shutil.copy(os.path.join(BIN_DIR, name), folder)
        start = wine("buildtimer.exe")
        self.assertEqual((start.returncode, start.stdout), (0, ""))
        shutil.copy(os.path.join(TREE, "tests", "data", "listings", "wine.txt"),
                    os.path.join(folder, "MvtDir.tmp"))
        stop = wine("buildtimer.exe")
        self.assertEqual(stop.returncode, 0, stop.stderr)
        self.assertRegex(stop.stdout, "^%s\\d+%s" % (re.escape(texts.TIMING_START.decode()),
                                                    re.escape(texts.TIMING_END.decode()[:-2])))
        demo = wine("consoledemo.exe", "C:\\hello.c")
        self.assertEqual(demo.returncode, 0, demo.stderr)
        self.assertIn("drag a file over the exe to see more", demo.stdout)
        self.assertIn("C:\\hello.c", demo.stdout)
        summary.append("the shipped programs under %s through %s, %s" % (
            wineenv.facts()["wine"], runner.strip(), "in a user and mount namespace of their own"
            if self.box.private else "registered with this machine's binfmt_misc"))
