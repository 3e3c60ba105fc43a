// Fuzzes the stop run's listing excerpt over arbitrary listings of any length, with the
// program's buffer rules: a 32000-byte buffer, at most 31999 bytes read.
#include <cstdint>
#include <cstring>
#include <memory>

#include "excerpt.hpp"
#include "text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace timer;
  std::unique_ptr<char[]> buffer(new char[kListingBufferSize]());
  const std::uint64_t fileSize = size;
  const std::uint32_t read = ListingReadSize(static_cast<std::uint32_t>(fileSize >> 32),
                                             static_cast<std::uint32_t>(fileSize));
  std::memcpy(buffer.get(), data, read);
  std::unique_ptr<char[]> original(new char[kListingBufferSize]);
  std::memcpy(original.get(), buffer.get(), kListingBufferSize);

  LastMatchPosition = 0;
  const Excerpt excerpt = CutExcerpt(buffer.get());
  const char* const begin = buffer.get();
  const char* const limit = begin + kListingBufferSize;
  if (buffer[kListingReadLimit] != 0) __builtin_trap();  // the terminator stays
  if (excerpt.text == nullptr) {
    if (std::memcmp(begin, original.get(), kListingBufferSize) != 0) __builtin_trap();
    return 0;
  }
  if (excerpt.text < begin || excerpt.text >= limit) __builtin_trap();
  const std::size_t start = static_cast<std::size_t>(excerpt.text - begin);
  // What is printed: a contiguous slice of the listing, then CR LF.
  const std::size_t length = WordwiseLength(excerpt.text);
  if (length != std::strlen(excerpt.text)) __builtin_trap();
  if (excerpt.addLineEnd) {
    // No cut: the slice runs to the listing's end and the buffer is unchanged.
    if (std::memcmp(begin, original.get(), kListingBufferSize) != 0) __builtin_trap();
  } else {
    // Cut: the slice ends with CR LF, and then the cut wrote CR LF 0 0 in four spaces.
    if (length < 4 || std::memcmp(excerpt.text + length - 4, "\r\n\r\n", 4) != 0) __builtin_trap();
    const std::size_t cut = start + length - 2;
    if (std::memcmp(original.get() + cut, "    ", 4) != 0) __builtin_trap();
    if (std::memcmp(begin, original.get(), cut) != 0) __builtin_trap();
    if (std::memcmp(begin + cut + 4, original.get() + cut + 4, kListingBufferSize - cut - 4))
      __builtin_trap();
  }
  if (start < 2 || std::memcmp(begin + start - 2, "\r\n", 2) != 0) __builtin_trap();
  return 0;
}
