#!/bin/sh
# Started by ccbridge.exe under Wine: runs the Linux cross compiler, then reports its exit
# status in ccbridge.status (written whole, then renamed, so the waiter never reads half).
${CROSS_CC:-i686-w64-mingw32-gcc} "$@"
echo $? > ccbridge.status.part
mv ccbridge.status.part ccbridge.status
