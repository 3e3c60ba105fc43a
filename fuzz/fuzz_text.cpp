// Fuzzes the text routines: FindText against a plain search from arbitrary start positions,
// the two lengths against strlen, and SignedToDecimal against std::to_chars.
// Input: [start][pattern length][value: 4 bytes][pattern][text].
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace timer;
  if (size < 6) return 0;
  std::int32_t value;
  std::memcpy(&value, data + 2, 4);
  char decimal[kDecimalMax + 4];
  std::memset(decimal, 'x', sizeof decimal);
  SignedToDecimal(value, decimal);
  char expected[16];
  const auto converted = std::to_chars(expected, expected + sizeof expected, value);
  *converted.ptr = 0;
  if (std::strcmp(decimal, expected) != 0) __builtin_trap();
  if (std::strtoll(decimal, nullptr, 10) != value) __builtin_trap();

  const std::size_t rest = size - 6;
  const std::size_t patternLength = 1 + data[1] % 12 < rest ? 1 + data[1] % 12 : rest;
  std::string_view pattern(reinterpret_cast<const char*>(data + 6), patternLength);
  pattern = pattern.substr(0, pattern.find('\0'));
  std::string_view text(reinterpret_cast<const char*>(data + 6 + patternLength),
                        rest - patternLength);
  text = text.substr(0, text.find('\0'));
  // Exact-size copies: AddressSanitizer reports any read past either terminator.
  std::unique_ptr<char[]> t(new char[text.size() + 1]);
  std::memcpy(t.get(), text.data(), text.size());
  t[text.size()] = 0;
  std::unique_ptr<char[]> p(new char[pattern.size() + 1]);
  std::memcpy(p.get(), pattern.data(), pattern.size());
  p[pattern.size()] = 0;

  if (MeasureText(t.get()) != text.size()) __builtin_trap();
  // The word-wise length reads whole aligned words: its buffer ends on a word boundary, and
  // the bytes behind the terminator are not zero.
  const std::size_t words = (text.size() + 1 + 3) / 4;
  std::unique_ptr<std::uint32_t[]> aligned(new std::uint32_t[words]);
  std::memset(aligned.get(), 0xA5, words * 4);
  char* const w = reinterpret_cast<char*>(aligned.get());
  std::memcpy(w, text.data(), text.size());
  w[text.size()] = 0;
  if (WordwiseLength(w) != text.size()) __builtin_trap();
  const std::size_t offset = data[0] % 4;  // and from every alignment
  if (offset <= text.size() && WordwiseLength(w + offset) != text.size() - offset) __builtin_trap();

  const std::uint32_t start = data[0] % (text.size() + 2);  // 0, or 1 up to the terminator
  LastMatchPosition = start == 0 ? data[1] % (text.size() + 1) : 7;
  const std::uint32_t before = LastMatchPosition;
  const std::size_t from = start != 0 ? start - 1 : before;
  const std::size_t expectedAt =
      pattern.empty() ? std::string_view::npos : text.find(pattern, from);
  const char* found = FindText(start, t.get(), p.get());
  if (expectedAt == std::string_view::npos) {
    if (found != nullptr || LastMatchPosition != before) __builtin_trap();
  } else {
    if (found != t.get() + expectedAt || LastMatchPosition != expectedAt + 1) __builtin_trap();
  }
  return 0;
}
