// The listing excerpt: where the entry lines of a directory listing start and end.
// Pure code: no Win32.
#pragma once

#include <cstdint>

namespace timer {

// The listing buffer's size; one byte always stays zero behind the content.
constexpr std::uint32_t kListingBufferSize = 32000;
constexpr std::uint32_t kListingReadLimit = kListingBufferSize - 1;

// How many bytes of a listing file of this size (high and low 32 bits) to read: all of it,
// or the first kListingReadLimit bytes of a longer one, 4 GiB and more included.
std::uint32_t ListingReadSize(std::uint32_t sizeHigh, std::uint32_t sizeLow);

struct Excerpt {
  const char* text;  // what to print, or null when no excerpt can be formed
  bool addLineEnd;   // print CR LF after the text (the summary line was not found)
};

// Cuts the excerpt out of a zero-terminated listing: the lines after the first line that
// holds ":\", up to the CR LF that precedes the next line indented by eight spaces, with
// one more CR LF written behind it in place. Without an indented line, the excerpt runs to
// the end of the listing and addLineEnd is set. Uses and moves LastMatchPosition.
Excerpt CutExcerpt(char* listing);

}  // namespace timer
