// Test helper: runs a program as a build agent does, and ends it if it is still running after
// a bounded wait, so that a run that blocks fails its test instead of hanging it.
// By default the program runs on the desktop of a new window station, as under an agent that
// is a service, where nobody sees a box.
// Usage: station.exe [agent] [own] <milliseconds> <hex of the exact command line>
//   agent  start it as agents start programs (.NET's Process.Start with CreateNoWindow, Java's
//          ProcessBuilder): CREATE_NO_WINDOW, so that its console has no window and nobody
//          types into it; standard input on NUL, standard output and error the caller's
//   own    on the caller's own window station, as an agent in a logged-on session
// Build: part of the windows presets (tests/helpers).
// Exit status: the program's, or 124 when it had to be ended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hexline.hpp"

namespace {

// An inheritable copy of a handle of this process, for the child's standard handles.
HANDLE Inheritable(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

}  // namespace

int main(int argc, char** argv) {
  bool agent = false, own = false;
  int next = 1;
  for (; next < argc; ++next) {
    if (std::strcmp(argv[next], "agent") == 0) {
      agent = true;
    } else if (std::strcmp(argv[next], "own") == 0) {
      own = true;
    } else {
      break;
    }
  }
  if (argc - next != 2) return 255;
  const DWORD bound = std::strtoul(argv[next], nullptr, 10);
  static char line[70000];
  if (!DecodeHexLine(argv[next + 1], line, sizeof line)) return 255;

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!own) {
    // A desktop is created on the caller's own window station, so switch to the new one for
    // it.
    HWINSTA callers = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationA("agent", 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr || !SetProcessWindowStation(station)) {
      std::fprintf(stderr, "station: no window station (%lu)\n", GetLastError());
      return 254;
    }
    HDESK desktop = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(callers);
    if (desktop == nullptr) {
      std::fprintf(stderr, "station: no desktop (%lu)\n", GetLastError());
      return 254;
    }
    startup.lpDesktop = const_cast<char*>("agent\\Default");
  }
  DWORD flags = 0;
  if (agent) {
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherited, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = Inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
    startup.hStdError = Inheritable(GetStdHandle(STD_ERROR_HANDLE));
    flags = CREATE_NO_WINDOW;
  }

  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
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
