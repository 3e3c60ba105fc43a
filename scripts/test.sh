#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test, in stages: lint; the pure routines
# natively under AddressSanitizer and UBSan; the programs that ship under 32-bit Wine; each
# fuzz target for a brief, bounded time (FUZZ_SECONDS, default 10; CI gives them 60); last,
# the setup's own tests (tests/setup): its decisions, on made-up machines fed apt's recorded
# answers, as any user. The setup's cases on real apt, in a throwaway Debian 12 root, need
# root and take minutes: CI runs them (SETUP_TESTS=all); the verdict says so where they are
# left out, and names the command that runs them.
#
# Every stage runs, whatever became of the one before; the command fails where any failed.
# The first and the last lines say what ran the programs: the kernel itself, or qemu's i386
# emulator (with its version). Where no way to run them can be set up, the setup says why and
# fails, and so does this. The verdict also goes into build/verdict.json (tests/verdict.py),
# which .ci/run reads. A stop (SIGINT, SIGTERM, SIGHUP) goes to the stage that runs, which
# cleans up, and ends the command.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
stages=()
started=$SECONDS
failed=0
verdict() {
  local status=$?
  [ "$status" -ne 0 ] || status=$failed
  trap '' INT TERM HUP
  python3 -m tests.verdict write build/verdict.json "$status" $((SECONDS - started)) \
    "${stages[@]}" 2>/dev/null ||
    echo "== tests failed on a machine that could not be set up, in $((SECONDS - started)) s"
}
trap verdict EXIT

# Each stage runs in a process group of its own, in the background, so that a stop reaches
# it at once, whole, and is waited for while it cleans up.
child=
stop() {
  trap '' INT TERM HUP
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null || true
    wait "$child" || true
  fi
  exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM
trap 'stop 129' HUP
stage() {
  local name=$1 start=$SECONDS status=0
  shift
  setsid "$@" &
  child=$!
  wait "$child" || status=$?
  child=
  stages+=("$name:$status:$((SECONDS - start))")
  [ "$status" -eq 0 ] || failed=1
}

bash setup/setup.sh
rm -rf build/verdicts build/verdict.json
[ -e build/windows/wineprefix/system.reg ] ||
  echo "== the first run here: the end-to-end stage makes the tests' Wine prefix (about 10 s more," \
       "minutes through qemu), and the stages build from nothing"
echo "== tests on $(python3 -m wineenv describe)"
stage lint python3 -m tests.lint
stage unit cmake --workflow --preset host --fresh
stage e2e cmake --workflow --preset windows --fresh
stage fuzz bash -c 'cmake --preset fuzz --fresh -DFUZZ_SECONDS="${FUZZ_SECONDS:-10}" >/dev/null &&
  cmake --build --preset fuzz && ctest --preset fuzz'
if [ "${SETUP_TESTS:-decisions}" = all ]; then
  stage setup python3 -m tests.setup
else
  stage setup python3 -m tests.setup --decisions
fi
exit "$failed"
