// Test helper: runs the demo's key wait (demo/waitkey.cpp, compiled unchanged) on scripted
// key codes instead of the console, because Wine's console never hands a function key to
// _getch. Each number on the command line is what one _getch call returns, -1 once they run
// out. Prints "calls code extended": how many codes the wait read, and what it returned.
// Usage: waitkey_probe.exe CODE...   Build: part of the windows presets (tests/helpers).
#include <cstdio>
#include <cstdlib>

#include "waitkey.hpp"

namespace {

int Script[16];
int ScriptLength;
int Calls;

int __cdecl ScriptedGetch() {
  const int call = Calls++;
  return call < ScriptLength ? Script[call] : -1;
}

}  // namespace

// The key wait calls msvcrt's _getch through its import pointer; this program supplies that
// pointer, so the wait reads the script.
#ifdef _WIN64
#define GETCH_IMPORT "__imp__getch"
#else
#define GETCH_IMPORT "__imp___getch"
#endif
extern "C" int(__cdecl* const ScriptedGetchImport)() __asm__(GETCH_IMPORT) = ScriptedGetch;

int main(int argc, char** argv) {
  for (int i = 1; i < argc && ScriptLength < 16; ++i) {
    Script[ScriptLength++] = std::atoi(argv[i]);
  }
  const demo::Key key = demo::WaitKey();
  std::printf("%d %u %u\n", Calls, key.code, key.extended);
  return 0;
}
