# shellcheck shell=bash
# A throwaway Debian root, for the Debian 13 leg: made with mmdebstrap (minbase) in the
# temporary folder (/var/tmp, or TMPDIR), from the Debian mirror this machine's apt sources
# name, with this work tree copied in at /src (committed or not, and without the files deleted
# from it) and /proc, /sys and /dev mounted; and removed again, whatever is left running in
# it. Needs root. Sourced by debian13.sh; runs alone too (the setup's tests do):
#
#   bash setup/debroot.sh make RELEASE [PACKAGE,...]   makes one, prints its path
#   bash setup/debroot.sh remove ROOT                  removes it
#
# Each root carries a mark (MARK, in its top folder) that names its path. remove takes away
# only a folder whose mark names it, and ends only the processes whose root that folder is.
# Each step that fails ends the script with one line that says why, and a root that could
# not be made whole is removed again.

DEBROOT_MARK=.consoletools-debroot

debroot_fail() {
  echo "$debroot_name: $*" >&2
  exit 1
}

# A new, empty, marked folder for a root: sets root.
debroot_folder() {
  local base=${TMPDIR:-/var/tmp}
  root=$(mktemp -d "$base/consoletools-$debroot_name.XXXXXX") ||
    debroot_fail "no folder for the root could be made in $base"
  root=$(realpath "$root")
  printf 'made by setup/debroot.sh; removed by: bash setup/debroot.sh remove %s\npath=%s\n' \
    "$root" "$root" >"$root/$DEBROOT_MARK" || debroot_fail "$root could not be marked"
  # Its /, which apt's sandbox user has to get through.
  chmod 755 "$root" || debroot_fail "$root could not be opened to all users"
}

# The work tree as it is (without the files deleted from it), with its history, so that the
# release names the same commit; then /proc, /sys and /dev.
debroot_fill() {
  cp /etc/resolv.conf /etc/hosts "$root/etc/" ||
    debroot_fail "this machine's resolv.conf and hosts could not be copied into $root"
  rm -rf "$root/src" && git clone -q --no-hardlinks . "$root/src" ||
    debroot_fail "the work tree's history could not be cloned into $root/src"
  git ls-files -z -co --exclude-standard | tar --null --ignore-failed-read -T - -cf - |
    tar -xf - -C "$root/src" || debroot_fail "the work tree could not be copied into $root/src"
  git ls-files -z --deleted | (cd "$root/src" && xargs -0 -r rm -f --) ||
    debroot_fail "the files deleted from the work tree could not be left out of $root/src"
  mount -t proc proc "$root/proc" || debroot_fail "/proc could not be mounted in $root"
  local dir
  for dir in sys dev dev/pts; do
    mount --bind "/$dir" "$root/$dir" || debroot_fail "/$dir could not be mounted in $root"
  done
}

# Makes the root and sets root to its path: debroot_make RELEASE NAME [PACKAGE,...].
debroot_make() {
  local release=$1 include=${3:-}
  debroot_name=$2
  local tool
  for tool in mmdebstrap git; do
    have "$tool" || { echo "setup: installing $tool" && apt_install "$tool"; }
  done
  find_mirror
  [ -n "$mirror_site" ] || debroot_fail "no Debian mirror found in the apt sources"
  debroot_folder
  echo "$debroot_name: making a Debian $release root in $root from $mirror_site" >&2
  # Into the marked folder: the mark is all that is in it.
  mmdebstrap --variant=minbase --skip=check/empty ${include:+--include="$include"} "$release" \
    "$root" "$mirror_site" >"$root.log" 2>&1 ||
    debroot_fail "mmdebstrap could not make a Debian $release root in $root:" \
                 "$(tail -n 3 "$root.log" | tr '\n' ' ')"
  debroot_fill
}

# Whether the folder carries the mark of a root that debroot made there.
debroot_marked() {
  [ "$1" != / ] && [ -d "$1" ] && grep -qxF "path=$1" "$1/$DEBROOT_MARK" 2>/dev/null
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
# (status 1). A folder without the root's mark is left as it is (status 1).
debroot_remove() {
  local root mount tries=0
  root=$(realpath "$1" 2>/dev/null) && debroot_marked "$root" || {
    echo "debroot: $1 is no root that debroot.sh made (it has no $DEBROOT_MARK that names" \
         "it), so nothing there is removed" >&2
    return 1
  }
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
  cd "$(dirname "$0")/.." || exit 1
  . setup/packages.sh
  debroot_name=setup-test
  root=
  # A root that could not be made whole goes again, also when this is stopped.
  trap 'status=$?; [ $status -eq 0 ] || [ -z "$root" ] || debroot_remove "$root"; exit $status' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM HUP
  case ${1:-} in
    make) debroot_make "${2:?a release}" setup-test "${3:-}"; echo "$root" ;;
    remove)
      root=
      debroot_remove "${2:?a root}" ;;
    *) echo "usage: bash setup/debroot.sh make RELEASE [PACKAGE,...] | remove ROOT" >&2
       exit 2 ;;
  esac
fi
