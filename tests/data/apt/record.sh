#!/usr/bin/env bash
# Records apt's answers that the setup's decision tests (tests/setup/test_decisions.py) are
# fed: apt-cache policy, with and without a package, and apt-get update where a list cannot
# be fetched (with its exit status), each from a real run in a throwaway Debian root (mmdebstrap, minbase), with the
# sources that the file's name says. Everything happens in a PID and mount namespace of its
# own, on a tmpfs: whatever becomes of this script, the kernel removes it all. As root, with
# the Debian mirror in reach; writes into the folder this script is in:
#
#   bash tests/data/apt/record.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "record.sh: needs root" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../../.." && pwd)
[ "${1:-}" = inside ] || exec unshare --pid --fork --kill-child --mount --propagation private \
  --mount-proc bash "$0" inside

MIRROR=http://deb.debian.org/debian
SECURITY="deb http://deb.debian.org/debian-security bookworm-security main"
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
mount -t tmpfs tmpfs /mnt
root=/mnt/root
mmdebstrap --quiet --variant=minbase --include=python3,locales bookworm "$root" "$MIRROR" \
  >/dev/null
for dir in proc sys dev; do mount --rbind "/$dir" "$root/$dir"; done
cp /etc/resolv.conf "$root/etc/"
echo 'de_DE.UTF-8 UTF-8' >"$root/etc/locale.gen"
chroot "$root" locale-gen >/dev/null
# Another vendor's repository, with one package, whose release calls itself bookworm (apt
# lists no repository whose package list is empty).
mkdir -p "$root/srv/vendor"
printf '%s\n' 'Package: vendor-tool' 'Version: 1.0' 'Architecture: all' \
  'Filename: vendor-tool_1.0_all.deb' 'Size: 1' 'Description: a vendor tool' \
  >"$root/srv/vendor/Packages"
printf '%s\n' 'Origin: Vendor' 'Label: Vendor' 'Suite: bookworm' 'Codename: bookworm' \
  'Date: Sat, 01 Jan 2022 00:00:00 UTC' 'SHA256:' \
  " $(sha256sum <"$root/srv/vendor/Packages" | cut -d' ' -f1) $(stat -c %s \
  "$root/srv/vendor/Packages") Packages" >"$root/srv/vendor/Release"
VENDOR="deb [trusted=yes] file:/srv/vendor ./"

# Writes the root's sources (one-line format; with deb822=TEXT, that as debian.sources too).
sources() {
  rm -f "$root"/etc/apt/sources.list.d/*
  printf '%s\n' "$VENDOR" "$@" >"$root/etc/apt/sources.list"
  chroot "$root" apt-get update -qq >/dev/null 2>&1 || true
}
ask() { chroot "$root" env LC_ALL="${LOCALE:-C}" apt-cache policy "$@" 2>&1; }

sources "deb $MIRROR bookworm main" "$SECURITY"
ask >"$here/bookworm-codename.policy"
ask qemu-user >"$here/bookworm.qemu-user"
LOCALE=de_DE.UTF-8 ask >"$here/bookworm-codename.de.policy"
LOCALE=de_DE.UTF-8 ask qemu-user >"$here/bookworm.de.qemu-user"
sources "deb $MIRROR oldstable main"
ask >"$here/bookworm-suite.policy"
sources
printf 'Types: deb\nURIs: %s\nSuites: oldstable\nComponents: main\nSigned-By: %s\n' \
  "$MIRROR" "$KEYRING" >"$root/etc/apt/sources.list.d/debian.sources"
chroot "$root" apt-get update -qq >/dev/null 2>&1
ask >"$here/bookworm-deb822.policy"
sources
ask >"$here/vendor-only.policy"
ask qemu-user >"$here/vendor-only.qemu-user"
sources "deb $MIRROR bookworm main" "deb $MIRROR bookworm-backports main"
ask >"$here/bookworm-backports.policy"
ask -t bookworm-backports qemu-user >"$here/bookworm-backports.qemu-user"
# Backports that cannot be fetched: refused, or served cut short as while a mirror syncs.
sources "deb $MIRROR bookworm main"
printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
  "$MIRROR" "$KEYRING" >"$root/etc/apt/sources.list.d/consoletools-backports.sources"
for mode in unreachable syncing; do
  port=$(mktemp)
  (cd "$tree" && exec python3 -m tests.setup.aptproxy "$mode" "$port") &
  proxy=$!
  until [ -s "$port" ]; do sleep 0.1; done
  echo "Acquire::http::Proxy \"http://127.0.0.1:$(cat "$port")\";" \
    >"$root/etc/apt/apt.conf.d/99proxy"
  status=0
  chroot "$root" env LC_ALL=C apt-get update -qq >"$here/backports-$mode.update" 2>&1 ||
    status=$?
  echo "$status" >"$here/backports-$mode.status"
  kill "$proxy"
  rm -f "$root/etc/apt/apt.conf.d/99proxy" "$port"
done
# Debian 13, whose own release has qemu 10.
umount -R "$root"/{proc,sys,dev}
rm -rf "$root"
mmdebstrap --quiet --variant=minbase trixie "$root" "$MIRROR" >/dev/null
chroot "$root" apt-get update -qq >/dev/null 2>&1
chroot "$root" env LC_ALL=C apt-cache policy >"$here/trixie.policy" 2>&1
chroot "$root" env LC_ALL=C apt-cache policy qemu-user >"$here/trixie.qemu-user" 2>&1
ls "$here"
