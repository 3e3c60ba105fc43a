#!/usr/bin/env bash
# The test command on Debian 13 (trixie), whatever release this machine runs: makes a fresh
# minimal Debian 13 root with debootstrap in the temporary folder (outside the work tree),
# copies this work tree into it (committed or not), and runs scripts/test.sh there as root,
# as a new user would on a fresh machine: no login session, no XDG_RUNTIME_DIR, no display.
# The packages come from the Debian mirror this machine's own apt sources name. At the end,
# whatever happened, every mount below the root is undone, its processes are ended and the
# root is removed. Needs root; runs itself through sudo otherwise.
#
#   bash scripts/debian13.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo -E bash "$0" "$@"
cd "$(dirname "$0")/.."
. scripts/packages.sh

RELEASE=trixie

have debootstrap || apt_install debootstrap
have git || apt_install git
source_mirror=$(mirror)
if [ -z "$source_mirror" ]; then
  echo "debian13: no Debian mirror found in this machine's apt sources" >&2
  exit 1
fi

root=$(realpath "$(mktemp -d "${TMPDIR:-/var/tmp}/consoletools-debian13.XXXXXX")")
# Ends the root's processes (a Wine server outlives its last program by 30 s), undoes every
# mount below it, deepest first, and removes it; a mount that stays keeps the root in place.
in_root() {
  local pid
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/root" 2>/dev/null)" != "$root" ] || echo "${pid#/proc/}"
  done
}
cleanup() {
  local status=$? mount tries=0
  set +e
  while [ -n "$(in_root)" ] && [ $tries -lt 20 ]; do
    in_root | xargs -r kill -9 2>/dev/null || true
    sleep 0.5
    tries=$((tries + 1))
  done
  awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r |
    while read -r mount; do umount "$mount" 2>/dev/null || umount -l "$mount"; done
  if awk -v r="$root/" 'index($2, r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    echo "debian13: mounts below $root remain; the root is kept" >&2
    status=1
  else
    rm -rf --one-file-system "$root"
  fi
  rm -f "$root.log"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

echo "debian13: making a Debian 13 root in $root from $source_mirror"
debootstrap --variant=minbase "$RELEASE" "$root" "$source_mirror" >"$root.log" 2>&1 ||
  { tail -n 20 "$root.log" >&2; exit 1; }
cp /etc/resolv.conf /etc/hosts "$root/etc/"

# The work tree as it is, with its history, so that the release names the same commit.
git clone -q --no-hardlinks . "$root/src"
git ls-files -z -co --exclude-standard | tar --null --ignore-failed-read -T - -cf - |
  tar -xf - -C "$root/src"

mount -t proc proc "$root/proc"
for dir in sys dev dev/pts; do mount --bind "/$dir" "$root/$dir"; done

# In the background, so that a signal ends the wait at once and the cleanup ends the rest.
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" CI="${CI:-}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  ${FUZZ_SECONDS:+FUZZ_SECONDS="$FUZZ_SECONDS"} \
  bash -c 'cd /src && bash scripts/test.sh' </dev/null &
wait $!
