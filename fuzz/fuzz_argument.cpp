// Fuzzes the argument extraction: arbitrary command lines, argument indexes and small
// destination capacities. Input: [index][capacity][command line...].
#include <cstdint>
#include <cstring>
#include <memory>

#include "argument.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t n = data[0] % 6;
  const std::uint32_t capacity = data[1] % 40;
  // Exact-size copies: AddressSanitizer reports any access past the line or the capacity.
  const std::size_t length = strnlen(reinterpret_cast<const char*>(data + 2), size - 2);
  std::unique_ptr<char[]> line(new char[length + 1]);
  std::memcpy(line.get(), data + 2, length);
  line[length] = 0;
  std::unique_ptr<char[]> destination(new char[capacity == 0 ? 1 : capacity]);
  std::memset(destination.get(), '#', capacity == 0 ? 1 : capacity);

  using demo::ArgumentStatus;
  const ArgumentStatus status = demo::ExtractArgument(line.get(), n, destination.get(), capacity);
  std::size_t quotes = 0;
  for (std::size_t i = 0; i < length; ++i) quotes += line[i] == '"';
  if ((quotes % 2 != 0) != (status == ArgumentStatus::UnbalancedQuotes)) __builtin_trap();
  if (capacity == 0) {
    if (destination[0] != '#') __builtin_trap();  // nothing may be written
    return 0;
  }
  switch (status) {
    case ArgumentStatus::UnbalancedQuotes:
      for (std::uint32_t i = 0; i < capacity; ++i) {
        if (destination[i] != '#') __builtin_trap();
      }
      break;
    case ArgumentStatus::Missing:
    case ArgumentStatus::Empty:
    case ArgumentStatus::TooLong:
      if (destination[0] != 0) __builtin_trap();
      break;
    case ArgumentStatus::Found: {
      const std::size_t found = strnlen(destination.get(), capacity);
      if (found == 0 || found >= capacity) __builtin_trap();
      // The argument holds no quote and no TAB, and is a subsequence of the line.
      std::size_t at = 0;
      for (std::size_t i = 0; i < found; ++i) {
        const char c = destination[i];
        if (c == '"' || c == '\t') __builtin_trap();
        while (at < length && line[at] != c && !(c == ' ' && line[at] == '\t')) ++at;
        if (at++ >= length) __builtin_trap();
      }
      break;
    }
    default:
      __builtin_trap();
  }
  return 0;
}
