// Stand-in for the companion library Vantrel.dll, so that the demo can run and be tested.
// Exports StdOut(text), ClearScreen() and TellMe(owner, text, caption, style), stdcall.
// TellMe shows a box where someone can see one, and tells the console otherwise.
// Built with VANTREL_RECORD it also appends every call, with its arguments in hex, to
// vantrel-calls.log in the current directory, for the tests.
#include <windows.h>

namespace {

DWORD Length(const char* text) {
  DWORD n = 0;
  while (text[n] != 0) ++n;
  return n;
}

void Write(const char* text, DWORD length) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

// Whether someone can see a box, decided as the demo decides it: the window station is
// interactive, or its flags cannot be read.
bool BoxCanBeSeen() {
  USEROBJECTFLAGS flags;
  DWORD needed;
  if (!GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                 &needed)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// What a box would show, as "caption text" and CR LF on the console, in one write so that
// other output sharing the console cannot split it. A text too long is cut.
void TellOnConsole(const char* caption, const char* text) {
  static char line[65536 + 64];  // any dropped path the demo can pass, with its caption
  const DWORD room = sizeof line - 2;
  DWORD n = 0;
  const char* const parts[] = {caption, " ", text};
  for (const char* part : parts) {
    for (; *part != 0 && n < room; ++part) line[n++] = *part;
  }
  line[n++] = '\r';
  line[n++] = '\n';
  Write(line, n);
}

#ifdef VANTREL_RECORD
void Record(const char* call, const void* const* texts, int textCount, const DWORD* values,
            int valueCount) {
  HANDLE log = CreateFileA("vantrel-calls.log", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  static char line[1 << 18];
  static const char digits[] = "0123456789abcdef";
  DWORD n = 0;
  for (const char* c = call; *c != 0; ++c) line[n++] = *c;
  for (int i = 0; i < valueCount; ++i) {
    line[n++] = ' ';
    for (int shift = 28; shift >= 0; shift -= 4) line[n++] = digits[(values[i] >> shift) & 15];
  }
  for (int i = 0; i < textCount; ++i) {
    line[n++] = ' ';
    const auto* t = static_cast<const unsigned char*>(texts[i]);
    for (; *t != 0 && n < sizeof line - 4; ++t) {
      line[n++] = digits[*t >> 4];
      line[n++] = digits[*t & 15];
    }
  }
  line[n++] = '\n';
  DWORD written;
  WriteFile(log, line, n, &written, nullptr);
  CloseHandle(log);
}
#endif

}  // namespace

extern "C" {

void __stdcall StdOut(const char* text) {
#ifdef VANTREL_RECORD
  const void* texts[] = {text};
  Record("StdOut", texts, 1, nullptr, 0);
#endif
  Write(text, Length(text));
}

void __stdcall ClearScreen() {
#ifdef VANTREL_RECORD
  Record("ClearScreen", nullptr, 0, nullptr, 0);
#endif
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(console, &info)) return;
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  const COORD home = {0, 0};
  DWORD done;
  FillConsoleOutputCharacterA(console, ' ', cells, home, &done);
  FillConsoleOutputAttribute(console, info.wAttributes, cells, home, &done);
  SetConsoleCursorPosition(console, home);
}

void __stdcall TellMe(HWND owner, const char* text, const char* caption, UINT style) {
#ifdef VANTREL_RECORD
  const void* texts[] = {text, caption};
  const DWORD values[] = {static_cast<DWORD>(reinterpret_cast<UINT_PTR>(owner)), style};
  Record("TellMe", texts, 2, values, 2);
#endif
  // No box where nobody can see it: it would wait for a click that never comes. A box that
  // was shown returns the button pressed; 0 or -1 means it was not.
  if (BoxCanBeSeen() && MessageBoxA(owner, text, caption, style) > 0) return;
  TellOnConsole(caption, text);
}

}  // extern "C"
