# Installing from Debian's packages, for the scripts that source this file: setup.sh,
# qemu-i386.sh for the emulator, and debian13.sh for debootstrap. Uses sudo when not run as
# root.

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

# Fetches the package lists, once per script. A list that cannot be fetched (a mirror in the
# middle of a sync) leaves the others usable.
lists_fetched=
fetch_lists() {
  [ -z "$lists_fetched" ] || return 0
  "${as_root[@]}" apt-get update -qq || echo "setup: some package lists could not be fetched" >&2
  lists_fetched=yes
}

# Installs packages; where the security updates' list for one architecture is missing, the
# i386 and amd64 copies of a library cannot reach the same version, so it tries again with
# the release's own versions, which exist for both.
apt_install() {
  fetch_lists
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "$@" >/dev/null ||
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      -t "$(codename)" "$@" >/dev/null
}

codename() { (. /etc/os-release && echo "$VERSION_CODENAME"); }

# The first mirror that this machine's apt sources take its own release from: the Debian
# archive, which serves the other releases and the backports too. apt itself reads the
# sources, in either format, with their options, but names only the sources whose lists it
# has fetched.
listed_mirror() {
  apt-get indextargets --format '$(SITE) $(RELEASE)' |
    awk -v c="$(codename)" '$2 == c && !found { print $1; found = 1 }'
}
mirror() {
  [ -n "$(listed_mirror)" ] || fetch_lists
  listed_mirror
}
