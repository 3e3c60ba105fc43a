"""python3 -m wineenv runner | describe | shell: see the package's own description."""
import os
import shlex
import sys

import wineenv


def main(args):
    if args == ["runner"]:
        print(wineenv.runner())
        return
    if args == ["describe"]:
        print(wineenv.describe())
        return
    if args != ["shell"]:
        sys.exit(wineenv.__doc__)
    root = os.path.dirname(os.path.dirname(os.path.abspath(wineenv.__file__)))
    prefix = os.path.join(root, "build", "windows", "wineprefix")
    wineenv.prepare(prefix)
    env = wineenv.environment(prefix)
    print("WINE=%s" % wineenv.WINE)
    print("export " + " ".join("%s=%s" % (n, shlex.quote(env[n]))
                               for n in wineenv.VARIABLES if n in env))
    print("unset DISPLAY")


main(sys.argv[1:])
