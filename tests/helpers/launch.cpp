// Test helper: starts a program with an exact command line and returns its exit status.
// The line comes hex-encoded as the only argument, because Wine re-quotes Unix arguments.
#include <windows.h>

#include <cstdio>

#include "hexline.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 255;
  static char line[70000];
  if (!DecodeHexLine(argv[1], line, sizeof line)) return 255;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "launch: CreateProcessA failed (%lu)\n", GetLastError());
    return 254;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 253;
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}
