#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's packages, when missing:
# the MinGW-w64 cross compiler, 32-bit Wine, CMake, GoogleTest, Google Benchmark, clang with
# libFuzzer, Python 3 with pefile, tmux, and Xvfb, xdotool and ImageMagick for the desktop
# tests and the README's pictures.
set -euo pipefail

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

missing=()
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
have cmake || missing+=(cmake)
have make || missing+=(make)
have g++ || missing+=(g++)
have python3 || missing+=(python3)
have tmux || missing+=(tmux)
have clang || missing+=(clang)
installed libgtest-dev || missing+=(libgtest-dev)
installed libbenchmark-dev || missing+=(libbenchmark-dev)
installed libclang-rt-14-dev || missing+=(libclang-rt-14-dev)
installed python3-pefile || missing+=(python3-pefile)
have Xvfb || missing+=(xvfb)
have xdotool || missing+=(xdotool)
installed imagemagick || missing+=(imagemagick)
installed wine || missing+=(wine)
installed wine32:i386 || missing+=(wine32:i386)

# Installs packages; where the security updates' list for one architecture is missing, the
# i386 and amd64 copies of a library cannot reach the same version, so it tries again with
# the release's own versions, which exist for both.
apt_install() {
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "$@" >/dev/null ||
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$@" >/dev/null
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  # A list that cannot be fetched (a mirror in the middle of a sync) leaves the others usable.
  "${as_root[@]}" apt-get update -qq || echo "setup: some package lists could not be fetched" >&2
  apt_install "${missing[@]}"
fi

# A kernel with its 32-bit emulation switched off cannot start 32-bit Wine: the tests then
# run 64-bit twins of the programs, which need the 64-bit compiler and Wine.
if [ "$(python3 "$(dirname "$0")/wineenv.py" preset)" = windows64 ]; then
  twins=()
  have x86_64-w64-mingw32-g++ || twins+=(g++-mingw-w64-x86-64)
  installed wine64 || twins+=(wine64)
  if [ ${#twins[@]} -gt 0 ]; then
    echo "setup: this kernel cannot run 32-bit programs; installing ${twins[*]}"
    apt_install "${twins[@]}"
  fi
fi
