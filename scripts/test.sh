#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the pure routines natively under
# AddressSanitizer and UBSan, the real programs under Wine, then each fuzz target for a
# bounded time (FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --workflow --preset host --fresh
cmake --workflow --preset windows --fresh
cmake --preset fuzz --fresh -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
