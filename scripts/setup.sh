#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's packages, when missing:
# the MinGW-w64 cross compiler, 32-bit Wine (and, where the kernel cannot run 32-bit code,
# qemu's i386 emulator, through qemu-i386.sh), CMake, GoogleTest, Google Benchmark, clang with
# libFuzzer, Python 3 with pefile, git, tmux, and Xvfb, xdotool and ImageMagick for the
# desktop tests and the README's pictures. The package names are the same on Debian 12 and
# 13; where a versioned name has a version-free one, the version-free one is used.
set -euo pipefail

. "$(dirname "$0")/packages.sh"

missing=()

have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
have cmake || missing+=(cmake)
have make || missing+=(make)
have g++ || missing+=(g++)
have git || missing+=(git)
have python3 || missing+=(python3)
have tmux || missing+=(tmux)
have clang || missing+=(clang)
installed libgtest-dev || missing+=(libgtest-dev)
installed libbenchmark-dev || missing+=(libbenchmark-dev)
installed libclang-rt-dev || missing+=(libclang-rt-dev)
installed python3-pefile || missing+=(python3-pefile)
have Xvfb || missing+=(xvfb)
have xdotool || missing+=(xdotool)
installed imagemagick || missing+=(imagemagick)
installed wine || missing+=(wine)
installed wine32:i386 || missing+=(wine32:i386)

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  apt_install "${missing[@]}"
fi

# A kernel that cannot run 32-bit code runs it through qemu, registered with binfmt_misc.
bash "$(dirname "$0")/qemu-i386.sh"
