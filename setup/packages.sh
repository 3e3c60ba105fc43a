# shellcheck shell=bash
# Installing from Debian's packages, for the scripts that source this file: setup.sh,
# qemu-i386.sh for the emulator, and debroot.sh for mmdebstrap. Uses sudo when not run as
# root. Every decision reads apt's words in the C locale, and apt waits for another apt that
# holds its locks, saying for whom, up to LOCK_WAIT seconds. A failure ends the script with one
# line on standard error that starts with "setup:" and says why (fail); what the setup changes
# and does goes to standard output.

export LC_ALL=C
unset LANGUAGE
LOCK_WAIT=${SETUP_LOCK_WAIT:-300}

# Where the setup looks, and what it leaves (names.txt beside this file, or the file that
# SETUP_NAMES_FILE names): each NAME=value as a variable of that name.
# shellcheck disable=SC2034  # the scripts that source this file use them
REGISTRATION='' EMULATOR='' BINFMT='' SOURCES='' MAGIC='' MASK='' OS_RELEASE='' APT_LOCKS=''
while IFS='=' read -r name value; do
  if [[ $name =~ ^[A-Z_]+$ ]]; then printf -v "$name" '%s' "$value"; fi
done <"${SETUP_NAMES_FILE:-$(dirname "${BASH_SOURCE[0]}")/names.txt}"
for name in REGISTRATION EMULATOR BINFMT SOURCES MAGIC MASK OS_RELEASE APT_LOCKS; do
  [ -n "${!name}" ] || { echo "setup: setup/names.txt names no $name" >&2; exit 1; }
done
read -ra APT_LOCKS <<<"$APT_LOCKS"

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

have() { command -v "$1" >/dev/null 2>&1; }
installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == *" ok installed" ]]; }

# The one line that says why the script ends; the exit trap (setup_exit) adds none after it.
reason_given=
fail() {
  echo "setup: $*" >&2
  reason_given=yes
  exit 1
}
# Root is needed for what comes next: through sudo, where there is one.
need_root() {
  [ ${#as_root[@]} -eq 0 ] || have sudo ||
    fail "$1 needs root, and there is no sudo here: run it as root"
}
# For the scripts' EXIT and ERR traps: a failure that no fail() explained still gets a line.
failed_at=
setup_exit() {
  local status=$1 where=${failed_at:+ where $failed_at failed}
  [ "$status" -eq 0 ] || [ -n "$reason_given" ] ||
    echo "setup: $(basename "$0") stopped with status $status$where" >&2
}

# Of apt's locks (APT_LOCKS), prints the first one that another process holds, with that
# process; nothing when none is held. The kernel's table of locks names the holder of each by
# its inode.
apt_lock_holder() {
  local lock inode pid fd command
  for lock in "${APT_LOCKS[@]}"; do
    inode=$(stat -c %i "$lock" 2>/dev/null) || continue
    for pid in $(awk -v i=":$inode" '$2 != "->" && substr($6, length($6) - length(i) + 1) == i \
                   { print $5 }' /proc/locks 2>/dev/null); do
      [ "$pid" -gt 0 ] 2>/dev/null || continue
      # Only a process that has the file open holds its lock (inodes repeat across disks).
      if [ -r "/proc/$pid/fd" ]; then
        for fd in /proc/"$pid"/fd/*; do
          [ "$(readlink "$fd" 2>/dev/null)" != "$lock" ] || break
        done
        [ "$(readlink "$fd" 2>/dev/null)" = "$lock" ] || continue
      fi
      command=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || continue
      echo "${command% } (process $pid, which holds $lock)"
      return
    done
  done
}
apt_wait() {
  local holder waited=0
  while holder=$(apt_lock_holder) && [ -n "$holder" ]; do
    [ "$waited" -lt "$LOCK_WAIT" ] ||
      fail "apt is busy: after $waited s, $holder still has it; try again once it has finished"
    [ "$waited" -gt 0 ] ||
      echo "setup: waiting for another apt to finish, at most $LOCK_WAIT s: $holder"
    sleep 1
    waited=$((waited + 1))
  done
}
# apt-get as root, in the C locale, once no other apt holds its locks (dpkg's own wait covers
# the moment between), with what it says in the variable named first. Never inside $( ):
# where the wait ends in fail, the script has to end.
apt_get() {
  local -n apt_said=$1
  shift
  apt_wait
  # shellcheck disable=SC2034  # apt_said names the caller's variable
  apt_said=$("${as_root[@]}" env LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get \
    -o DPkg::Lock::Timeout="$LOCK_WAIT" "$@" 2>&1)
}
# What apt says first about its failure, for a reason line.
apt_error() { grep -m1 -E '^(E|W|Err):' <<<"$1" | cut -c1-240 || true; }

# Fetches the package lists, once per script. A list that cannot be fetched (a mirror in the
# middle of a sync) leaves the others usable; apt_lists keeps what apt said. Another apt that
# takes the lists' lock in the moment after apt_wait only costs one more try.
lists_fetched=
apt_lists=
fetch_lists() {
  [ -z "$lists_fetched" ] || return 0
  need_root "Fetching the package lists"
  local try
  for try in 1 2; do
    if apt_get apt_lists update -qq; then
      break
    elif [ $try = 1 ] && grep -q 'Could not get lock' <<<"$apt_lists"; then
      continue
    fi
    echo "setup: some package lists could not be fetched ($(apt_error "$apt_lists"))"
    break
  done
  lists_fetched=yes
}

# Installs packages; where the security updates' list for one architecture is missing, the
# i386 and amd64 copies of a library cannot reach the same version, so it tries again with
# the release's own versions, which exist for both.
apt_install() {
  local said
  fetch_lists
  apt_get said install -y -qq "$@" ||
    apt_get said install -y -qq -t "$(codename)" "$@" ||
    fail "apt-get could not install $*: $(apt_error "$said")"
}

# shellcheck disable=SC1090  # the release file that names.txt names
codename() { (. "$OS_RELEASE" && echo "$VERSION_CODENAME"); }

# The first mirror that this machine's apt sources take its own release from: the Debian
# archive, which serves the other releases and the backports too. apt reads the sources, in
# either format, by codename or by suite; its policy names each list's address, and the
# origin, label and codename of the release it came from (o=Debian, l=Debian, n=bookworm), so
# other vendors' repositories and Debian's security archive are passed over. It names only
# the lists it has fetched.
listed_mirror() {
  apt-cache policy 2>/dev/null | awk -v n=",n=$(codename)," '
    /^ *-?[0-9]+ / { site = $2 }
    /^ +release / && !found && index($0, "o=Debian,") && index($0, n) &&
      index($0, ",l=Debian,") { print site; found = 1 }'
}
# Sets mirror_site to that mirror, fetching the lists first where apt names none yet.
find_mirror() {
  mirror_site=$(listed_mirror)
  [ -z "$mirror_site" ] || return 0
  fetch_lists
  mirror_site=$(listed_mirror)
}
