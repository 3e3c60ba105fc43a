"""Where the setup's real-apt cases run: a throwaway Debian 12 root on a kernel that, for it alone,
cannot run 32-bit code, in namespaces whose end the kernel cleans up after.

A run of them (python3 -m tests.setup, as root) starts one process, "the inside", as the
first process of a PID namespace of its own, in a mount namespace of its own, with a tmpfs on
/tmp: the root (made there with mmdebstrap), the work folders and every mount live there. When
that process ends, however it ends, the kernel ends every process in the namespace and takes
its mounts and files with it; and it ends when the run does, killed outright too
(PR_SET_PDEATHSIG). So a stop or a kill leaves no process, mount or root behind.

Where the kernel lets a user namespace have a binfmt_misc of its own (Linux 6.7 and later),
the setup runs inside one more, a user and mount namespace made for the root: what is
registered there serves only its processes. A stand-in for a kernel without 32-bit code is
registered there first: a handler for i386 programs whose interpreter is no executable, so
that every i386 program ends with "Exec format error"; the setup's, registered later, is tried
first. The machine's own binfmt_misc serves only where the person asks for it
(SETUP_TESTS_SHARED_BINFMT=yes), the one place that the kernel does not clean up: a run
holds LOCK while its registrations are there, and a run that finds them there with no live
lock on it takes them away, saying so. Where neither way can be had, Unavailable says why,
before anything is made.
"""
import contextlib
import ctypes
import errno
import fcntl
import os
import select
import signal
import subprocess
import tempfile
import time

from .machine import read_names

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))

NAMES = read_names()  # where the setup looks and what it leaves (setup/names.txt)
REGISTRATION, BINFMT, SOURCES = NAMES["REGISTRATION"], NAMES["BINFMT"], NAMES["SOURCES"]
I386_MAGIC, I386_MASK = NAMES["MAGIC"], NAMES["MASK"]
# The registrations that only these tests make.
STAND_IN = "consoletools-test-no-i386"
PROBE_REGISTRATION = "consoletools-test-runner"
TEST_REGISTRATIONS = (STAND_IN, PROBE_REGISTRATION)
LOCK = "/run/lock/consoletools-setup-tests.lock"
SHARED = os.environ.get("SETUP_TESTS_SHARED_BINFMT") == "yes"
# A root made by another run of these tests, to copy instead of making one (the stop tests).
SEED = os.environ.get("SETUP_TESTS_ROOT_SEED")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
CLONE_NEWUSER, CLONE_NEWNS = 0x10000000, 0x00020000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
PR_SET_PDEATHSIG = 1
TIMEOUT = 600
STEP_BOUND = 10  # seconds for a step that takes milliseconds: making a namespace


class Unavailable(Exception):
    """The real-apt cases cannot run here without harm to the machine; says why."""


class Stopped(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP: the run ends. A KeyboardInterrupt, so that unittest passes it
    on instead of counting it as one test's error."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _stop(signum, frame):
    raise Stopped(signum)


def on_stop():
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _stop)


@contextlib.contextmanager
def signals_held():
    """Lets a cleanup finish: a second signal waits until it has."""
    kinds = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    signal.pthread_sigmask(signal.SIG_BLOCK, kinds)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, kinds)


def die_with_parent():
    """For a child: the kernel kills it when the process that started it ends."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def run(argv, input=None, capture_output=False, timeout=TIMEOUT, check=False, **options):
    """subprocess.run, but the child leads a process group of its own, and the whole group is
    killed where the call ends early, by its timeout or a stop."""
    if capture_output:
        options["stdout"] = options["stderr"] = subprocess.PIPE
    if input is not None:
        options["stdin"] = subprocess.PIPE
    with subprocess.Popen(argv, start_new_session=True, **options) as process:
        try:
            stdout, stderr = process.communicate(input, timeout=timeout)
        except BaseException:
            end_group(process)
            raise
    done = subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)
    if check:
        done.check_returncode()
    return done


def end_group(process):
    with contextlib.suppress(OSError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


def children(pid):
    """The processes that pid started and that still run (or wait to be reaped)."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(child) for child in f.read().split()]
    except OSError:
        return []


def end_inside(process):
    """Ends the inside (unshare, whose child is the first process of the namespaces): that
    child first, whose end the kernel holds back until every other process in its namespace
    has ended; then unshare, which waits for it. So when this returns, nothing of it is left."""
    for pid in children(process.pid):
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    try:
        process.wait(timeout=STEP_BOUND)
    except subprocess.TimeoutExpired:
        pass
    end_group(process)


def _read_within(fd, seconds, whole=True):
    """What the other end writes within seconds: all of it until it closes (b"" where it wrote
    nothing), or with whole False the first that it writes."""
    data, deadline = b"", time.monotonic() + seconds
    while True:
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            raise Unavailable("making a user namespace took more than %d s" % seconds)
        part = os.read(fd, 256)
        if not part or not whole:
            return data + part
        data += part


# What unshare's errors mean for whoever reads the reason.
NAMESPACE_REFUSED = {
    errno.EPERM: "as in a chroot, or under a seccomp profile that forbids them",
    errno.ENOSPC: "user.max_user_namespaces is 0, or its limit is reached",
    errno.EINVAL: "this kernel has no user namespaces",
}


def namespace_holder():
    """Starts a process in a new user and mount namespace, with this machine's first 65,536
    users and groups mapped to themselves (apt's sandbox user and nobody among them), that
    ends with this one; returns its pid. Each step ends within STEP_BOUND seconds, or raises
    Unavailable with the reason."""
    libc = ctypes.CDLL(None, use_errno=True)
    said, told = os.pipe(), os.pipe()  # the child's words; the parent's go-ahead
    pid = os.fork()
    if pid == 0:
        try:
            os.close(said[0])
            os.close(told[1])
            die_with_parent()

            def fail(step):
                code = ctypes.get_errno()
                why = os.strerror(code)
                if step == "unshare" and code in NAMESPACE_REFUSED:
                    why += ", " + NAMESPACE_REFUSED[code]
                os.write(said[1], ("%s: %s" % (step, why)).encode())
                os._exit(1)

            if libc.unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0:
                fail("unshare")
            os.write(said[1], b"+")  # unshared: no word of a failure starts so
            if os.read(told[0], 1) != b"m":
                os._exit(1)
            if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
                fail("mount")
            null = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            # The write end closes on exec: the parent's read then ends with nothing more.
            os.execvp("sleep", ["sleep", "infinity"])
        finally:
            os._exit(1)
    os.close(said[1])
    os.close(told[0])
    try:
        first = _read_within(said[0], STEP_BOUND, whole=False)
        if first[:1] != b"+":
            raise Unavailable("no user namespace can be made here (%s)" % (
                first.decode() or "the process that was to make one ended"))
        for map_name in ("uid_map", "gid_map"):
            with open("/proc/%d/%s" % (pid, map_name), "w") as f:
                f.write("0 0 65536\n")
        os.write(told[1], b"m")
        rest = first[1:] + _read_within(said[0], STEP_BOUND)
        if rest:
            raise Unavailable("no user namespace can be made here (%s)" % rest.decode())
    except BaseException:
        end(pid)
        raise
    finally:
        os.close(said[0])
        os.close(told[1])
    return pid


def end(pid):
    with contextlib.suppress(OSError):
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


def nsenter(holder, argv, cwd="/"):
    return ["nsenter", "-t", str(holder), "-U", "-m", "-w" + cwd, "--"] + argv


def mount_binfmt(place, holder=None):
    """Mounts binfmt_misc at place, in the holder's namespace or else this one; the reason
    where it cannot be mounted, else None."""
    argv = ["mount", "-t", "binfmt_misc", "binfmt_misc", place]
    done = run(nsenter(holder, argv) if holder else argv, capture_output=True, text=True,
               timeout=STEP_BOUND)
    return done.stderr.strip() or "status %d" % done.returncode if done.returncode else None


def skipped(why, how):
    """Why the real-apt cases do not run here, what that leaves unchecked, and how to have it
    checked: the words of each skip."""
    return ("%s. Not checked: the setup on real apt in a throwaway Debian root, and the "
            "emulator path from its start. To check them: %s." % (why, how))


# How a person asks for the older kernels' way, and what it costs the machine.
ASK_SHARED = ("SETUP_TESTS_SHARED_BINFMT=yes python3 -m tests.setup, which uses this machine's "
              "own binfmt_misc: while they run, no 32-bit program on this machine runs as before")


def choose_way():
    """'private' (a namespace with a binfmt_misc of its own) or 'shared' (the machine's, where
    asked), found out in milliseconds, before anything is made; else Unavailable, saying what
    is not checked and how to have it checked."""
    if SHARED:
        found = machine_registrations()
        if found is None:
            raise Unavailable(skipped(
                "SETUP_TESTS_SHARED_BINFMT=yes, and binfmt_misc cannot be mounted here",
                "run them as root on a machine that has binfmt_misc"))
        if REGISTRATION in found and STAND_IN not in found:
            raise Unavailable(skipped(
                "SETUP_TESTS_SHARED_BINFMT=yes, and this machine's own %s, which its 32-bit "
                "programs may run through, would be taken away" % REGISTRATION,
                "run them without SETUP_TESTS_SHARED_BINFMT on Linux 6.7 or later, in a "
                "namespace of their own"))
        return "shared"
    try:
        holder = namespace_holder()
    except Unavailable as why:
        raise Unavailable(skipped(str(why), "python3 -m tests.setup as root where user "
                                            "namespaces are allowed, or " + ASK_SHARED))
    try:
        # /tmp as the place: in the holder's own mount namespace, it hides nothing of the
        # machine's, and goes with the namespace.
        if mount_binfmt("/tmp", holder):
            raise Unavailable(skipped(
                "this kernel gives no user namespace a binfmt_misc of its own (Linux 6.7 "
                "and later do), and these tests do not touch the machine's own unasked",
                ASK_SHARED))
    finally:
        end(holder)
    return "private"


# The machine's own binfmt_misc, reached in a mount namespace of its own, where it is mounted
# for the while if it is not mounted already: the tests' registrations on it, listed or taken
# away (and the setup's with them where the stand-in is there, since a run on the machine's
# binfmt_misc starts only where the setup's is not).
_ON_MACHINE = """
mountpoint -q "$1" || mount -t binfmt_misc binfmt_misc "$1" || exit 3
cd "$1" || exit 3
if [ "$2" = take ]; then
  names="$3 $4"
  [ ! -e "$3" ] || names="$names $5"
  for name in $names; do
    if [ -e "$name" ]; then echo -1 >"$name" && echo "$name"; fi
  done
else
  ls
fi
"""


def _on_machine(action):
    done = run(["unshare", "--mount", "--propagation", "private", "sh", "-c", _ON_MACHINE, "-",
                BINFMT, action, STAND_IN, PROBE_REGISTRATION, REGISTRATION],
               capture_output=True, text=True, timeout=STEP_BOUND)
    return None if done.returncode else sorted(set(done.stdout.split()) - {"register", "status"})


def machine_registrations():
    """The registrations on this machine's binfmt_misc; None where it cannot be reached."""
    return _on_machine("list")


def take_back():
    """Takes the tests' registrations off this machine's binfmt_misc; returns their names."""
    return _on_machine("take") or []


@contextlib.contextmanager
def holding_lock():
    """LOCK, held while a run's registrations are on the machine's binfmt_misc (the kernel lets
    it go when the run ends, however it ends). Unavailable where another run holds it."""
    os.makedirs(os.path.dirname(LOCK), exist_ok=True)
    with open(LOCK, "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise Unavailable("another run of these tests uses this machine's binfmt_misc")
        yield


def sweep():
    """What a run killed outright left on the machine's binfmt_misc, where no live run holds
    LOCK: taken away, and said in words (None where there was nothing)."""
    try:
        with holding_lock():
            found = machine_registrations() or []
            if not set(TEST_REGISTRATIONS) & set(found):
                return None
            return ("the registrations %s on this machine's binfmt_misc"
                    % ", ".join(take_back()))
    except Unavailable:
        return None


def mirror():
    """The Debian mirror this machine's apt sources name (the setup's own choice)."""
    done = run(["bash", "-c", '. setup/packages.sh && find_mirror && echo "$mirror_site"'],
               cwd=TREE, capture_output=True, text=True, timeout=300)
    return done.stdout.strip()


def make_root(folder):
    """A Debian 12 root with python3 at folder, with this work tree at /src and /proc, /sys
    and /dev: a copy of SEED where that is set, else made with mmdebstrap."""
    if SEED:
        os.makedirs(folder)
        run(["sh", "-c", 'tar -C "$0" --one-file-system -cf - . | tar -C "$1" -xpf -', SEED,
             folder], check=True)
    else:
        site = mirror()
        if not site:
            raise OSError("no Debian mirror found in this machine's apt sources")
        made = run(["mmdebstrap", "--quiet", "--variant=minbase", "--include=python3",
                    "bookworm", folder, site], capture_output=True, text=True)
        if made.returncode:
            raise OSError("mmdebstrap could not make a Debian 12 root: %s"
                          % made.stderr.strip()[-1000:])
    run(["cp", "/etc/resolv.conf", "/etc/hosts", os.path.join(folder, "etc")], check=True)
    os.makedirs(os.path.join(folder, "src"), exist_ok=True)
    run(["mount", "--bind", TREE, os.path.join(folder, "src")], check=True)
    run(["mount", "-t", "proc", "proc", os.path.join(folder, "proc")], check=True)
    for name in ("sys", "dev"):
        run(["mount", "--rbind", "/" + name, os.path.join(folder, name)], check=True)


_root = []


def root():
    """This inside's one root, made on first use in its tmpfs."""
    if not _root:
        folder = os.path.join(tempfile.gettempdir(), "root")
        make_root(folder)
        _root.append(folder)
    return _root[0]


class Sandbox:
    """The root, with a binfmt_misc that has the stand-in registered: in a user and mount
    namespace of the root's own ("private"), or the machine's ("shared"). Made inside."""

    def __init__(self, way):
        self.way = way
        self.work = tempfile.mkdtemp(prefix="sandbox.")
        self.holder = None
        self.lock = contextlib.ExitStack()
        self.root = root()
        with open(self.file("/etc/apt/sources.list")) as f:
            self.sources = f.read()
        stand_in = os.path.join(self.work, "no-executable")
        with open(stand_in, "wb") as f:
            f.write(bytes(8))
        os.chmod(stand_in, 0o755)
        self.control = os.path.join(self.work, "binfmt_misc")
        os.mkdir(self.control)
        if way == "private":
            self.holder = namespace_holder()
        else:
            self.lock.enter_context(holding_lock())
        why = mount_binfmt(self.control, self.holder)
        if why:
            raise OSError("binfmt_misc could not be mounted at %s: %s" % (self.control, why))
        self.register(STAND_IN, stand_in)

    @property
    def private(self):
        """Whether the runs have a binfmt_misc of their own, in a namespace of the root's."""
        return self.holder is not None

    def file(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def _argv(self, argv, cwd=None):
        return nsenter(self.holder, argv, cwd or os.getcwd()) if self.private else list(argv)

    def inside(self, argv, **options):
        """Runs argv on this machine's file system, in the root's namespace; what it writes
        is captured unless options say where it goes."""
        if "stdout" not in options and "stderr" not in options:
            options["capture_output"] = True
        return run(self._argv(argv, options.get("cwd")), text=True, **options)

    def chroot(self, argv, env=None, **options):
        """Runs argv in the root, from /src, with a clean environment and env."""
        variables = dict(dict(PATH=PATH, HOME="/root", LANG="C.UTF-8", TERM="dumb"), **(env or {}))
        return run(self._argv(["chroot", self.root, "env", "-i"] +
                              ["%s=%s" % item for item in variables.items()] +
                              ["sh", "-c", 'cd /src && exec "$@"', "-"] + argv),
                   capture_output=True, text=True, **options)

    def write(self, path, text):
        """Writes text into a file that only the namespace may write (binfmt_misc's)."""
        return self.inside(["tee", path], input=text, stdout=subprocess.DEVNULL).returncode == 0

    def register(self, name, interpreter, flags="F"):
        line = ":%s:M::%s:%s:%s:%s" % (name, I386_MAGIC, I386_MASK, interpreter, flags)
        if not self.write(os.path.join(self.control, "register"), line):
            raise OSError("binfmt_misc refused %s" % name)

    def registrations(self):
        found = self.inside(["ls", self.control]).stdout.split()
        return sorted(set(found) - {"register", "status"})

    def registration(self, name):
        """What binfmt_misc says of one registration: its lines (interpreter, flags, ...)."""
        return self.inside(["cat", os.path.join(self.control, name)]).stdout

    def unregister(self, name):
        if name in self.registrations():
            self.write(os.path.join(self.control, name), "-1")

    def reset(self):
        """Back to the root as it was made, on a kernel that cannot run 32-bit code: no
        qemu-user, no backports, the sources it came with, apt's cache empty, fresh lists,
        binfmt_misc mounted at its place in the root, with the stand-in alone."""
        for path in ("/etc/apt/apt.conf.d/99consoletools-test-proxy", SOURCES):
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.file(path))
        with open(self.file("/etc/apt/sources.list"), "w") as f:
            f.write(self.sources)
        self.chroot(["sh", "-c", "dpkg -s qemu-user >/dev/null 2>&1 && apt-get purge -y -qq "
                     "qemu-user >/dev/null; apt-get clean; apt-get update -qq"], check=True)
        self.unregister(REGISTRATION)
        place = self.file(BINFMT)
        if self.inside(["mountpoint", "-q", place]).returncode:
            self.inside(["mount", "-t", "binfmt_misc", "binfmt_misc", place], check=True)

    def apt_is_clean(self, case):
        """apt-get update in the root succeeds, without a warning or an error."""
        update = self.chroot(["apt-get", "update"])
        case.assertEqual(update.returncode, 0, update.stdout + update.stderr)
        case.assertNotRegex(update.stdout + update.stderr, r"(?m)^(W|E|Err):")

    def close(self):
        """Takes the registrations off the machine's binfmt_misc where they were there, and
        ends the namespace; the rest goes with the inside's."""
        if not self.private:
            take_back()
        else:
            end(self.holder)
        self.lock.close()
