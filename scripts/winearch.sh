# Sourced by the scripts after setup: picks how the Windows programs run on this machine.
# Where the kernel runs 32-bit code, the 32-bit deliverables run under Wine (preset windows).
# Where it cannot (a kernel with its 32-bit emulation switched off), 32-bit Wine cannot start
# at all; the programs' 64-bit twins then run under 64-bit Wine (preset windows64), built
# from the same sources, and the deliverables are still built and checked statically.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  RUN_PRESET=windows
  WINE=wine
else
  RUN_PRESET=windows64
  WINE=/usr/lib/wine/wine64
  export WINELOADER=$WINE
  echo "note: this kernel cannot run 32-bit programs; the end-to-end runs use the 64-bit twins" \
       "of the programs under 64-bit Wine" >&2
fi
