// Test helper: holds its window station's desktop, and with it Wine's desktop process, until
// its standard input ends; it writes one byte to standard output once the desktop is up.
// Wine starts that process for the first window a desktop needs and waits only 10 s for it.
// Traced, and through an emulator, it can take longer, and the run loses its windows (a
// console without a window, no box); held, it starts once, untraced, and stays.
// Build: part of the windows presets (tests/helpers).
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  GetDesktopWindow();
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "+", 1, &done, nullptr);
  char byte;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &done, nullptr) && done != 0) {
  }
  ExitProcess(0);
}
