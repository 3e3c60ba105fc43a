#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the pure routines natively under
# AddressSanitizer and UBSan, the real programs under Wine, then each fuzz target for a
# bounded time (FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Which system and Wine the verdict is about, at the start and with the verdict.
where=$(python3 scripts/wineenv.py describe)
echo "== tests on $where"
trap 'status=$?; echo "== tests $([ $status -eq 0 ] && echo passed || echo failed) on $where," \
  "in $SECONDS s"' EXIT
cmake --workflow --preset host --fresh
RUN_PRESET=$(python3 scripts/wineenv.py preset)
if [ "$RUN_PRESET" = windows ]; then
  cmake --workflow --preset windows --fresh
else
  echo "note: this kernel cannot run 32-bit programs; the end-to-end tests run the programs'" \
       "64-bit twins under 64-bit Wine" >&2
  cmake --preset windows --fresh >/dev/null  # the deliverables, which the static checks read
  cmake --build --preset windows
  cmake --workflow --preset windows64 --fresh
fi
cmake --preset fuzz --fresh -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
