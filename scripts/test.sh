#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test, in stages: lint; the pure routines
# natively under AddressSanitizer and UBSan; the programs that ship under 32-bit Wine; each
# fuzz target for a bounded time (FUZZ_SECONDS, default 60); last, the setup's own tests, on
# real apt in a throwaway Debian 12 root, which also run the shipped programs through qemu on
# a machine that runs 32-bit code itself (tests/setup; they need root and say why they skip
# where they cannot run; SETUP_TESTS=no leaves them out, as inside the Debian 13 leg's root).
#
# The first and the last line say what ran the programs: the kernel itself, or qemu's i386
# emulator (with its version). Where no way to run them can be set up, the setup says why and
# fails, and so does this. The verdict also goes into build/verdict.json (tests/verdict.py),
# which .ci/run reads. A stop (SIGINT, SIGTERM, SIGHUP) goes to the stage that runs, which
# cleans up, and ends the command.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1
stages=()
started=$SECONDS
verdict() {
  local status=$?
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
  return "$status"
}

bash setup/setup.sh
rm -rf build/verdicts build/verdict.json
echo "== tests on $(python3 -m wineenv describe)"
stage lint python3 -m tests.lint
stage unit cmake --workflow --preset host --fresh
stage e2e cmake --workflow --preset windows --fresh
stage fuzz bash -c 'cmake --preset fuzz --fresh -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null &&
  cmake --build --preset fuzz && ctest --preset fuzz'
if [ "${SETUP_TESTS:-yes}" != no ]; then
  stage setup python3 -m tests.setup
fi
