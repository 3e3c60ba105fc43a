// Test helper: a second program of ours, built by the same rules and so loaded at the same
// base as the programs under test, that makes the calls their tests look for (CreateFileA of
// the marker, GetTickCount, WriteFile to standard error, CloseHandle) before and after it runs
// a child. A relay trace of one such run holds two processes whose calls return into the same
// addresses, so that a test can show the trace reader keeps only the child's.
// Usage: decoy.exe <the child's command line, as is>   Exit status: the child's, or 255.
// Build: part of the windows presets (tests/helpers).
#include <windows.h>

namespace {

// The command line after the decoy's own name, which may be quoted.
char* ChildCommandLine() {
  char* p = GetCommandLineA();
  bool quoted = false;
  for (; *p != 0 && (quoted || *p != ' '); ++p) quoted ^= *p == '"';
  while (*p == ' ') ++p;
  return p;
}

void Decoy() {
  HANDLE marker = CreateFileA("Morvit.tmp", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  static const char kWords[] = "decoy\r\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kWords, sizeof kWords - 1, &written, nullptr);
  GetTickCount();
}

}  // namespace

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  Decoy();
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  DWORD status = 255;
  if (CreateProcessA(nullptr, ChildCommandLine(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &child)) {
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  Decoy();
  ExitProcess(status);
}
