#!/usr/bin/env bash
# The test command on Debian 13 (trixie), whatever release this machine runs: makes a fresh
# minimal Debian 13 root with mmdebstrap in the temporary folder (outside the work tree),
# copies this work tree into it (committed or not), and runs scripts/test.sh there as root,
# as a new user would on a fresh machine: no login session, no XDG_RUNTIME_DIR, no display.
# The packages come from the Debian mirror this machine's own apt sources name. At the end,
# whatever happened, every mount below the root is undone, its processes are ended and the
# root is removed; the verdict comes out as build/verdict-debian13.json. Needs root; runs
# itself through sudo otherwise.
#
#   bash scripts/debian13.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo -E bash "$0" "$@"
cd "$(dirname "$0")/.." || exit 1
. setup/packages.sh

RELEASE=trixie

. setup/debroot.sh

root=
# The verdict of the test command in the root comes out as build/verdict-debian13.json.
cleanup() {
  local status=$?
  set +e
  if [ -n "$root" ]; then
    mkdir -p build && cp "$root/src/build/verdict.json" build/verdict-debian13.json 2>/dev/null
    debroot_remove "$root" || status=1
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

debroot_make "$RELEASE" debian13

# In the background, so that a signal ends the wait at once and the cleanup ends the rest.
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" CI="${CI:-}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  ${FUZZ_SECONDS:+FUZZ_SECONDS="$FUZZ_SECONDS"} ${README_TESTS:+README_TESTS="$README_TESTS"} \
  bash -c 'cd /src && bash scripts/test.sh' </dev/null &
wait $!
