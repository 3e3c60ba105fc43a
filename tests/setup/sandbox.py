"""A throwaway Debian 12 root on a kernel that, for it alone, cannot run 32-bit code: the place
where the setup's tests run the setup on real apt, never against this machine's own sources.

The root comes from setup/debroot.sh. Where the kernel lets a user namespace have a
binfmt_misc of its own (Linux 6.7 and later), every run happens inside one user and mount
namespace, made for the root: what is registered there serves only the processes inside,
and ends with them. A stand-in for a kernel without 32-bit code is registered there first:
a handler for i386 programs whose interpreter is no executable, so that every i386 program
ends with "Exec format error"; a handler registered later, as the setup's, is tried first.
Elsewhere the machine's own binfmt_misc serves, and the stand-in and the setup's registration
are taken away again whatever happens. Needs root.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))


def _setup_names():
    """What the setup leaves on a machine, and where (setup/names.txt, which it reads too)."""
    with open(os.path.join(TREE, "setup", "names.txt")) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f
                    if line[:1].isalpha() and "=" in line)


NAMES = _setup_names()
REGISTRATION, BINFMT, SOURCES = NAMES["REGISTRATION"], NAMES["BINFMT"], NAMES["SOURCES"]
I386_MAGIC, I386_MASK = NAMES["MAGIC"], NAMES["MASK"]
STAND_IN = "consoletools-test-no-i386"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
CLONE_NEWUSER, CLONE_NEWNS = 0x10000000, 0x00020000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
TIMEOUT = 600


class Unavailable(Exception):
    """The setup's tests cannot run here without harm to the machine; says why."""


def _namespace_holder():
    """Starts a process in a new user and mount namespace, with this machine's first 65,536
    users and groups mapped to themselves (apt's sandbox user and nobody among them); returns
    its pid. Processes entered into it see the mounts made in it."""
    libc = ctypes.CDLL(None, use_errno=True)
    unshared, mapped = os.pipe(), os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            if libc.unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0:
                os.write(unshared[1], b"u")
                os.read(mapped[0], 1)
                if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) == 0:
                    null = os.open(os.devnull, os.O_RDWR)
                    for fd in (0, 1, 2):
                        os.dup2(null, fd)
                    os.execvp("sleep", ["sleep", "infinity"])
        finally:
            os._exit(1)
    if os.read(unshared[0], 1) != b"u":
        raise OSError("no user namespace could be made here")
    for name in ("uid_map", "gid_map"):
        with open("/proc/%d/%s" % (pid, name), "w") as f:
            f.write("0 0 65536\n")
    os.write(mapped[1], b"m")
    for fd in unshared + mapped:
        os.close(fd)
    return pid


class Sandbox:
    def __init__(self):
        made = subprocess.run(["bash", os.path.join(TREE, "setup", "debroot.sh"), "make",
                               "bookworm", "python3,locales"], cwd=TREE, check=True, text=True,
                              stdout=subprocess.PIPE, timeout=TIMEOUT)
        self.root = made.stdout.strip().splitlines()[-1]
        self.work = tempfile.mkdtemp(prefix="consoletools-setup-test-")
        self.holder = None
        self.covered = []
        try:
            self._enter()
            self.chroot(["sh", "-c", "echo 'de_DE.UTF-8 UTF-8' >/etc/locale.gen && locale-gen"])
            with open(self.file("/etc/apt/sources.list")) as f:
                self.sources = f.read()
        except BaseException:
            self.close()
            raise

    def _enter(self):
        """A namespace of the root's own where the kernel allows it; else the machine's."""
        stand_in = os.path.join(self.work, "no-executable")
        with open(stand_in, "wb") as f:
            f.write(bytes(8))
        os.chmod(stand_in, 0o755)
        self.control = os.path.join(self.work, "binfmt_misc")
        os.mkdir(self.control)
        self.holder = _namespace_holder()
        # SETUP_TESTS_SHARED_BINFMT=yes takes the older kernels' way on any kernel.
        if (os.environ.get("SETUP_TESTS_SHARED_BINFMT") == "yes" or self.inside(
                ["mount", "-t", "binfmt_misc", "binfmt_misc", self.control]).returncode):
            os.kill(self.holder, signal.SIGKILL)
            os.waitpid(self.holder, 0)
            self.holder = None
            mount = ["mount", "-t", "binfmt_misc", "binfmt_misc", self.control]
            if subprocess.run(mount).returncode:
                raise Unavailable("binfmt_misc cannot be mounted here")
            if os.path.exists(os.path.join(self.control, REGISTRATION)):
                subprocess.run(["umount", self.control])
                raise Unavailable(
                    "this kernel gives no user namespace a binfmt_misc of its own (Linux 6.7 "
                    "does), and the machine's own %s, which runs the 32-bit programs here, "
                    "would be taken away" % REGISTRATION)
        self.register(STAND_IN, stand_in)

    @property
    def private(self):
        """Whether the runs have a binfmt_misc of their own, in a namespace of the root's."""
        return self.holder is not None

    def file(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def _argv(self, argv, cwd=None):
        if not self.private:
            return list(argv)
        return ["nsenter", "-t", str(self.holder), "-U", "-m", "-w" + (cwd or os.getcwd()),
                "--"] + argv

    def inside(self, argv, **options):
        """Runs argv on this machine's file system, in the root's namespace; what it writes
        is captured unless options say where it goes."""
        options.setdefault("timeout", TIMEOUT)
        if "stdout" not in options and "stderr" not in options:
            options["capture_output"] = True
        return subprocess.run(self._argv(argv, options.get("cwd")), text=True, **options)

    def chroot_argv(self, argv, env=None, user=None, capabilities=None):
        variables = dict(dict(PATH=PATH, HOME="/root", LANG="C.UTF-8", TERM="dumb"), **(env or {}))
        prefix = []
        if user is not None or capabilities is not None:
            prefix = ["setpriv"]
            if user is not None:
                prefix += ["--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"]
            if capabilities is not None:
                prefix += ["--bounding-set=" + capabilities, "--inh-caps=" + capabilities]
        return self._argv(["chroot", self.root] + prefix + ["env", "-i"] +
                          ["%s=%s" % item for item in variables.items()] + argv)

    def chroot(self, argv, **options):
        """Runs argv in the root (see chroot_argv for the options), from /src."""
        where = dict((k, options.pop(k)) for k in ("env", "user", "capabilities") if k in options)
        return subprocess.run(self.chroot_argv(["sh", "-c", 'cd /src && exec "$@"', "-"] + argv,
                                               **where),
                              capture_output=True, text=True, timeout=TIMEOUT, **options)

    def write(self, path, text):
        """Writes text into a file that only the namespace may write (binfmt_misc's)."""
        done = self.inside(["tee", path], input=text, stdout=subprocess.DEVNULL)
        return done.returncode == 0

    def register(self, name, interpreter, flags="F"):
        line = ":%s:M::%s:%s:%s:%s" % (name, I386_MAGIC, I386_MASK, interpreter, flags)
        if not self.write(os.path.join(self.control, "register"), line):
            raise OSError("binfmt_misc refused %s" % name)

    def registrations(self):
        found = self.inside(["ls", self.control]).stdout.split()
        return sorted(set(found) - {"register", "status"})

    def unregister(self, name):
        if name in self.registrations():
            self.write(os.path.join(self.control, name), "-1")

    def binfmt_in_root(self, mounted):
        """Mounts binfmt_misc at its place in the root, or takes it away from there."""
        place = self.file(BINFMT)
        now = self.inside(["mountpoint", "-q", place]).returncode == 0
        if mounted and not now:
            self.inside(["mount", "-t", "binfmt_misc", "binfmt_misc", place])
        elif now and not mounted:
            self.inside(["umount", place])

    def cover(self, name, text):
        """Covers the file name of binfmt_misc in the root with a read-only one holding text:
        a stand-in for what the kernel would say or refuse there. Undone by reset."""
        cover = os.path.join(self.work, name)
        with open(cover, "w") as f:
            f.write(text)
        place = self.file(os.path.join(BINFMT, name))
        self.inside(["mount", "--bind", cover, place], check=True)
        self.inside(["mount", "-o", "remount,bind,ro", place], check=True)
        self.covered.append(place)

    def reset(self):
        """Back to a Debian 12 root as debootstrap left it, with fresh lists, and a kernel that
        cannot run 32-bit code: no qemu-user, no backports, the sources it came with, apt's
        cache empty, and binfmt_misc mounted, switched on, with the stand-in alone."""
        for path in ("/etc/apt/apt.conf.d/99consoletools-test-proxy", SOURCES):
            if os.path.exists(self.file(path)):
                os.remove(self.file(path))
        with open(self.file("/etc/apt/sources.list"), "w") as f:
            f.write(self.sources)
        for name in os.listdir(self.file("/etc/apt/sources.list.d")):
            os.remove(self.file("/etc/apt/sources.list.d/" + name))
        self.chroot(["sh", "-c", "dpkg -s qemu-user >/dev/null 2>&1 && apt-get purge -y -qq "
                     "qemu-user >/dev/null; apt-get clean; apt-get update -qq"], check=True)
        while self.covered:
            self.inside(["umount", self.covered.pop()])
        self.unregister(REGISTRATION)
        self.binfmt_in_root(True)

    def apt_is_clean(self, case):
        """apt-get update in the root succeeds, without a warning or an error."""
        update = self.chroot(["apt-get", "update"])
        case.assertEqual(update.returncode, 0, update.stdout + update.stderr)
        case.assertNotRegex(update.stdout + update.stderr, r"(?m)^(W|E|Err):")

    def processes(self):
        """The processes left in the root's namespace but its holder (those in the root
        itself, debroot.sh ends)."""
        found = []
        mine = os.readlink("/proc/%d/ns/user" % self.holder)
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if int(pid) != self.holder and os.readlink("/proc/%s/ns/user" % pid) == mine:
                    found.append(int(pid))
            except OSError:
                pass
        return found

    def close(self):
        """Ends every process left in the namespace and the namespace itself, takes the
        registrations away where they were the machine's, and removes the root."""
        if self.private:
            for _ in range(20):
                left = self.processes()
                if not left:
                    break
                for pid in left:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
                time.sleep(0.5)
            os.kill(self.holder, signal.SIGKILL)
            os.waitpid(self.holder, 0)
            self.holder = None
        elif os.path.ismount(self.control):
            for name in (REGISTRATION, STAND_IN):
                self.unregister(name)
            subprocess.run(["umount", self.control])
        subprocess.run(["bash", os.path.join(TREE, "setup", "debroot.sh"), "remove", self.root],
                       cwd=TREE, timeout=TIMEOUT)
        shutil.rmtree(self.work, ignore_errors=True)
