#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the pure routines natively under
# AddressSanitizer and UBSan, then the real programs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --workflow --preset host --fresh
cmake --workflow --preset windows --fresh
