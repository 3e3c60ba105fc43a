"""The programs' texts that the tests look for, in one place: the timing line as
timer/main.cpp writes it, in its two pieces around the decimal time. A change of the line
changes the program, the users' guide (docs/README.txt shows it: e2e.test_package.Guide
fails where the guide is missed) and these pieces (e2e.test_timer.StopRun fails where they
are missed)."""
import re

TIMING_START = b"*** Assembling and linking took "
TIMING_END = b" milliseconds ***\r\n"
# The whole line; its group is the time, which may be negative.
TIMING = re.compile(re.escape(TIMING_START) + rb"(-?\d+)" + re.escape(TIMING_END))
