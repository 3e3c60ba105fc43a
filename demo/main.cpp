// consoledemo: the entry. Binds to the companion library at run time, greets through it,
// then hands the first argument (a dropped file's path) to it or waits for a key.
#include <windows.h>

#include <cstdint>

#include "argument.hpp"
#include "waitkey.hpp"

namespace demo {
namespace {

using StdOutEntry = void(__stdcall*)(const char* text);
using ClearScreenEntry = void(__stdcall*)();
using TellMeEntry = void(__stdcall*)(HWND owner, const char* text, const char* caption, UINT style);

// The library's name is the tail of the text of the box that reports it missing.
constexpr char kLoadFailure[] = "DLL not found:\r\nVantrel.dll";
constexpr const char* kLibraryName = kLoadFailure + sizeof "DLL not found:\r\n" - 1;
constexpr char kGreeting[] =
    "Hello world!\r\nThis is a simple console application - drag a file over the exe to see "
    "more\r\n";
constexpr char kTellMeCaption[] = "This is also a Windows GUI application:";

HMODULE Module;
StdOutEntry StdOut;
ClearScreenEntry ClearScreen;
TellMeEntry TellMe;
ArgumentStatus Status;
// Holds any argument the platform delivers: a command line has at most 32767 characters,
// and up to two bytes each in a double-byte ANSI code page.
char ArgumentBuffer[65536];

void PrintError(const char* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, length, &written, nullptr);
}

// Reports a binding failure and ends the run with a non-zero status: the box's result, or 1
// when no box could be shown (no desktop), in which case the words go to standard error.
[[noreturn]] void BindingFailure(const char* text, const char* caption) {
  int result = MessageBoxA(nullptr, text, caption, MB_OK);
  if (result == 0 || result == -1) {
    PrintError(caption);
    PrintError(" ");
    PrintError(text);
    PrintError("\r\n");
    result = 1;
  }
  ExitProcess(static_cast<UINT>(result));
}

template <typename Entry>
Entry Resolve(const char* name, const char* missingText, const char* caption) {
  FARPROC address = GetProcAddress(Module, name);
  if (address == nullptr) BindingFailure(missingText, caption);
  return reinterpret_cast<Entry>(reinterpret_cast<void*>(address));
}

ArgumentStatus GetArgument(std::uint32_t n, char* destination, std::uint32_t capacity) {
  return ExtractArgument(GetCommandLineA(), n, destination, capacity);
}

}  // namespace
}  // namespace demo

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  using namespace demo;
  Module = LoadLibraryA(kLibraryName);
  if (Module == nullptr) BindingFailure(kLoadFailure, "DEMO");
  Status = GetArgument(1, ArgumentBuffer, sizeof ArgumentBuffer);
  StdOut = Resolve<StdOutEntry>("StdOut", "StdOut not found", "DEMO");
  ClearScreen = Resolve<ClearScreenEntry>("ClearScreen", "ClearScreen not found", "DEMO");
  TellMe = Resolve<TellMeEntry>("TellMe", "TellMe not found", "DLL entry not found:");

  StdOut(kGreeting);
  if (Status == ArgumentStatus::Found) {
    TellMe(nullptr, ArgumentBuffer, kTellMeCaption, 0);
  } else {
    WaitKey();
  }
  FreeLibrary(Module);
  ExitProcess(0);
}
