"""A made-up machine for the setup's decision tests: a folder whose commands (apt-cache, apt-get,
dpkg, mount, sudo, tee, python3 -m wineenv runner, ...) answer as a Debian machine would, with
apt's answers recorded from real runs (tests/data/apt, record.sh there), and whose places
(binfmt_misc, the apt sources, the emulator, the release file, apt's locks) are files in the
folder, named to the setup through SETUP_NAMES_FILE. The setup's scripts run on it as they
are, as any user, in milliseconds; every command they call is written to the folder's calls.

As a program, this file is those commands: machine.py NAME ARGS..., with FAKE_MACHINE set.
"""
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(os.path.dirname(HERE))
ANSWERS = os.path.join(TREE, "tests", "data", "apt")
FAKES = ("apt-cache", "apt-get", "dpkg", "dpkg-query", "mount", "umount", "id", "sudo", "tee",
         "python3")
# The real commands that the setup's scripts use besides those.
TOOLS = ("bash", "sh", "awk", "grep", "sed", "cat", "tr", "cut", "stat", "readlink", "basename",
         "dirname", "sleep", "rm", "env", "head", "tail", "ls", "mkdir", "chmod")
EXEC_FORMAT = "none: this kernel cannot run i386 programs (Exec format error)"


def read_names(path=os.path.join(TREE, "setup", "names.txt")):
    """Where the setup looks and what it leaves: a names.txt (the setup's own by default), as a
    dict."""
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f
                    if line[:1].isalpha() and "=" in line)


def kernel_hex(pattern):
    """A pattern of names.txt (MAGIC, MASK: \\xNN escapes) as binfmt_misc shows it: in hex."""
    return pattern.encode().decode("unicode_escape").encode("latin-1").hex()


class Machine:
    """A folder that stands in for a machine. state: what it is like (see run())."""

    def __init__(self, folder, codename="bookworm", uid=0, sudo=True, binfmt="mounted",
                 runner=EXEC_FORMAT, answers=None, backports="ok", emulator="10.0.2"):
        self.folder = folder
        self.bin = os.path.join(folder, "bin")
        os.makedirs(self.bin)
        for name in FAKES:
            if name == "sudo" and not sudo:
                continue
            with open(os.path.join(self.bin, name), "w") as f:
                f.write('#!/bin/sh\nexec %s -S %s %s "$@"\n' % (sys.executable, __file__, name))
            os.chmod(os.path.join(self.bin, name), 0o755)
        for name in TOOLS:
            os.symlink(shutil.which(name), os.path.join(self.bin, name))
        places = dict(read_names(), BINFMT=self.path("binfmt_misc"),
                      SOURCES=self.path("etc/consoletools-backports.sources"),
                      EMULATOR=self.path("usr/bin/qemu-i386"), OS_RELEASE=self.path("os-release"),
                      APT_LOCKS=" ".join(self.path(n) for n in ("lock-frontend", "lock",
                                                                 "lists-lock", "archives-lock")))
        self.names = places
        with open(self.path("names.txt"), "w") as f:
            f.writelines("%s=%s\n" % item for item in places.items())
        with open(self.path("os-release"), "w") as f:
            f.write("ID=debian\nVERSION_CODENAME=%s\n" % codename)
        for name in places["APT_LOCKS"].split():
            open(name, "w").close()
        os.makedirs(self.path("etc"))
        if binfmt != "missing":
            os.makedirs(places["BINFMT"])
        if binfmt in ("mounted", "disabled", "refusing"):
            mount_binfmt(places["BINFMT"], "disabled" if binfmt == "disabled" else "enabled")
        self.state = dict(uid=uid, binfmt=binfmt, runner=runner, answers=answers or {},
                          backports=backports, emulator=emulator, fetched=False)
        self.save()

    def path(self, name):
        return os.path.join(self.folder, name)

    def save(self):
        with open(self.path("state.json"), "w") as f:
            json.dump(self.state, f)

    def run(self, script="qemu-i386.sh", env=None, **options):
        """Runs setup/SCRIPT on the machine: returns the CompletedProcess."""
        variables = dict(PATH=self.bin, HOME=self.folder, LANG="C.UTF-8", TERM="dumb",
                         FAKE_MACHINE=self.folder, SETUP_NAMES_FILE=self.path("names.txt"))
        variables.update(env or {})
        return subprocess.run(["bash", os.path.join(TREE, "setup", script)], env=variables,
                              capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              timeout=60, **options)

    def calls(self, command=None):
        """The commands the run called, as lines; only those of one command where named."""
        try:
            with open(self.path("calls")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [line for line in lines if command is None or line.split()[0] == command]

    def registrations(self):
        folder = self.names["BINFMT"]
        found = os.listdir(folder) if os.path.isdir(folder) else []
        return sorted(set(found) - {"register", "status"})

    def registration(self, name):
        with open(os.path.join(self.names["BINFMT"], name)) as f:
            return f.read()


# The commands, as the machine answers them.

def mount_binfmt(folder, status="enabled"):
    """binfmt_misc, mounted at folder: its register and status files."""
    with open(os.path.join(folder, "register"), "w"):
        pass
    with open(os.path.join(folder, "status"), "w") as f:
        f.write(status + "\n")


def _answer(state, key):
    """apt-cache's recorded answer to key, in the locale that apt would speak."""
    name = state["answers"].get(key + (" fetched" if state["fetched"] else ""),
                                state["answers"].get(key))
    if name is None:
        raise SystemExit("machine.py: no recorded answer to apt-cache %s" % key)
    locale = (os.environ.get("LC_ALL") or os.environ.get("LC_MESSAGES")
              or os.environ.get("LANG") or "C")
    german = name.replace(".", ".de.", 1)
    if locale.startswith("de") and os.path.exists(os.path.join(ANSWERS, german)):
        name = german
    with open(os.path.join(ANSWERS, name)) as f:
        sys.stdout.write(f.read())


def _apt_get(state, names, args):
    if "update" in args:
        if os.path.exists(names["SOURCES"]) and state["backports"] != "ok":
            mode = state["backports"]
            with open(os.path.join(ANSWERS, "backports-%s.update" % mode)) as f:
                sys.stdout.write(f.read())
            with open(os.path.join(ANSWERS, "backports-%s.status" % mode)) as f:
                return int(f.read())
        state["fetched"] = os.path.exists(names["SOURCES"])
    elif "install" in args and "qemu-user" in args:
        os.makedirs(os.path.dirname(names["EMULATOR"]), exist_ok=True)
        with open(names["EMULATOR"], "w") as f:
            f.write("#!/bin/sh\necho 'qemu-i386 version %s'\n" % state["emulator"])
        os.chmod(names["EMULATOR"], 0o755)
    return 0


def _binfmt_write(names, state, path, text):
    """Writes into binfmt_misc as the kernel takes it: a registration, or -1 to remove one."""
    folder = names["BINFMT"]
    if path == os.path.join(folder, "register"):
        if state["binfmt"] == "refusing" or not os.path.exists(path):
            return False
        _, name, kind, offset, magic, mask, interpreter, flags = text.strip().split(":")
        magic, mask = kernel_hex(magic), kernel_hex(mask)
        with open(os.path.join(folder, name), "w") as f:
            f.write("enabled\ninterpreter %s\nflags: %s\nmagic %s\nmask %s\n"
                    % (interpreter, flags, magic, mask))
        return True
    if text.strip() == "-1" and os.path.exists(path):
        os.remove(path)
        return True
    return False


def _runner(names, state):
    """What runs 32-bit code: the emulator that the setup's registration names, else what the
    machine was made with."""
    try:
        with open(os.path.join(names["BINFMT"], names["REGISTRATION"])) as f:
            interpreter = f.read().split("interpreter ")[1].split("\n")[0]
        said = subprocess.run([interpreter, "--version"], capture_output=True, text=True)
        return "qemu " + said.stdout.split("version ")[1].strip()
    except (OSError, IndexError):
        return state["runner"]


def command(name, args):
    machine = os.environ["FAKE_MACHINE"]
    names = read_names(os.path.join(machine, "names.txt"))
    with open(os.path.join(machine, "state.json")) as f:
        state = json.load(f)
    if not (name == "python3" and args[:2] != ["-m", "wineenv"]):
        with open(os.path.join(machine, "calls"), "a") as f:
            f.write(" ".join([name] + args) + "\n")
    status = 0
    if name == "apt-cache":
        _answer(state, " ".join(args))
    elif name == "apt-get":
        status = _apt_get(state, names, args)
    elif name == "dpkg-query":
        status = 1  # nothing is installed
    elif name == "id":
        print(state["uid"])
    elif name == "sudo":
        os.execvp(args[0], args)
    elif name == "mount":
        if state["binfmt"] != "mountable":
            print("mount: %s: permission denied." % args[-1], file=sys.stderr)
            return 32
        mount_binfmt(args[-1])
    elif name == "umount":
        for entry in os.listdir(args[-1]):
            os.remove(os.path.join(args[-1], entry))
    elif name == "tee":
        text = sys.stdin.read()
        for path in args:
            if path.startswith(names["BINFMT"] + "/"):
                if not _binfmt_write(names, state, path, text):
                    print("tee: %s: Invalid argument" % path, file=sys.stderr)
                    status = 1
            else:
                with open(path, "w") as f:
                    f.write(text)
        sys.stdout.write(text)
    elif name == "python3":
        if args == ["-m", "wineenv", "runner"]:
            print(_runner(names, state))
        else:
            os.execv(sys.executable, [sys.executable] + args)
    with open(os.path.join(machine, "state.json"), "w") as f:
        json.dump(state, f)
    return status


if __name__ == "__main__":
    sys.exit(command(sys.argv[1], sys.argv[2:]))
