// The line by which the demo reports a binding failure on standard error when no box is
// shown. Pure code: no Win32, so the host tests link it unchanged.
#pragma once

#include <cstdint>

namespace demo {

// Room for a report line: every caption and text of the demo's boxes fits in it.
constexpr std::uint32_t kReportLineSize = 64;

// Composes "caption text" and CR LF, with a terminator, in line (capacity bytes, at least 3),
// so that the report goes out in one write. What does not fit of caption and text is cut;
// the CR LF always ends the line. Returns the length without the terminator.
std::uint32_t ComposeReport(const char* caption, const char* text, char* line,
                            std::uint32_t capacity);

}  // namespace demo
