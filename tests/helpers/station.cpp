// Test helper: runs a program on the desktop of a new window station, as a service or build
// agent does, where nobody sees a box, and ends it if it is still running after a bounded
// wait, so that a run that blocks fails its test instead of hanging it.
// Usage: station.exe <milliseconds> <hex of the exact command line>
// Build: part of the windows presets (tests/helpers).
// Exit status: the program's, or 124 when it had to be ended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "hexline.hpp"

int main(int argc, char** argv) {
  if (argc != 3) return 255;
  const DWORD bound = std::strtoul(argv[1], nullptr, 10);
  static char line[70000];
  if (!DecodeHexLine(argv[2], line, sizeof line)) return 255;

  // A desktop is created on the caller's own window station, so switch to the new one for it.
  HWINSTA own = GetProcessWindowStation();
  HWINSTA station = CreateWindowStationA("agent", 0, WINSTA_ALL_ACCESS, nullptr);
  if (station == nullptr || !SetProcessWindowStation(station)) {
    std::fprintf(stderr, "station: no window station (%lu)\n", GetLastError());
    return 254;
  }
  HDESK desktop = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  if (desktop == nullptr) {
    std::fprintf(stderr, "station: no desktop (%lu)\n", GetLastError());
    return 254;
  }

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<char*>("agent\\Default");
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "station: CreateProcessA failed (%lu)\n", GetLastError());
    return 254;
  }
  if (WaitForSingleObject(process.hProcess, bound) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 124);
    WaitForSingleObject(process.hProcess, 5000);
    std::fprintf(stderr, "station: still running after %lu ms, ended\n", bound);
    return 124;
  }
  DWORD status = 253;
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}
