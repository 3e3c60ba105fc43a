"""The README's recipes, and those of the pages in docs/, work as they are written: each `sh`
block, in the order a reader meets them (the README's, then each page's, by name), runs in
bash -e from the top of a fresh clone of the work tree as it is, as a newcomer types it:
with the person's own PATH (where another Python, pyenv's or a venv's, may come first), no
display, and none of the variables that CTest or CI set. The
`bash` blocks (the two commands, the setup's undo) change the machine or run every test,
and are left alone."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

TREE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BLOCK_BOUND = 600  # seconds for one block: a build, or a first Wine prefix through qemu


def pages():
    docs = os.path.join(TREE, "docs")
    return ["README.md"] + ["docs/" + name for name in sorted(os.listdir(docs))
                            if name.endswith(".md")]


def recipes(page):
    """The sh blocks of a page: (line, text)."""
    with open(os.path.join(TREE, page)) as f:
        text = f.read()
    return [(text[:found.start()].count("\n") + 2, found.group(1))
            for found in re.finditer(r"(?ms)^```sh\n(.*?)^```$", text)]


def fresh_clone(folder):
    """The commit with its history, and over it the work tree's files as they are: changed,
    new (not ignored), and without those deleted."""
    subprocess.run(["git", "clone", "-q", "--no-hardlinks", TREE, folder], check=True)
    listed = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=TREE,
                            capture_output=True, check=True).stdout.split(b"\0")
    for name in filter(None, listed):
        source = os.path.join(TREE, os.fsdecode(name))
        if os.path.isfile(source):
            target = os.path.join(folder, os.fsdecode(name))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target)
    deleted = subprocess.run(["git", "ls-files", "-z", "--deleted"], cwd=TREE,
                             capture_output=True, check=True).stdout.split(b"\0")
    for name in filter(None, deleted):
        os.remove(os.path.join(folder, os.fsdecode(name)))


@unittest.skipIf(os.environ.get("README_TESTS") == "no", "README_TESTS=no leaves them out")
class Recipes(unittest.TestCase):
    def test_the_sh_blocks_of_the_readme_and_docs_work_in_a_fresh_clone(self):
        found = [(page, line, block) for page in pages() for line, block in recipes(page)]
        self.assertGreaterEqual(len([f for f in found if f[0] == "README.md"]), 4)
        clone = tempfile.mkdtemp(prefix="recipes.", dir=os.path.join(TREE, "build"))
        self.addCleanup(shutil.rmtree, clone, ignore_errors=True)
        fresh_clone(clone)
        env = {"PATH": os.environ["PATH"], "HOME": os.environ.get("HOME", "/root"), "TERM": "dumb",
               "LANG": "C.UTF-8", "USER": os.environ.get("USER", "root")}
        prefix = os.path.join(clone, "build", "windows", "wineprefix")
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=dict(env, WINEPREFIX=prefix),
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        for page, line, block in found:
            with self.subTest(page=page, line=line):
                # Into a file: a new Wine prefix's services would hold a pipe open.
                with tempfile.TemporaryFile("w+") as output:
                    done = subprocess.run(["bash", "-e", "-c", block], cwd=clone, env=env,
                                          stdin=subprocess.DEVNULL, stdout=output,
                                          stderr=subprocess.STDOUT, timeout=BLOCK_BOUND)
                    output.seek(0)
                    said = output.read()
                self.assertEqual(done.returncode, 0, "%s, line %d:\n%s\n%s" % (
                    page, line, block, said[-4000:]))
