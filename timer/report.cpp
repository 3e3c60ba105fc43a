// Failure reports: a box on an interactive window station, standard error elsewhere.
#include "report.hpp"

#include <windows.h>

#include "console.hpp"
#include "text.hpp"

namespace timer {

namespace {

HWND OwnerWindow;  // never set on purpose: the boxes have no owner window

// Whether someone can see a box: the window station is interactive, or its flags cannot be
// read (then it counts as interactive, as before the check existed).
bool StationIsVisible() {
  USEROBJECTFLAGS flags;
  DWORD needed;
  return !GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                    &needed) ||
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void Report(const char* text, const char* caption) {
  // A box that was shown returns the button pressed (positive); 0 or -1 means it was not.
  if (StationIsVisible() && MessageBoxA(OwnerWindow, text, caption, MB_OK) > 0) return;
  // One write, so that parallel build steps sharing the log cannot split the line.
  alignas(4) char line[kReportLineSize];
  ReportLine(caption, text, line, sizeof line);
  PrintError(line);
}

}  // namespace timer
