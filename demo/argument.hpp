// Extraction of one blank-separated argument from a raw command line, honouring double
// quotes. Pure code: no Win32, so the host tests and fuzzers link it unchanged.
#pragma once

#include <cstdint>

namespace demo {

enum class ArgumentStatus : std::uint32_t {
  Found = 1,             // the argument exists and is not empty
  Missing = 2,           // the line ends before the argument begins; destination empty
  UnbalancedQuotes = 3,  // odd number of double quotes in the line; destination untouched
  Empty = 4,             // empty after quote removal; destination empty
  TooLong = 5,           // does not fit the destination; destination empty, never cut
};

// Copies argument n (0 is the program name) of commandLine into destination, which holds
// capacity bytes, without its quotes. Blanks and TABs separate arguments except between
// quotes; a TAB in the result becomes a blank. Every other byte is kept as it is. Nothing is
// read past the line's terminator or written past capacity; with capacity 0 nothing is
// written at all.
ArgumentStatus ExtractArgument(const char* commandLine, std::uint32_t n, char* destination,
                               std::uint32_t capacity);

}  // namespace demo
