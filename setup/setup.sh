#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's packages, when missing:
# the MinGW-w64 cross compiler, 32-bit Wine (and, where the kernel cannot run 32-bit code,
# qemu's i386 emulator, through qemu-i386.sh), CMake, GoogleTest, Google Benchmark, clang with
# libFuzzer, Python 3 with pefile, git, tmux, Xvfb, xdotool and ImageMagick for the desktop
# tests and the README's pictures, shellcheck, flake8 and clang-format for the lint, and
# mmdebstrap for the throwaway Debian roots of the setup's own tests. The
# package names are the same on Debian 12 and 13; where a versioned name has a version-free
# one, the version-free one is used.
#
# Where the kernel cannot run 32-bit code, the emulator comes first: whether this machine lets
# it be registered is found out before the rest is downloaded. A failure ends with one line
# on standard error that starts with "setup:" and says why.
set -euo pipefail

# shellcheck source=setup/packages.sh
. "$(dirname "$0")/packages.sh"
trap 'setup_exit $?' EXIT
trap 'failed_at="line $LINENO ($BASH_COMMAND)"' ERR

# Asking what runs 32-bit code here takes Python.
if ! have python3; then
  need_root "Installing python3"
  echo "setup: installing python3"
  apt_install python3
fi
# A kernel that cannot run 32-bit code runs it through qemu, registered with binfmt_misc. Its
# own line says why where that cannot be done.
bash "$(dirname "$0")/qemu-i386.sh" || { reason_given=yes; exit 1; }

missing=()

have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
have cmake || missing+=(cmake)
have make || missing+=(make)
have g++ || missing+=(g++)
have git || missing+=(git)
have tmux || missing+=(tmux)
have clang || missing+=(clang)
installed libgtest-dev || missing+=(libgtest-dev)
installed libbenchmark-dev || missing+=(libbenchmark-dev)
installed libclang-rt-dev || missing+=(libclang-rt-dev)
installed python3-pefile || missing+=(python3-pefile)
have Xvfb || missing+=(xvfb)
have xdotool || missing+=(xdotool)
have shellcheck || missing+=(shellcheck)
have flake8 || missing+=(flake8)
have clang-format || missing+=(clang-format)
have mmdebstrap || missing+=(mmdebstrap)
installed imagemagick || missing+=(imagemagick)
installed wine || missing+=(wine)
installed wine32:i386 || missing+=(wine32:i386)

if [ ${#missing[@]} -gt 0 ]; then
  need_root "Installing ${missing[*]}"
  if [[ $(dpkg --print-foreign-architectures) != *i386* ]]; then
    echo "setup: adding the i386 architecture to dpkg, for 32-bit Wine"
    "${as_root[@]}" dpkg --add-architecture i386
    lists_fetched=
  fi
  echo "setup: installing ${missing[*]}"
  apt_install "${missing[@]}"
fi
