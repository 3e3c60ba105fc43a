// Test helper: prints the system tick count in decimal, so that a test can bracket the tick
// count that a timer run records.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  char text[12];
  char* end = text + sizeof text;
  char* p = end;
  DWORD ticks = GetTickCount();
  do {
    *--p = static_cast<char>('0' + ticks % 10);
    ticks /= 10;
  } while (ticks != 0);
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), p, static_cast<DWORD>(end - p), &written, nullptr);
  ExitProcess(0);
}
