// Benchmark baseline: a program without C runtime that only exits.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  ExitProcess(0);
}
