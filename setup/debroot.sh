# A throwaway Debian root, for the Debian 13 leg and the setup's own tests: made with
# debootstrap (minbase) in the temporary folder (/var/tmp, or TMPDIR), from the Debian mirror
# this machine's apt sources name, with this work tree copied in at /src (committed or not)
# and /proc, /sys and /dev mounted; and removed again, whatever is left running in it. Needs
# root. Sourced by debian13.sh; the tests run it:
#
#   bash setup/debroot.sh make RELEASE [PACKAGE,...]   makes one, prints its path
#   bash setup/debroot.sh remove ROOT                  removes it

# Makes the root and sets root to its path: debroot_make RELEASE NAME [PACKAGE,...].
debroot_make() {
  local release=$1 name=$2 include=${3:-}
  have debootstrap || apt_install debootstrap
  have git || apt_install git
  find_mirror
  [ -n "$mirror_site" ] ||
    { echo "$name: no Debian mirror found in the apt sources" >&2; return 1; }
  root=$(realpath "$(mktemp -d "${TMPDIR:-/var/tmp}/consoletools-$name.XXXXXX")")
  chmod 755 "$root"  # its /, which apt's sandbox user has to get through
  echo "$name: making a Debian $release root in $root from $mirror_site" >&2
  debootstrap --variant=minbase ${include:+--include="$include"} "$release" "$root" \
    "$mirror_site" >"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; return 1; }
  cp /etc/resolv.conf /etc/hosts "$root/etc/"
  # The work tree as it is, with its history, so that the release names the same commit.
  git clone -q --no-hardlinks . "$root/src"
  git ls-files -z -co --exclude-standard | tar --null --ignore-failed-read -T - -cf - |
    tar -xf - -C "$root/src"
  mount -t proc proc "$root/proc"
  local dir
  for dir in sys dev dev/pts; do mount --bind "/$dir" "$root/$dir"; done
}

# The processes whose root is the root.
debroot_processes() {
  local pid
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/root" 2>/dev/null)" != "$1" ] || echo "${pid#/proc/}"
  done
}
# Ends the root's processes (a Wine server outlives its last program by 30 s), undoes every
# mount below it, deepest first, and removes it; a mount that stays keeps the root in place
# (status 1).
debroot_remove() {
  local root=$1 mount tries=0
  while [ -n "$(debroot_processes "$root")" ] && [ $tries -lt 20 ]; do
    debroot_processes "$root" | xargs -r kill -9 2>/dev/null || true
    sleep 0.5
    tries=$((tries + 1))
  done
  awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r |
    while read -r mount; do umount "$mount" 2>/dev/null || umount -l "$mount"; done
  rm -f "$root.log"
  if awk -v r="$root/" 'index($2, r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    echo "mounts below $root remain; the root is kept" >&2
    return 1
  fi
  rm -rf --one-file-system "$root"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  . setup/packages.sh
  case ${1:-} in
    make)
      root=
      debroot_make "$2" setup-test "${3:-}" || { [ -z "$root" ] || debroot_remove "$root"; exit 1; }
      echo "$root" ;;
    remove) debroot_remove "$2" ;;
    *) echo "usage: bash setup/debroot.sh make RELEASE [PACKAGE,...] | remove ROOT" >&2
       exit 2 ;;
  esac
fi
