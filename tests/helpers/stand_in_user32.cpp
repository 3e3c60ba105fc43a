// Test helper: a user32.dll that answers what Wine cannot be made to answer. The flags of its
// window station cannot be read, so that a test can check that the programs then still try
// their box; and IsWindow knows no window, as Windows 10 1809 answers for the value its
// GetConsoleWindow returns in a console that has none, so that a test can check that the
// demo then waits for no key. Loaded beside one program instead of the system's through a
// per-program DLL override; exports only the four functions the programs import from user32.
// Its MessageBoxA shows nothing: it appends the text and the caption, each ended by a NUL
// byte, to messageboxes.log in the current directory, and answers OK. No C runtime, so that
// nothing else is loaded with it.
// Built by tests/helpers/CMakeLists.txt as bin/stand-in/user32.dll.
#define WIN32_LEAN_AND_MEAN
#define NOUSER  // this file defines the user32 functions itself
#include <windows.h>

namespace {

void Append(HANDLE log, const char* text) {
  DWORD written;
  WriteFile(log, text, lstrlenA(text) + 1, &written, nullptr);  // with its NUL
}

}  // namespace

extern "C" {

BOOL __stdcall DllMainCRTStartup(HINSTANCE, DWORD, void*) {
  return TRUE;
}

HANDLE __stdcall GetProcessWindowStation() {
  return reinterpret_cast<HANDLE>(0x1234);  // any handle: the query on it fails anyway
}

BOOL __stdcall GetUserObjectInformationA(HANDLE, int, void*, DWORD, DWORD*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL __stdcall IsWindow(HWND) {
  return FALSE;
}

int __stdcall MessageBoxA(HWND, const char* text, const char* caption, UINT) {
  HANDLE log = CreateFileA("messageboxes.log", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    Append(log, text);
    Append(log, caption);
    CloseHandle(log);
  }
  return 1;  // IDOK
}

}  // extern "C"
