// File slots: opens that report their own failure, reads and writes by slot, bulk close.
#include "fileslots.hpp"

#include "report.hpp"
#include "text.hpp"

namespace timer {

HANDLE FileSlot[kFileSlots];

namespace {

// Reports the file name under a caption naming the problem, then ends the run with status
// 0, which build scripts rely on.
[[noreturn]] void Fatal(const char* name, const char* caption) {
  Report(name, caption);
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

BOOL WriteToSlot(std::uint32_t slot, const void* source, std::uint32_t count, DWORD* written) {
  if (count == 0) count = MeasureText(static_cast<const char*>(source));
  DWORD done = 0;
  const BOOL ok = WriteFile(FileSlot[slot], source, count, &done, nullptr);
  if (written != nullptr) *written = done;
  return ok;
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
