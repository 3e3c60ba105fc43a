#!/usr/bin/env bash
# The main job: sets up the machine, builds the programs, then runs the example build
# script under Wine's cmd. The script times a real compile of examples/hello.c with
# buildtimer and prints the elapsed time and the listing excerpt.
set -euo pipefail
cd "$(dirname "$0")/.."
bash setup/setup.sh
eval "$(python3 -m wineenv shell)"
echo "== on $(python3 -m wineenv describe)"
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null

bin=$PWD/build/windows/bin

# In the build folder, not the temporary one, which may be mounted noexec: Wine starts the
# compiler's bridge script from here.
work=$(mktemp -d "$PWD/build/example.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$bin/buildtimer.exe" "$bin/ccbridge.exe" "$bin/ccbridge.sh" examples/build.cmd \
   examples/hello.c "$work"
# The compiler is the Linux cross compiler, started and awaited through ccbridge.
export CC=ccbridge

echo "== buildtimer: timing the build of hello.exe (examples/build.cmd under Wine's cmd)"
(cd "$work" && "$WINE" cmd /c build.cmd 2> >(grep -v -e '^wine: Read access denied' -e 'FS volume label' >&2))
echo "== the program that was built:"
(cd "$work" && "$WINE" hello.exe)

echo
echo "== consoledemo: hello.c dropped on it (its path arrives as the first argument)"
cp "$bin/consoledemo.exe" "$bin/Vantrel.dll" "$work"
# No desktop here, so the stand-in library's TellMe prints what its box would show.
(cd "$work" && "$WINE" consoledemo.exe "$("$WINE" winepath -w "$work/hello.c" 2>/dev/null)")
