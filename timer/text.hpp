// Text and number routines of the build timer: lengths, decimal text, the report line and
// the resumable listing search. Pure code: no Win32, so the host tests and fuzzers link it
// unchanged.
#pragma once

#include <cstdint>

namespace timer {

// 1-based position of the first byte of the last successful FindText match; 0 before any.
extern std::uint32_t LastMatchPosition;

// Number of bytes before the first zero byte, examined four bytes per step.
std::uint32_t MeasureText(const char* text);

// Same result as MeasureText, found a 32-bit word at a time. The words read are aligned,
// so a read never leaves the aligned word that holds the terminator: a buffer whose end is
// 4-byte aligned is never read past.
std::uint32_t WordwiseLength(const char* text);

// Longest text SignedToDecimal writes: a sign, ten digits and the terminator.
constexpr std::uint32_t kDecimalMax = 12;

// Writes value as signed decimal text with its terminator (at most kDecimalMax bytes).
void SignedToDecimal(std::int32_t value, char* destination);

// Room for a failure report's line: every caption and file name of the timer fits in it.
constexpr std::uint32_t kReportLineSize = 64;

// Writes caption, a blank, text and CR LF into line, which holds capacity bytes (at least 3),
// with a terminator. Caption and text are cut where they do not fit; the CR LF and the
// terminator always stand at the end. Returns the line's length without the terminator.
std::uint32_t ReportLine(const char* caption, const char* text, char* line, std::uint32_t capacity);

// Finds pattern in text, from the 1-based position start, or from LastMatchPosition when
// start is 0. Returns the match or null; only a match moves LastMatchPosition. The begin
// position must not lie past the text's terminator. An empty pattern never matches.
const char* FindText(std::uint32_t start, const char* text, const char* pattern);

}  // namespace timer
