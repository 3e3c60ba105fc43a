"""A throwaway Debian 12 root on a kernel that, for it alone, cannot run 32-bit code: the place
where the setup's tests run the setup on real apt, never against this machine's own sources.

The root comes from setup/debroot.sh. Where the kernel lets a user namespace have a
binfmt_misc of its own (Linux 6.7 and later), every run happens inside one user and mount
namespace, made for the root: what is registered there serves only the processes inside,
and ends with them. A stand-in for a kernel without 32-bit code is registered there first:
a handler for i386 programs whose interpreter is no executable, so that every i386 program
ends with "Exec format error"; a handler registered later, as the setup's, is tried first.
The machine's own binfmt_misc serves only where the person asks for it
(SETUP_TESTS_SHARED_BINFMT=yes): for as long as the tests run, 32-bit programs on the whole
machine then meet the stand-in too. Where neither can be had, Unavailable says why, before
anything is made. Needs root.

What a run makes carries its owner, the run's process as PID.START (its start time in
/proc/PID/stat): the root's mark (debroot.sh's), the work folder's owner file, the
namespace holder's name. sweep() removes what belongs to a run: its own, when it ends or is
stopped (SIGINT, SIGTERM, SIGHUP: Stopped), and what a run killed outright left, when the
next one starts.
"""
import contextlib
import ctypes
import errno
import glob
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

import wineenv

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))
DEBROOT = os.path.join(TREE, "setup", "debroot.sh")


def _setup_names():
    """What the setup leaves on a machine, and where (setup/names.txt, which it reads too)."""
    with open(os.path.join(TREE, "setup", "names.txt")) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f
                    if line[:1].isalpha() and "=" in line)


NAMES = _setup_names()
REGISTRATION, BINFMT, SOURCES = NAMES["REGISTRATION"], NAMES["BINFMT"], NAMES["SOURCES"]
I386_MAGIC, I386_MASK = NAMES["MAGIC"], NAMES["MASK"]
# The names that only these tests use: the registrations they make, the roots (debroot.sh
# names them consoletools-NAME.*), the work folders and the namespace holders.
STAND_IN = "consoletools-test-no-i386"
PROBE_REGISTRATION = "consoletools-test-runner"
TEST_REGISTRATIONS = (STAND_IN, PROBE_REGISTRATION)
ROOTS = "consoletools-setup-test."
WORK = "consoletools-setup-test-work."
HOLDER = "consoletools-setup-test-holder:"
DEBROOT_MARK = ".consoletools-debroot"
SHARED = os.environ.get("SETUP_TESTS_SHARED_BINFMT") == "yes"
# A root made by an earlier run of these tests, to copy instead of running debootstrap.
SEED = os.environ.get("SETUP_TESTS_ROOT_SEED")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
CLONE_NEWUSER, CLONE_NEWNS = 0x10000000, 0x00020000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
TIMEOUT = 600
STEP_BOUND = 10  # seconds for a step that takes milliseconds: making a namespace


class Unavailable(Exception):
    """The setup's tests cannot run here without harm to the machine; says why."""


class Stopped(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP: the run ends, and removes what it made. A KeyboardInterrupt,
    so that unittest passes it on instead of counting it as one test's error."""

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


def token(pid):
    """PID.START: a process, told apart from any later one with the same PID."""
    with open("/proc/%d/stat" % pid) as f:
        stat = f.read()
    return "%d.%s" % (pid, stat[stat.rindex(")") + 2:].split()[19])


def alive(owner):
    try:
        return token(int(owner.split(".")[0])) == owner
    except (OSError, ValueError):
        return False


MINE = token(os.getpid())


def run(argv, input=None, capture_output=False, timeout=TIMEOUT, check=False, **options):
    """subprocess.run, but the child leads a process group of its own, and the whole group is
    killed where the call ends early, by its timeout or a stop: nothing it started lives on."""
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
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass
    process.wait()


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


def _namespace_holder(name=""):
    """Starts a process in a new user and mount namespace, with this machine's first 65,536
    users and groups mapped to themselves (apt's sandbox user and nobody among them); returns
    its pid. Processes entered into it see the mounts made in it. Each step ends within
    STEP_BOUND seconds, or raises Unavailable with the reason."""
    libc = ctypes.CDLL(None, use_errno=True)
    said, told = os.pipe(), os.pipe()  # the child's words; the parent's go-ahead
    pid = os.fork()
    if pid == 0:
        try:
            os.close(said[0])
            os.close(told[1])

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
            os.execvp("sleep", [HOLDER + MINE + name, "infinity"])
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
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise
    finally:
        os.close(said[0])
        os.close(told[1])
    return pid


def _end(pid):
    try:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    except ChildProcessError:
        pass  # another run's: its parent, or init, reaps it
    except ProcessLookupError:
        pass


def _nsenter(holder, argv, cwd="/"):
    return ["nsenter", "-t", str(holder), "-U", "-m", "-w" + cwd, "--"] + argv


def _mount_binfmt(place, holder=None):
    argv = ["mount", "-t", "binfmt_misc", "binfmt_misc", place]
    return run(_nsenter(holder, argv) if holder else argv, capture_output=True,
               timeout=STEP_BOUND).returncode == 0


def skipped(why, how):
    """Why the tests do not run here, what that leaves unchecked, and how to have it checked:
    the words of each skip."""
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
        with machine_binfmt() as control:
            if control is None:
                raise Unavailable(skipped(
                    "SETUP_TESTS_SHARED_BINFMT=yes, and binfmt_misc cannot be mounted here",
                    "run them as root on a machine that has binfmt_misc"))
            if REGISTRATION in os.listdir(control):
                raise Unavailable(skipped(
                    "SETUP_TESTS_SHARED_BINFMT=yes, and this machine's own %s, which its 32-bit "
                    "programs may run through, would be taken away" % REGISTRATION,
                    "run them without SETUP_TESTS_SHARED_BINFMT on Linux 6.7 or later, in a "
                    "namespace of their own"))
        return "shared"
    try:
        holder = _namespace_holder(":probe")
    except Unavailable as why:
        raise Unavailable(skipped(str(why), "python3 -m tests.setup as root where user "
                                            "namespaces are allowed, or " + ASK_SHARED))
    try:
        with _binfmt_for_a_while(holder) as place:
            if place is None:
                raise Unavailable(skipped(
                    "this kernel gives no user namespace a binfmt_misc of its own (Linux 6.7 "
                    "and later do), and these tests do not touch the machine's own unasked",
                    ASK_SHARED))
    finally:
        _end(holder)
    return "private"


@contextlib.contextmanager
def machine_binfmt():
    """The folder of this machine's own binfmt_misc: where it is mounted already, else a
    mount of it for the while; None where it cannot be mounted."""
    for place, kind in _mounts():
        if kind == "binfmt_misc" and os.path.exists(os.path.join(place, "register")):
            yield place
            return
    with _binfmt_for_a_while() as place:
        yield place


@contextlib.contextmanager
def _binfmt_for_a_while(holder=None):
    """A binfmt_misc mounted at a new place in the work folder, in the holder's namespace or
    else this one, and taken away again: its folder, or None where it cannot be mounted."""
    place = tempfile.mkdtemp(prefix="probe.", dir=work_folder())
    try:
        yield place if _mount_binfmt(place, holder) else None
    finally:
        umount = ["umount", place]
        run(_nsenter(holder, umount) if holder else umount, capture_output=True,
            timeout=STEP_BOUND)
        os.rmdir(place)


def _bases():
    """Where roots and work folders are made (debroot.sh's temporary folder), and where an
    earlier run may have made them."""
    found = []
    for base in (os.environ.get("TMPDIR") or "/var/tmp", "/var/tmp", tempfile.gettempdir()):
        if os.path.isdir(base) and os.path.realpath(base) not in found:
            found.append(os.path.realpath(base))
    return found


_work = None


def work_folder():
    """This run's work folder, with its owner file: the stand-in, the binfmt_misc mounts, the
    covers, the emulator check's prefix."""
    global _work
    if _work is None:
        _work = tempfile.mkdtemp(prefix=WORK, dir=_bases()[0])
        with open(os.path.join(_work, "owner"), "w") as f:
            f.write(MINE + "\n")
    return _work


def _debroot(*args):
    done = run(["bash", DEBROOT] + list(args), cwd=TREE, stdout=subprocess.PIPE,
               stderr=subprocess.PIPE, text=True, env=dict(os.environ, DEBROOT_OWNER=MINE))
    if done.returncode:
        raise OSError("debroot.sh %s failed: %s" % (args[0], done.stderr.strip()))
    return done.stdout.strip().splitlines()[-1]


_seed = None


def seed():
    """A Debian 12 root with python3 and a German locale, made once a run (or taken from
    SETUP_TESTS_ROOT_SEED), that each sandbox copies."""
    global _seed
    if _seed is None:
        if SEED:
            _seed = SEED
        else:
            made = _debroot("make", "bookworm", "python3,locales")
            run(["chroot", made, "sh", "-c",
                 "echo 'de_DE.UTF-8 UTF-8' >/etc/locale.gen && locale-gen >/dev/null"],
                check=True)
            _seed = made
    return _seed


def _mark_owner(root):
    try:
        with open(os.path.join(root, DEBROOT_MARK)) as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    except OSError:
        return None
    return fields.get("owner") if fields.get("path") == root else None


def _holders():
    """The namespace holders on this machine: pid, owner."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                name = f.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if name.startswith(HOLDER):
            yield int(pid), name[len(HOLDER):].split(":")[0]


def processes_in(namespaces):
    """The processes in these user namespaces (the names /proc/PID/ns/user links to)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/ns/user" % pid) in namespaces:
                found.append(int(pid))
        except OSError:
            pass
    return found


def in_namespace(holder):
    """The processes in the user namespace of the holder, the holder among them."""
    try:
        return processes_in({os.readlink("/proc/%d/ns/user" % holder)})
    except OSError:
        return []


def leftovers(owned):
    """What runs whose owner passes owned() made and left: holders, roots, work folders."""
    found = {"holders": [pid for pid, owner in _holders() if owned(owner)],
             "roots": [], "work": [], "empty": []}
    for base in _bases():
        for path in sorted(glob.glob(os.path.join(base, ROOTS + "*"))):
            owner = _mark_owner(path)
            if owner is not None and owned(owner):
                found["roots"].append(path)
            elif owner is None and os.path.isdir(path) and not os.listdir(path):
                found["empty"].append(path)  # made, and stopped before it was marked
        for path in sorted(glob.glob(os.path.join(base, WORK + "*"))):
            try:
                with open(os.path.join(path, "owner")) as f:
                    owner = f.read().strip()
            except OSError:
                owner = ""  # made, and stopped before it could say by whom
            if owned(owner):
                found["work"].append(path)
    return found


def _mounts():
    """This mount namespace's mounts: (place, kind)."""
    with open("/proc/mounts") as f:
        return [tuple(line.split()[1:3]) for line in f]


def _mounts_below(folder):
    return [place for place, _ in _mounts() if place.startswith(folder.rstrip("/") + "/")]


def end_namespace(holder):
    """Ends every process in the holder's namespace, then the holder; returns how many there
    were besides it."""
    most = 0
    for _ in range(40):
        left = in_namespace(holder)
        if not left:
            break
        most = max(most, len(left) - 1)
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        time.sleep(0.25)
    _end(holder)
    return most


def _take_back(control):
    """Takes the tests' registrations away from a binfmt_misc, and the setup's with them where
    the stand-in is there: a run of these tests on the machine's binfmt_misc starts only where
    the setup's is not, so with the stand-in it is theirs. Returns their names."""
    names = [n for n in TEST_REGISTRATIONS if os.path.exists(os.path.join(control, n))]
    if STAND_IN in names and os.path.exists(os.path.join(control, REGISTRATION)):
        names.insert(0, REGISTRATION)
    for name in names:
        try:
            with open(os.path.join(control, name), "w") as f:
                f.write("-1")
        except OSError:
            pass
    return names


def sweep(owned):
    """Removes what runs whose owner passes owned() made: the registrations on the machine's
    binfmt_misc first, so that 32-bit code runs as before at once; then the namespaces and
    their processes, the roots, the work folders. Returns what it removed, in words."""
    found, said, names = leftovers(owned), [], []
    for work in found["work"]:
        for mount in sorted(_mounts_below(work), reverse=True):
            if os.path.exists(os.path.join(mount, "register")):
                names += _take_back(mount)
            run(["umount", "-l", mount], capture_output=True, timeout=STEP_BOUND)
    if not any(_mounts_below(work) for work in leftovers(alive)["work"]):
        # No live run uses the machine's binfmt_misc: a stand-in there is left behind.
        with machine_binfmt() as control:
            if control:
                names += _take_back(control)
    if names:
        said.append("the registrations %s on this machine's binfmt_misc"
                    % ", ".join(sorted(set(names))))
    for holder in found["holders"]:
        processes = end_namespace(holder)
        said.append("a namespace with %d process%s in it"
                    % (processes, "" if processes == 1 else "es"))
    for root in found["roots"]:
        removed = run(["bash", DEBROOT, "remove", root], cwd=TREE, capture_output=True)
        said.append(("the root %s" if removed.returncode == 0 else
                     "not the root %s, whose mounts stay") % root)
    for work in found["work"]:
        shutil.rmtree(work, ignore_errors=True)
        said.append("the work folder %s" % work)
    for empty in found["empty"]:
        with contextlib.suppress(OSError):
            os.rmdir(empty)
    if owned(MINE) and _work and _work not in found["work"]:
        shutil.rmtree(_work, ignore_errors=True)  # made just now, to mount binfmt_misc
    return said


_way = []


def way():
    """How this run's sandboxes reach a binfmt_misc ("private" or "shared"), found out once:
    first what an earlier run, killed outright, left is removed, saying so in one line; then
    choose_way(). Raises Unavailable. Also notes what ran 32-bit code here before (before)."""
    if not _way:
        said = sweep(lambda owner: not alive(owner))
        if said:
            print("setup tests: removed what an earlier run, killed outright, left: %s"
                  % "; ".join(said), flush=True)
        chosen = choose_way()
        if chosen == "shared":
            print("setup tests: SETUP_TESTS_SHARED_BINFMT=yes: they use this machine's own "
                  "binfmt_misc. From the stand-in's registration until they end (about 7 "
                  "minutes), every 32-bit program on this machine ends with \"Exec format "
                  "error\", or runs through the emulator they install in their root. A stop "
                  "(SIGINT, SIGTERM) ends that within seconds; after a run killed outright, it "
                  "lasts until these tests run again.", flush=True)
        _before.append(wineenv.runner())
        _way.append(chosen)
    return _way[0]


_before = []


def runner_before():
    """What ran 32-bit code on this machine when the run began (way() notes it)."""
    return _before[0] if _before else None


# Other runs of these tests that this one started (the tests of stops): ended with it.
children = []


def end_children():
    """Asks each run this one started to stop, as a person would (SIGTERM), gives it the
    seconds its cleanup takes, then ends it and removes what it left."""
    for child in children:
        if child.poll() is None:
            with contextlib.suppress(OSError):
                child.send_signal(signal.SIGTERM)
            try:
                child.wait(timeout=60)
            except subprocess.TimeoutExpired:
                end_group(child)
    children.clear()


class Sandbox:
    def __init__(self, way):
        self.way = way
        self.work = tempfile.mkdtemp(prefix="sandbox.", dir=work_folder())
        self.holder = None
        self.covered = []
        self.root = None
        try:
            self.root = _debroot("copy", seed())
            self._enter()
            with open(self.file("/etc/apt/sources.list")) as f:
                self.sources = f.read()
        except BaseException:
            self.close()
            raise

    def _enter(self):
        """The root's own namespace, or the machine's binfmt_misc where that was asked."""
        stand_in = os.path.join(self.work, "no-executable")
        with open(stand_in, "wb") as f:
            f.write(bytes(8))
        os.chmod(stand_in, 0o755)
        self.control = os.path.join(self.work, "binfmt_misc")
        os.mkdir(self.control)
        if self.way == "private":
            self.holder = _namespace_holder()
        if not _mount_binfmt(self.control, self.holder):
            raise OSError("binfmt_misc could not be mounted at %s" % self.control)
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
        return _nsenter(self.holder, argv, cwd or os.getcwd())

    def inside(self, argv, **options):
        """Runs argv on this machine's file system, in the root's namespace; what it writes
        is captured unless options say where it goes."""
        if "stdout" not in options and "stderr" not in options:
            options["capture_output"] = True
        return run(self._argv(argv, options.get("cwd")), text=True, **options)

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
        return run(self.chroot_argv(["sh", "-c", 'cd /src && exec "$@"', "-"] + argv, **where),
                   capture_output=True, text=True, **options)

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

    def registration(self, name):
        """What binfmt_misc says of one registration: its lines (interpreter, flags, ...)."""
        return self.inside(["cat", os.path.join(self.control, name)]).stdout

    def unregister(self, name):
        if name in self.registrations():
            self.write(os.path.join(self.control, name), "-1")

    def binfmt_in_root(self, mounted=None):
        """Mounts binfmt_misc at its place in the root, or takes it away from there; says
        whether it is mounted there (with mounted None, only says)."""
        place = self.file(BINFMT)
        now = self.inside(["mountpoint", "-q", place]).returncode == 0
        if mounted and not now:
            self.inside(["mount", "-t", "binfmt_misc", "binfmt_misc", place])
        elif now and mounted is False:
            self.inside(["umount", place])
        return now if mounted is None else mounted

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

    def close(self):
        """Takes the registrations away where they were the machine's, ends the namespace and
        every process left in it, and removes the root; also what a stop left half made."""
        control = getattr(self, "control", None)
        if not self.private and control and os.path.ismount(control):
            _take_back(control)
        for mount in sorted(_mounts_below(self.work), reverse=True):
            run(["umount", "-l", mount], capture_output=True, timeout=STEP_BOUND)
        if self.holder:
            end_namespace(self.holder)
            self.holder = None
        if self.root:
            run(["bash", DEBROOT, "remove", self.root], cwd=TREE)
            self.root = None
        shutil.rmtree(self.work, ignore_errors=True)
