// Console output through the standard handles, and decimal text in counted string slots.
#include "console.hpp"

#include <windows.h>

#include "text.hpp"

namespace timer {

char* StringSlot[kStringSlots];

namespace {

char DecimalScratch[20];
static_assert(sizeof DecimalScratch >= kDecimalMax, "the scratch holds the longest number");

std::uint32_t WriteStd(DWORD which, const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), text, WordwiseLength(text), &written, nullptr);
  return written;
}

}  // namespace

std::uint32_t PrintText(const char* text) {
  return WriteStd(STD_OUTPUT_HANDLE, text);
}

void PrintError(const char* text) {
  WriteStd(STD_ERROR_HANDLE, text);
}

char* NumberToSlot(std::int32_t value, std::uint32_t slot) {
  if (StringSlot[slot] != nullptr) SysFreeString(reinterpret_cast<BSTR>(StringSlot[slot]));
  SignedToDecimal(value, DecimalScratch);
  char* s =
      reinterpret_cast<char*>(SysAllocStringByteLen(DecimalScratch, MeasureText(DecimalScratch)));
  StringSlot[slot] = s;
  return s != nullptr ? s : DecimalScratch;  // out of memory: the number is still printable
}

}  // namespace timer
