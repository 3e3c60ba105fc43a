"""The setup's decisions, each on a made-up machine (machine.py) fed apt's answers from real runs
(tests/data/apt): the mirror it adds the backports on, the candidate versions, backports
already listed, another apt that holds a lock, a binfmt_misc that refuses, a source that
cannot be fetched and its undo, what it installs and says. As any user, in milliseconds.

  python3 -m unittest -v tests.setup.test_decisions     (python3 -m tests.setup runs them too)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from .machine import Machine, kernel_hex

MIRROR = "http://deb.debian.org/debian"
BOOKWORM = {"policy qemu-user": "bookworm.qemu-user",
            "policy fetched": "bookworm-backports.policy",
            "policy -t bookworm-backports qemu-user": "bookworm-backports.qemu-user"}
INSTALL_FROM_BACKPORTS = ("apt-get -o DPkg::Lock::Timeout=300 install -y -qq "
                          "--no-install-recommends -t bookworm-backports qemu-user")


def bookworm(policy):
    """A Debian 12 machine whose sources give apt-cache policy the recorded answer policy."""
    return dict(BOOKWORM, policy=policy)


class Case(unittest.TestCase):
    def machine(self, **state):
        folder = tempfile.mkdtemp(prefix="consoletools-machine.")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        return Machine(folder, **state)

    def reasons(self, run):
        return [line for line in run.stderr.splitlines() if line.startswith("setup:")]

    def assert_set_up(self, machine, run):
        """It succeeded: no reason, and the registration as the setup means it (i386 ELF
        programs, the emulator, flag F), through which 32-bit code now runs."""
        self.assertEqual((run.returncode, self.reasons(run)), (0, []), run.stderr)
        self.assertEqual(machine.registrations(), [machine.names["REGISTRATION"]])
        hexes = [kernel_hex(machine.names[n]) for n in ("MAGIC", "MASK")]
        self.assertEqual(machine.registration(machine.names["REGISTRATION"]),
                         "enabled\ninterpreter %s\nflags: F\nmagic %s\nmask %s\n" % (
                             machine.names["EMULATOR"], *hexes))
        self.assertRegex(run.stdout, r"setup: registering .* \(qemu 10\.0\.2\)")

    def assert_failed(self, machine, run, reason, downloaded=True):
        """One line says why, and nothing of the setup's is left: no registration, no source,
        and where it failed before any download, no apt-get at all."""
        self.assertNotEqual(run.returncode, 0, run.stdout)
        self.assertEqual(len(self.reasons(run)), 1, run.stderr)
        self.assertRegex(self.reasons(run)[0], reason)
        self.assertEqual(machine.registrations(), [])
        self.assertFalse(os.path.exists(machine.names["SOURCES"]))
        if not downloaded:
            self.assertEqual(machine.calls("apt-get"), [])


class Mirror(Case):
    def test_adds_backports_on_debians_mirror_by_codename_or_suite_in_either_format_in_any_locale(
            self):
        # Sources that name the release by codename or by suite, in the one-line format or
        # deb822, with another vendor's repository that calls itself bookworm and Debian's
        # security archive listed too; and a German locale, whose apt translates its words.
        cases = {"codename": ("bookworm-codename.policy", {}),
                 "codename, German": ("bookworm-codename.policy", {"LANG": "de_DE.UTF-8"}),
                 "suite, one line": ("bookworm-suite.policy", {"LANG": "de_DE.UTF-8"}),
                 "suite, deb822": ("bookworm-deb822.policy", {"LC_MESSAGES": "de_DE.UTF-8"})}
        for case, (policy, env) in cases.items():
            with self.subTest(case=case):
                machine = self.machine(answers=bookworm(policy))
                run = machine.run(env=env)
                self.assert_set_up(machine, run)
                self.assertIn("setup: bookworm has qemu-user 1:7.2+dfsg-7+deb12u18+b3; adding "
                              "bookworm-backports from %s to the apt sources" % MIRROR,
                              run.stdout)
                with open(machine.names["SOURCES"]) as f:
                    self.assertEqual(f.read(), "Types: deb\nURIs: %s\nSuites: bookworm-backports"
                                     "\nComponents: main\nSigned-By: /usr/share/keyrings/"
                                     "debian-archive-keyring.gpg\n" % MIRROR)
                self.assertEqual(machine.calls("apt-get")[-1], INSTALL_FROM_BACKPORTS)

    def test_backports_already_listed_are_used_and_not_added_again(self):
        machine = self.machine(answers=dict(BOOKWORM, policy="bookworm-backports.policy"))
        run = machine.run()
        self.assert_set_up(machine, run)
        self.assertFalse(os.path.exists(machine.names["SOURCES"]))
        self.assertNotIn("adding", run.stdout)
        self.assertEqual(machine.calls("apt-get")[-1], INSTALL_FROM_BACKPORTS)

    def test_debian_13_installs_its_own_qemu_and_adds_no_source(self):
        machine = self.machine(codename="trixie", answers={
            "policy": "trixie.policy", "policy qemu-user": "trixie.qemu-user"})
        run = machine.run()
        self.assert_set_up(machine, run)
        self.assertIn("setup: installing qemu-user 1:10.0.13+ds-0+deb13u1\n", run.stdout)
        self.assertFalse(os.path.exists(machine.names["SOURCES"]))
        self.assertEqual(machine.calls("apt-get")[-1], "apt-get -o DPkg::Lock::Timeout=300 "
                         "install -y -qq --no-install-recommends qemu-user")

    def test_writes_no_source_without_an_address_and_unmounts_what_it_mounted(self):
        # Sources that name no Debian mirror for the release, but another vendor's repository
        # that calls itself bookworm; binfmt_misc not mounted, so that the setup mounts it.
        machine = self.machine(binfmt="mountable", answers={
            "policy": "vendor-only.policy", "policy qemu-user": "vendor-only.qemu-user"})
        run = machine.run()
        self.assert_failed(machine, run, r"^setup: bookworm has qemu-user nowhere, and the apt "
                           r"sources name no Debian mirror for bookworm on which to add "
                           r"bookworm-backports$")
        self.assertIn("setup: mounted binfmt_misc at %s\n" % machine.names["BINFMT"], run.stdout)
        self.assertIn("setup: unmounting %s again\n" % machine.names["BINFMT"], run.stdout)
        self.assertEqual(machine.calls("umount"), ["umount " + machine.names["BINFMT"]])
        self.assertEqual([c for c in machine.calls("apt-get") if "install" in c], [])


class Fetching(Case):
    def test_backports_that_cannot_be_fetched_are_removed_and_the_lists_fetched_again(self):
        for mode, first_error in (
                ("unreachable", "W: Failed to fetch %s/dists/bookworm-backports/InRelease  503"
                 % MIRROR),
                ("syncing", "E: Failed to fetch %s/dists/bookworm-backports/main/binary-amd64/"
                 % MIRROR)):
            with self.subTest(mode=mode):
                machine = self.machine(answers=bookworm("bookworm-codename.policy"),
                                       backports=mode)
                run = machine.run()
                self.assert_failed(machine, run, r"^setup: the package list of "
                                   r"bookworm-backports could not be fetched from %s \(%s.*\); "
                                   r"%s is removed again$" % (MIRROR, re.escape(first_error),
                                                              machine.names["SOURCES"]))
                self.assertIn("setup: removing %s again" % machine.names["SOURCES"], run.stdout)
                updates = [c for c in machine.calls("apt-get") if c.endswith("update -qq")]
                self.assertEqual(len(updates), 3)  # the release's, with backports, without
                self.assertNotIn("install", " ".join(machine.calls("apt-get")))


class Binfmt(Case):
    def test_says_why_before_any_download_where_nothing_can_be_registered(self):
        cases = {
            "not root, no sudo": (dict(uid=1000, sudo=False), r"^setup: Registering qemu's "
                                  r"i386 emulator with binfmt_misc needs root, and there is no "
                                  r"sudo here: run it as root$"),
            "no binfmt_misc": (dict(binfmt="missing"), r"^setup: this kernel has no binfmt_misc"),
            "cannot be mounted": (dict(binfmt="unmountable"), r"^setup: binfmt_misc is not "
                                  r"mounted at .*, and cannot be mounted there, so 32-bit"),
            "switched off": (dict(binfmt="disabled"), r"^setup: binfmt_misc is switched off "
                             r"here \(its status says disabled\)"),
            "refuses registrations": (dict(binfmt="refusing"), r"^setup: binfmt_misc at .* "
                                      r"refuses registrations, so 32-bit programs"),
        }
        for case, (state, reason) in cases.items():
            with self.subTest(case=case):
                machine = self.machine(answers=bookworm("bookworm-codename.policy"), **state)
                self.assert_failed(machine, machine.run(), reason, downloaded=False)

    def test_changes_nothing_where_32_bit_code_runs_natively_or_through_qemu_10(self):
        for runner in ("native", "qemu 10.0.2 (Debian 1:10.0.2+ds-2+deb13u1~bpo12+1)"):
            with self.subTest(runner=runner):
                machine = self.machine(runner=runner)
                run = machine.run()
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
                self.assertEqual(machine.calls(), ["id -u", "python3 -m wineenv runner"])

    def test_an_emulator_older_than_10_after_the_install_is_refused_and_its_source_removed(self):
        machine = self.machine(answers=bookworm("bookworm-codename.policy"), emulator="9.2.0")
        self.assert_failed(machine, machine.run(), r"^setup: no qemu-i386 of version 10 or later at .* "
                           r"after the install \(9\.2\.0\)$")


class Locks(Case):
    def hold(self, lock, seconds):
        """Another process that holds one of apt's locks for seconds, as apt does."""
        holder = subprocess.Popen(
            [sys.executable, "-c", "import fcntl, sys, time; f = open(sys.argv[1], 'w'); "
             "fcntl.lockf(f, fcntl.LOCK_EX); print(flush=True); time.sleep(%g)" % seconds, lock],
            stdout=subprocess.PIPE)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        holder.stdout.readline()
        return holder

    def test_waits_for_another_apt_and_says_for_whom_within_a_bound(self):
        for lock in ("lock-frontend", "lists-lock"):
            with self.subTest(lock=lock):
                machine = self.machine(answers=bookworm("bookworm-codename.policy"))
                path = machine.path(lock)
                holder = self.hold(path, 0.5)
                began = time.monotonic()
                run = machine.run()
                self.assertGreater(time.monotonic() - began, 0.5)
                self.assert_set_up(machine, run)
                self.assertRegex(run.stdout, r"setup: waiting for another apt to finish, at "
                                 r"most 300 s: %s -c .* \(process %d, which holds %s\)"
                                 % (re.escape(sys.executable), holder.pid, re.escape(path)))
        with self.subTest(lock="held past the bound"):
            machine = self.machine(answers=bookworm("bookworm-codename.policy"))
            self.hold(machine.path("lock-frontend"), 30)
            self.assert_failed(machine, machine.run(env={"SETUP_LOCK_WAIT": "1"}),
                               r"^setup: apt is busy: after 1 s, .* still has it; try again",
                               downloaded=False)


class Installs(Case):
    def test_announces_each_package_it_installs_and_the_i386_architecture(self):
        # Where nothing is installed: the undo takes the announced names, so each that apt is
        # asked for is announced.
        machine = self.machine(runner="native")
        run = machine.run("setup.sh")
        self.assertEqual((run.returncode, self.reasons(run)), (0, []), run.stderr)
        [line] = [line for line in run.stdout.splitlines() if line.startswith("setup: installing")]
        announced = line.split()[2:]
        [install] = [c.split() for c in machine.calls("apt-get") if " install " in c]
        self.assertEqual(install[install.index("-qq") + 1:], announced)
        self.assertIn("wine32:i386", announced)
        self.assertIn("setup: adding the i386 architecture to dpkg, for 32-bit Wine", run.stdout)
        self.assertIn("dpkg --add-architecture i386", machine.calls("dpkg"))

    def test_not_root_and_no_sudo_says_so_before_anything_changes(self):
        machine = self.machine(runner="native", uid=1000, sudo=False)
        run = machine.run("setup.sh")
        self.assert_failed(machine, run, r"^setup: Installing .* needs root, and there is no "
                           r"sudo here: run it as root$", downloaded=False)
        self.assertEqual(machine.calls("dpkg"), [])


if __name__ == "__main__":
    unittest.main()
