// The timer's numbered file slots: every file is opened, used and closed by slot number.
#pragma once

#include <windows.h>

#include <cstdint>

namespace timer {

constexpr std::uint32_t kFileSlots = 10;
extern HANDLE FileSlot[kFileSlots];

// Open routines return only on success; on failure they report the file and end the run.
HANDLE OpenForInput(std::uint32_t slot, const char* name);
HANDLE OpenForOutput(std::uint32_t slot, const char* name);

BOOL ReadFromSlot(std::uint32_t slot, void* destination, std::uint32_t count);
// A count of 0 writes the text at source without its terminator. The bytes written go to
// *written when it is given.
BOOL WriteToSlot(std::uint32_t slot, const void* source, std::uint32_t count,
                 DWORD* written = nullptr);

void CloseSlot(std::uint32_t slot);
void CloseAllSlots();

}  // namespace timer
