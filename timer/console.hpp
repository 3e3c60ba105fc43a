// Console output and the numbered string slots of the build timer.
#pragma once

#include <cstdint>

namespace timer {

constexpr std::uint32_t kStringSlots = 13;
extern char* StringSlot[kStringSlots];

// Writes text to standard output; returns the bytes the system reports as written.
std::uint32_t PrintText(const char* text);

// Writes text to standard error; used only when a message box cannot be shown.
void PrintError(const char* text);

// Puts value as signed decimal text into a new counted string held by slot, releasing the
// string the slot held before. Returns the new string; when none can be allocated, the slot
// is left empty and the text in the conversion scratch is returned, valid until the next call.
char* NumberToSlot(std::int32_t value, std::uint32_t slot);

}  // namespace timer
