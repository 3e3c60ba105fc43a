// Stand-in for the companion library Vantrel.dll, so that the demo can run and be tested.
// Exports StdOut(text), ClearScreen() and TellMe(owner, text, caption, style), stdcall.
// Built with VANTREL_RECORD it also appends every call, with its arguments in hex, to
// vantrel-calls.log in the current directory, for the tests.
#include <windows.h>

namespace {

DWORD Length(const char* text) {
  DWORD n = 0;
  while (text[n] != 0) ++n;
  return n;
}

void Write(const char* text) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, Length(text), &written, nullptr);
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
  Write(text);
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
  const int shown = MessageBoxA(owner, text, caption, style);
  if (shown == 0 || shown == -1) {  // no desktop: tell it on the console instead
    Write(caption);
    Write("\r\n");
    Write(text);
    Write("\r\n");
  }
}

}  // extern "C"
