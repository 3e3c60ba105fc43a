// Test helper: starts a program with an exact command line and returns its exit status.
// The line comes hex-encoded as the only argument, because Wine re-quotes Unix arguments.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) return 255;
  static char line[70000];
  const std::size_t hexLength = std::strlen(argv[1]);
  if (hexLength % 2 != 0 || hexLength / 2 >= sizeof line) return 255;
  for (std::size_t i = 0; i < hexLength / 2; ++i) {
    unsigned value;
    if (std::sscanf(argv[1] + 2 * i, "%2x", &value) != 1) return 255;
    line[i] = static_cast<char>(value);
  }
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
