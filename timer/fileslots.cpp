// File slots: opens that report their own failure, reads and writes by slot, bulk close.
#include "fileslots.hpp"

#include "console.hpp"
#include "text.hpp"

namespace timer {

HANDLE FileSlot[kFileSlots];

namespace {

HWND OwnerWindow;  // never set: the boxes have no owner

// Shows the file name under a caption naming the problem, then ends the run with status 0,
// which build scripts rely on. A box that cannot be shown (no desktop) is not silent: the
// same words go to standard error.
[[noreturn]] void Fatal(const char* name, const char* caption) {
  if (MessageBoxA(OwnerWindow, name, caption, MB_OK) != IDOK) {
    PrintError(caption);
    PrintError(" ");
    PrintError(name);
    PrintError("\r\n");
  }
  ExitProcess(0);
}

HANDLE Open(std::uint32_t slot, const char* name, DWORD access, DWORD disposition,
            const char* caption) {
  HANDLE h = CreateFileA(name, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  FileSlot[slot] = h;
  if (h == INVALID_HANDLE_VALUE) Fatal(name, caption);
  return h;
}

}  // namespace

HANDLE OpenForInput(std::uint32_t slot, const char* name) {
  return Open(slot, name, GENERIC_READ, OPEN_EXISTING, "File not found:");
}

HANDLE OpenForOutput(std::uint32_t slot, const char* name) {
  return Open(slot, name, GENERIC_WRITE, CREATE_ALWAYS, "Could not open:");
}

BOOL ReadFromSlot(std::uint32_t slot, void* destination, std::uint32_t count) {
  DWORD done;
  return ReadFile(FileSlot[slot], destination, count, &done, nullptr);
}

BOOL WriteToSlot(std::uint32_t slot, const void* source, std::uint32_t count) {
  if (count == 0) count = MeasureText(static_cast<const char*>(source));
  DWORD done;
  return WriteFile(FileSlot[slot], source, count, &done, nullptr);
}

void CloseSlot(std::uint32_t slot) {
  if (FileSlot[slot] == nullptr) return;
  CloseHandle(FileSlot[slot]);
  FileSlot[slot] = nullptr;
}

void CloseAllSlots() {
  for (std::uint32_t slot = kFileSlots; slot-- > 0;) CloseSlot(slot);
}

}  // namespace timer
