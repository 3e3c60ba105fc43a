// consoledemo: the entry. Binds to the companion library at run time, greets through it,
// then hands the first argument (a dropped file's path) to it or, where someone can press
// one, waits for a key.
// Build just this program: cmake --build --preset windows --target consoledemo
#include <windows.h>

#include <cstdint>

#include "argument.hpp"
#include "reportline.hpp"
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

// Whether someone can see a box: the window station is interactive, or its flags cannot be
// read (then it counts as interactive, as before the check existed).
bool StationIsVisible() {
  USEROBJECTFLAGS flags;
  DWORD needed;
  return !GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                    &needed) ||
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Whether a person can press a key: the process's console has a window (IsWindow also says
// no to null, the answer where there is none) on a window station that someone sees. Build
// agents start programs with CREATE_NO_WINDOW, which gives a console with no window, and
// nobody types into it; on Windows 10 1809 GetConsoleWindow returns a value there that is no
// window. A service's console on its hidden station may have a window that nobody sees.
bool SomeoneCanPressAKey() {
  return IsWindow(GetConsoleWindow()) && StationIsVisible();
}

// Shows text in a box under caption and returns the button pressed. On a window station
// that nobody sees (a service, a build agent) no box is shown, because it would wait for a
// click that never comes; there, and when the box cannot be shown, "caption text" and CR LF
// go to standard error in one write, and the result is 0.
int Report(const char* text, const char* caption) {
  // A box that was shown returns the button pressed (positive); 0 or -1 means it was not.
  if (StationIsVisible()) {
    const int result = MessageBoxA(nullptr, text, caption, MB_OK);
    if (result > 0) return result;
  }
  // One write, so that parallel build steps sharing the log cannot split the line.
  char line[kReportLineSize];
  const DWORD length = ComposeReport(caption, text, line, sizeof line);
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, length, &written, nullptr);
  return 0;
}

// Reports a binding failure and ends the run with a non-zero status: the box's result, or 1
// when no box was shown.
[[noreturn]] void BindingFailure(const char* text, const char* caption) {
  const int result = Report(text, caption);
  ExitProcess(result > 0 ? static_cast<UINT>(result) : 1);
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
  // Takes the current directory out of the library search, so that a Vantrel.dll lying in
  // whatever folder the user works in is never loaded; the program's folder, the system
  // folders and PATH still serve, in the same order. A failure leaves the search as it was.
  SetDllDirectoryA("");
  Module = LoadLibraryA(kLibraryName);
  if (Module == nullptr) BindingFailure(kLoadFailure, "DEMO");
  Status = GetArgument(1, ArgumentBuffer, sizeof ArgumentBuffer);
  StdOut = Resolve<StdOutEntry>("StdOut", "StdOut not found", "DEMO");
  // Never called, but required: a library without it is not the companion library.
  ClearScreen = Resolve<ClearScreenEntry>("ClearScreen", "ClearScreen not found", "DEMO");
  TellMe = Resolve<TellMeEntry>("TellMe", "TellMe not found", "DLL entry not found:");

  StdOut(kGreeting);
  // Where nobody can press a key, a wait would never end: the run goes on as after a key.
  if (Status == ArgumentStatus::Found) {
    TellMe(nullptr, ArgumentBuffer, kTellMeCaption, 0);
  } else if (SomeoneCanPressAKey()) {
    WaitKey();
  }
  FreeLibrary(Module);
  ExitProcess(0);
}
