#!/usr/bin/env bash
# Where this kernel cannot run 32-bit x86 code (its 32-bit emulation switched off), makes it
# run such code through qemu's user-mode i386 emulator, so that 32-bit Wine, and with it the
# programs that ship, runs here as anywhere else. Does nothing where 32-bit code runs
# natively, or through qemu 10 or later already.
#
# First it finds out whether this machine lets it register an interpreter at all (root or
# sudo, a binfmt_misc that is mounted or can be, switched on, and that takes a registration),
# before anything is downloaded. Then it provides qemu-user of version 10 or later from
# Debian's packages (older ones take about 40 s for each Wine start): from the release where
# it has one, else from the release's own backports, which it adds to the apt sources as a
# file of its own, on the Debian mirror that the sources already name. It installs no
# recommended packages, so no other emulator is registered. Then it registers
# /usr/bin/qemu-i386 with binfmt_misc as REGISTRATION, for i386 ELF programs, with flag F: the
# kernel opens the emulator once, now, so that chroots use it too. The registration ends with
# the boot; running this again makes it again, and never twice.
#
# It says what it changes. Where it fails, it says why in one line starting with "setup:",
# and leaves nothing behind that it added and could not use: the backports source (apt works
# as before), the binfmt_misc mount, the registration. Called by setup.sh; the README says
# how to undo what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
. setup/packages.sh

# What this run added, and takes back where it fails.
added_source=
mounted=
registered=
undo() {
  local status=$?
  set +e
  setup_exit $status
  [ $status -ne 0 ] || return 0
  if [ -n "$registered" ]; then
    echo -1 | "${as_root[@]}" tee "$BINFMT/$REGISTRATION" >/dev/null 2>&1
  fi
  if [ -n "$mounted" ]; then
    echo "setup: unmounting $BINFMT again"
    "${as_root[@]}" umount "$BINFMT"
  fi
  if [ -n "$added_source" ]; then
    echo "setup: removing $SOURCES again, which could not be used, and fetching the lists"
    "${as_root[@]}" rm -f "$SOURCES"
    lists_fetched=
    fetch_lists
  fi
}
trap undo EXIT
trap 'failed_at="line $LINENO ($BASH_COMMAND)"' ERR

# The major version of a "qemu X.Y.Z (...)" or a Debian "[EPOCH:]X.Y..." version; 0 for none.
major() {
  local version=${1#qemu }
  [[ ! $version =~ ^[0-9]+: ]] || version=${version#*:}
  version=${version%%.*}
  [[ $version =~ ^[0-9]+$ ]] && echo "$version" || echo 0
}

runner=$(python3 -m wineenv runner)
case $runner in
  native) exit 0 ;;
  "qemu "*) [ "$(major "$runner")" -lt 10 ] || exit 0 ;;
esac
if [[ $runner == none* ]]; then
  echo "setup: 32-bit code does not run here (${runner#none: }); 32-bit Wine needs qemu's" \
       "i386 emulator"
else
  echo "setup: 32-bit code runs here through $runner, which starts Wine slowly"
fi

# Whether this machine lets an interpreter be registered: found out before any download.
cannot() {
  fail "$1, so 32-bit programs cannot run here (binfmt_misc needs root and a kernel that" \
       "lets this machine register interpreters; an unprivileged container cannot)"
}
need_root "Registering qemu's i386 emulator with binfmt_misc"
if [ ! -e "$BINFMT/register" ]; then
  [ -d "$BINFMT" ] || cannot "this kernel has no binfmt_misc ($BINFMT is missing)"
  "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
    cannot "binfmt_misc is not mounted at $BINFMT, and cannot be mounted there"
  mounted=yes
  echo "setup: mounted binfmt_misc at $BINFMT"
fi
[ "$(cat "$BINFMT/status" 2>/dev/null)" != disabled ] ||
  fail "binfmt_misc is switched off here (its status says disabled), so no interpreter runs" \
       "32-bit programs; 'echo 1 > $BINFMT/status' as root switches it on again, for every" \
       "interpreter registered there"
# A registration that matches no file and goes again at once.
probe=consoletools-probe
[ ! -e "$BINFMT/$probe" ] || echo -1 | "${as_root[@]}" tee "$BINFMT/$probe" >/dev/null
printf ':%s:M::consoletools\\x00probe::/bin/sh:' "$probe" |
  "${as_root[@]}" tee "$BINFMT/register" >/dev/null 2>&1 ||
  cannot "binfmt_misc at $BINFMT refuses registrations"
echo -1 | "${as_root[@]}" tee "$BINFMT/$probe" >/dev/null

# Whether apt has lists of this suite (by the codename its release file gives).
listed() { [[ $(apt-cache policy 2>/dev/null) == *",n=$1,"* ]]; }
# The version of the qemu-user package that apt would install; with a suite, from there.
candidate() {
  local policy
  policy=$(apt-cache policy "$@" qemu-user 2>/dev/null) || true
  awk '$1 == "Candidate:" && $2 != "(none)" { print $2 }' <<<"$policy"
}
# Adds the release's backports, on the Debian mirror that the sources name, as a file of its
# own, and fetches the lists; removed again (undo) if their list cannot be had.
add_backports() {
  find_mirror
  [ -n "$mirror_site" ] ||
    fail "$(codename) has qemu-user ${candidate:-nowhere}, and the apt sources name no Debian" \
         "mirror for $(codename) on which to add $suite"
  echo "setup: $(codename) has qemu-user ${candidate:-nowhere}; adding $suite from" \
       "$mirror_site to the apt sources, as $SOURCES"
  printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$mirror_site" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg |
    "${as_root[@]}" tee "$SOURCES" >/dev/null
  added_source=yes
  lists_fetched=
  fetch_lists
  listed "$suite" ||
    fail "the package list of $suite could not be fetched from $mirror_site" \
         "($(apt_error "$apt_lists")); $SOURCES is removed again"
}

emulator_version() { "$EMULATOR" --version 2>/dev/null | sed -n '1s/^qemu-i386 version //p'; }
version=$(emulator_version || true)
if [ "$(major "qemu $version")" -lt 10 ]; then
  fetch_lists
  candidate=$(candidate)
  if [ "$(major "$candidate")" -ge 10 ]; then
    echo "setup: installing qemu-user $candidate"
    apt_install --no-install-recommends qemu-user
  else
    suite=$(codename)-backports
    listed "$suite" || add_backports
    from_suite=$(candidate -t "$suite")
    [ "$(major "$from_suite")" -ge 10 ] ||
      fail "neither $(codename) nor $suite has qemu-user 10 or later" \
           "(${candidate:-none}, ${from_suite:-none})"
    echo "setup: installing qemu-user $from_suite from $suite"
    apt_get said install -y -qq --no-install-recommends -t "$suite" qemu-user ||
      fail "apt-get could not install qemu-user from $suite: $(apt_error "$said")"
  fi
  version=$(emulator_version || true)
fi
[ "$(major "qemu $version")" -ge 10 ] ||
  fail "no qemu-i386 of version 10 or later at $EMULATOR after the install (${version:-none})"
# The backports did their part; from here on they stay, as the README says.
added_source=

# One registration of this name: a stale one (disabled, or its emulator gone) goes first.
[ ! -e "$BINFMT/$REGISTRATION" ] || echo -1 | "${as_root[@]}" tee "$BINFMT/$REGISTRATION" >/dev/null
echo "setup: registering $EMULATOR (qemu $version) with binfmt_misc as $REGISTRATION, for" \
     "i386 ELF programs, with flag F (the kernel opens it now, so chroots use it too); it" \
     "lasts until the machine restarts"
printf ':%s:M::%s:%s:%s:F' "$REGISTRATION" "$MAGIC" "$MASK" "$EMULATOR" |
  "${as_root[@]}" tee "$BINFMT/register" >/dev/null 2>&1 ||
  cannot "binfmt_misc at $BINFMT refused the registration of $EMULATOR"
registered=yes

runner=$(python3 -m wineenv runner)
[ "$(major "$runner")" -ge 10 ] ||
  fail "32-bit code still does not run through qemu 10 or later here ($runner), so the" \
       "registration is taken back"
