#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the pure routines natively under
# AddressSanitizer and UBSan, the programs that ship under 32-bit Wine, then each fuzz target
# for a bounded time (FUZZ_SECONDS, default 60). The first and the last line say what ran the
# programs: the kernel itself, or qemu's i386 emulator (with its version) where the kernel
# cannot run 32-bit code. Where no way to run them can be set up, the setup says why and
# fails, and so does this. Last come the setup's own cases, on real apt in a throwaway Debian
# 12 root, and the emulator path from its start, which run the shipped programs through qemu
# also on a machine that runs 32-bit code itself (tests/setup; they need root; SETUP_TESTS=no
# leaves them out, as inside the Debian 13 leg's root, itself such a root).
set -euo pipefail
cd "$(dirname "$0")/.."
where="a machine that could not be set up"
trap 'status=$?; echo "== tests $([ $status -eq 0 ] && echo passed || echo failed) on $where," \
  "in $SECONDS s"' EXIT
bash setup/setup.sh
where=$(python3 -m wineenv describe)
echo "== tests on $where"
cmake --workflow --preset host --fresh
cmake --workflow --preset windows --fresh
cmake --preset fuzz --fresh -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
if [ "${SETUP_TESTS:-yes}" != no ]; then
  python3 -m tests.setup.test_setup
fi
