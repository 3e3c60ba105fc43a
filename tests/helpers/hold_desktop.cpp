// Test helper: holds its window station's desktop, and with it Wine's desktop process, until
// its standard input ends. It writes one byte to standard output: "+" once the desktop is up,
// "-" where it did not come up (no desktop window), and then ends.
// Wine starts that process for the first window a desktop needs and waits only 10 s for it.
// Traced, and through an emulator, it can take longer, and the run loses its windows (a
// console without a window, no box); held, it starts once, untraced, and stays.
// Build: part of the windows presets (tests/helpers).
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  const bool up = IsWindow(GetDesktopWindow());
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), up ? "+" : "-", 1, &done, nullptr);
  if (!up) {
    ExitProcess(1);
  }
  char byte;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &done, nullptr) && done != 0) {
  }
  ExitProcess(0);
}
