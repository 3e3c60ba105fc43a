#!/usr/bin/env bash
# Where this kernel cannot run 32-bit x86 code (its 32-bit emulation switched off), makes it
# run such code through qemu's user-mode i386 emulator, so that 32-bit Wine, and with it the
# programs that ship, runs here as anywhere else. Does nothing where 32-bit code runs
# natively, or through qemu 10 or later already.
#
# It provides qemu-user of version 10 or later from Debian's packages (older ones take about
# 40 s for each Wine start): from the release where it has one, else from the release's own
# backports, which it adds to the apt sources as a file of its own. It installs no
# recommended packages, so no other emulator is registered. Then it registers
# /usr/bin/qemu-i386 with binfmt_misc as REGISTRATION, for i386 ELF programs, with flag F:
# the kernel opens the emulator once, now, so that chroots use it too. The registration
# ends with the boot; running this again makes it again, and never twice. Called by
# setup.sh; needs root, and uses sudo otherwise. The README says how to undo it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

REGISTRATION=consoletools-i386
EMULATOR=/usr/bin/qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc
SOURCES=/etc/apt/sources.list.d/consoletools-backports.sources
# The ELF header of a 32-bit x86 program or shared object, and the bits of it that count.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# The major version of a "qemu X.Y.Z (...)" or a Debian "[EPOCH:]X.Y..." version; 0 for none.
major() {
  local version=${1#qemu }
  [[ ! $version =~ ^[0-9]+: ]] || version=${version#*:}
  version=${version%%.*}
  [[ $version =~ ^[0-9]+$ ]] && echo "$version" || echo 0
}

runner=$(python3 scripts/wineenv.py runner)
case $runner in
  native) exit 0 ;;
  "qemu "*) [ "$(major "$runner")" -lt 10 ] || exit 0 ;;
esac
if [ "$runner" = none ]; then
  echo "setup: this kernel cannot run 32-bit code; 32-bit Wine needs qemu's i386 emulator"
else
  echo "setup: 32-bit code runs here through $runner, which starts Wine slowly"
fi

emulator_version() { "$EMULATOR" --version 2>/dev/null | sed -n '1s/^qemu-i386 version //p'; }
if [ "$(major "qemu $(emulator_version)")" -lt 10 ]; then
  fetch_lists
  candidate=$(apt-cache policy qemu-user | awk '/Candidate:/ { print $2 }')
  if [ "$(major "$candidate")" -ge 10 ]; then
    echo "setup: installing qemu-user $candidate"
    apt_install --no-install-recommends qemu-user
  else
    suite=$(codename)-backports
    if ! apt-cache policy | grep -q "n=$suite,"; then
      echo "setup: $(codename) has qemu-user ${candidate:-nowhere}; adding $suite to the apt" \
           "sources, as $SOURCES"
      printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
        "$(mirror)" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg |
        "${as_root[@]}" tee "$SOURCES" >/dev/null
      lists_fetched=
      fetch_lists
    fi
    echo "setup: installing qemu-user from $suite"
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      --no-install-recommends -t "$suite" qemu-user >/dev/null
  fi
fi
version=$(emulator_version)
if [ "$(major "qemu $version")" -lt 10 ]; then
  echo "setup: no qemu-i386 of version 10 or later at $EMULATOR (${version:-none})" >&2
  exit 1
fi

cannot() {
  echo "setup: $1, so 32-bit programs cannot run here (binfmt_misc needs root and a kernel" \
       "that lets this machine register interpreters; an unprivileged container cannot)" >&2
  exit 1
}
[ -e "$BINFMT/register" ] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$BINFMT" ||
  cannot "binfmt_misc cannot be mounted at $BINFMT"
# One registration of this name: a stale one (disabled, or its emulator gone) goes first.
[ ! -e "$BINFMT/$REGISTRATION" ] || echo -1 | "${as_root[@]}" tee "$BINFMT/$REGISTRATION" >/dev/null
echo "setup: registering $EMULATOR (qemu $version) with binfmt_misc as $REGISTRATION, for" \
     "i386 ELF programs, with flag F (the kernel opens it now, so chroots use it too); it" \
     "lasts until the machine restarts"
printf ':%s:M::%s:%s:%s:F' "$REGISTRATION" "$MAGIC" "$MASK" "$EMULATOR" |
  "${as_root[@]}" tee "$BINFMT/register" >/dev/null || cannot "the registration was refused"

runner=$(python3 scripts/wineenv.py runner)
if [ "$(major "$runner")" -lt 10 ]; then
  echo "setup: 32-bit code still does not run through qemu 10 or later here ($runner)" >&2
  exit 1
fi
