"""The setup on the machines people have, on real apt: each case makes the setup's emulator path
(setup/qemu-i386.sh, or all of setup/setup.sh) meet one kind of machine in a throwaway
Debian 12 root whose kernel, for it alone, cannot run 32-bit code (see sandbox.py). Each
checks the outcome: the exit status, the one line that says why where it fails, that
apt-get update in the root runs clean afterwards, and that the setup's registration exists
exactly when the setup succeeded. The last case then runs the shipped programs under this
machine's Wine through the emulator that the setup registered there.

Needs root, debootstrap's reach to the Debian mirror, and the programs built
(build/windows/bin). Run by scripts/test.sh:  python3 -m tests.setup.test_setup
"""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import wineenv

from . import sandbox
from .. import texts
from .aptproxy import Proxy
from .sandbox import REGISTRATION, SOURCES, STAND_IN, TREE, Sandbox, Unavailable

BIN_DIR = os.path.join(TREE, "build", "windows", "bin")
MIRROR = "http://deb.debian.org/debian"
BACKPORTS = "bookworm-backports"
RELEASE_QEMU = r"bookworm has qemu-user 1:7\.2"
# Another vendor's repository that names the release's codename too, listed first.
VENDOR = "deb [trusted=yes] file:/srv/vendor ./\n"
summary = []


class Setup(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.box = Sandbox(sandbox.way())
        except Unavailable as why:
            raise unittest.SkipTest(str(why))

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
        hexes = {name: sandbox.NAMES[name].encode().decode("unicode_escape").encode(
            "latin-1").hex() for name in ("MAGIC", "MASK")}
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

    def assert_failed(self, run, reason, downloaded=True):
        """One line says why; nothing of the setup's is left: no registration, no source, and
        where nothing was to be downloaded yet, no qemu-user and nothing in apt's cache."""
        self.assertNotEqual(run.returncode, 0, run.stdout)
        [line] = self.reasons(run)
        self.assertRegex(line, reason)
        self.assertEqual(self.box.registrations(), [STAND_IN])
        self.assertFalse(os.path.exists(self.box.file(SOURCES)))
        self.box.apt_is_clean(self)
        if not downloaded:
            self.assertNotIn("qemu", " ".join(os.listdir(self.box.file("/var/cache/apt/archives"))))
            self.assertNotIn("ok installed", self.box.chroot(
                ["dpkg-query", "-W", "-f=${Status}", "qemu-user"]).stdout)

    def sources(self, text, deb822=False):
        self.vendor_repository()
        with open(self.box.file("/etc/apt/sources.list"), "w") as f:
            f.write(VENDOR + ("" if deb822 else text))
        if deb822:
            with open(self.box.file("/etc/apt/sources.list.d/debian.sources"), "w") as f:
                f.write(text)

    def vendor_repository(self):
        """A flat repository on file:, with no packages, whose release calls itself bookworm."""
        folder = self.box.file("/srv/vendor")
        os.makedirs(folder, exist_ok=True)
        open(os.path.join(folder, "Packages"), "w").close()
        with open(os.path.join(folder, "Release"), "w") as f:
            f.write("Origin: Vendor\nLabel: Vendor\nSuite: bookworm\nCodename: bookworm\n"
                    "Date: Sat, 01 Jan 2022 00:00:00 UTC\n"
                    "SHA256:\n e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 0"
                    " Packages\n")

    def test_finds_debians_mirror_by_codename_or_suite_in_either_format_in_any_locale(self):
        # Sources that name the release by codename or by suite (as older installations
        # do), in the one-line format or deb822, with another vendor's repository listed
        # first; a noexec temporary folder; a German locale, whose apt translates its words.
        cases = {
            "codename, one line, noexec /tmp": ("deb %s bookworm main\n" % MIRROR, False, {}),
            "suite, one line, German": ("deb %s oldstable main\n" % MIRROR, False,
                                        {"LANG": "de_DE.UTF-8"}),
            "suite, deb822, German": (
                "Types: deb\nURIs: %s\nSuites: oldstable\nComponents: main\nSigned-By: "
                "/usr/share/keyrings/debian-archive-keyring.gpg\n" % MIRROR, True,
                {"LANG": "de_DE.UTF-8"}),
        }
        for case, (text, deb822, env) in cases.items():
            with self.subTest(case=case):
                self.box.reset()
                self.sources(text, deb822)
                if "noexec" in case:
                    self.box.inside(["mount", "-t", "tmpfs", "-o", "noexec", "tmpfs",
                                     self.box.file("/tmp")], check=True)
                    self.addCleanup(self.box.inside, ["umount", self.box.file("/tmp")])
                    env = dict(env, TMPDIR="/tmp")
                run = self.setup(env=env)
                self.assert_succeeded(run)
                self.assertRegex(run.stdout, RELEASE_QEMU)
                with open(self.box.file(SOURCES)) as f:
                    self.assertIn("URIs: %s\nSuites: %s\n" % (MIRROR, BACKPORTS), f.read())
        # Run again, it changes nothing and says nothing.
        again = self.setup()
        self.assertEqual((again.returncode, again.stdout, again.stderr), (0, "", ""))
        self.assertEqual(self.box.registrations(), sorted([REGISTRATION, STAND_IN]))

    def test_writes_no_source_without_an_address(self):
        # Sources that name no Debian mirror for the release: another vendor's repository alone;
        # and binfmt_misc not mounted, so that the setup mounts it, and unmounts it again.
        self.sources("")
        self.box.binfmt_in_root(False)
        run = self.setup()
        self.assert_failed(run, r"^setup: bookworm has qemu-user nowhere, and the apt "
                           r"sources name no Debian mirror for bookworm", downloaded=False)
        self.assertIn("setup: unmounting %s again" % sandbox.BINFMT, run.stdout)
        self.assertFalse(self.box.binfmt_in_root())

    def test_backports_already_listed_are_used_and_not_added_again(self):
        self.sources("deb %s oldstable main\ndeb %s %s main\n" % (MIRROR, MIRROR, BACKPORTS))
        run = self.setup()
        self.assert_succeeded(run)
        self.assertFalse(os.path.exists(self.box.file(SOURCES)))
        self.assertNotIn("configured multiple times", self.box.chroot(["apt-get", "update"]).stderr)

    def hold(self, lock, seconds):
        """A process in the root that holds one of apt's locks for seconds, as apt does."""
        holder = subprocess.Popen(self.box.chroot_argv(
            ["python3", "-c", "import fcntl, sys, time; f = open(sys.argv[1], 'w'); "
             "fcntl.lockf(f, fcntl.LOCK_EX); print(flush=True); time.sleep(%d)" % seconds,
             lock]), stdout=subprocess.PIPE)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        holder.stdout.readline()
        return holder

    def test_waits_for_another_apt_and_says_for_whom_within_a_bound(self):
        for lock in ("/var/lib/dpkg/lock-frontend", "/var/lib/apt/lists/lock"):
            with self.subTest(lock=lock):
                self.box.reset()
                holder = self.hold(lock, 6)
                began = time.monotonic()
                run = self.setup()
                self.assertGreater(time.monotonic() - began, 5)
                self.assert_succeeded(run)
                self.assertRegex(run.stdout, r"setup: waiting for another apt to finish, at "
                                 r"most 300 s: python3 -c .* \(process %d, which holds %s\)"
                                 % (holder.pid, re.escape(lock)))
        with self.subTest(lock="held past the bound"):
            self.box.reset()
            self.hold("/var/lib/dpkg/lock-frontend", 60)
            self.assert_failed(self.setup(env={"SETUP_LOCK_WAIT": "2"}),
                               r"^setup: apt is busy: after 2 s, python3 -c .* still has it",
                               downloaded=False)

    def test_backports_that_cannot_be_fetched_are_taken_away_again(self):
        for mode in ("unreachable", "syncing"):
            with self.subTest(mode=mode):
                self.box.reset()
                proxy = Proxy(mode)
                config = self.box.file("/etc/apt/apt.conf.d/99consoletools-test-proxy")
                with open(config, "w") as f:
                    f.write('Acquire::http::Proxy "http://127.0.0.1:%d";\n' % proxy.port)
                try:
                    run = self.setup()
                finally:
                    proxy.stop()
                    os.remove(config)
                self.assertIn("removing %s again" % SOURCES, run.stdout)
                self.assert_failed(run, r"^setup: the package list of %s could not be fetched "
                                   r"from %s \(.+\); .* is removed again$" % (BACKPORTS, MIRROR))

    def test_says_why_before_any_download_where_nothing_can_be_registered(self):
        # Not root, with no sudo; a binfmt_misc that is not mounted and cannot be (an
        # unprivileged container, without CAP_SYS_ADMIN); one whose status says it is switched
        # off; one that refuses registrations (its register file cannot be written).
        cases = {
            "not root, no sudo": (dict(user=65534), True, None,
                                  r"^setup: Registering .* needs root, and there is no sudo"),
            "cannot be mounted": (dict(capabilities="-sys_admin"), False, None,
                                  r"^setup: binfmt_misc is not mounted at /proc/sys/fs/"
                                  r"binfmt_misc, and cannot be mounted there, so 32-bit"),
            "switched off": ({}, True, ("status", "disabled\n"),
                             r"^setup: binfmt_misc is switched off here \(its status says "
                             r"disabled\)"),
            "refuses registrations": ({}, True, ("register", ""),
                                      r"^setup: binfmt_misc at /proc/sys/fs/binfmt_misc refuses "
                                      r"registrations, so 32-bit"),
        }
        for case, (options, mounted, cover, reason) in cases.items():
            with self.subTest(case=case):
                self.box.reset()
                self.box.binfmt_in_root(mounted)
                if cover:
                    self.box.cover(*cover)
                run = self.setup("setup.sh" if "root" in case else "qemu-i386.sh", **options)
                self.assert_failed(run, reason, downloaded=False)

    def test_runner_answers_every_way_the_probe_can_fail(self):
        # The stand-in's Exec format error; an interpreter that binfmt_misc names but that
        # cannot be found (as inside a chroot, without flag F); one that ends at once.
        self.assertEqual(self.runner(),
                         "none: this kernel cannot run i386 programs (Exec format error)")
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
        self.sources("deb %s bookworm main\n" % MIRROR)
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
