// Text and number routines: byte and word-wise lengths, decimal text, the report line, and
// the resumable search.
#include "text.hpp"

#include <cstddef>

namespace timer {

std::uint32_t LastMatchPosition = 0;

namespace {

using Word = std::uint32_t __attribute__((may_alias));

// Bit 7 of each byte of w that may be zero; the lowest flag set is always a real zero byte,
// because a false flag needs a borrow from a zero byte below it.
inline std::uint32_t ZeroFlags(std::uint32_t w) {
  return (w - 0x01010101u) & ~w & 0x80808080u;
}

// Index within the word of the first zero byte, from its flags (little-endian).
inline std::uint32_t FirstZeroIndex(std::uint32_t flags) {
  if ((flags & 0x00008080u) == 0) return (flags & 0x00800000u) ? 2 : 3;
  return (flags & 0x00000080u) ? 0 : 1;
}

// Whether the pattern stands in the text at p, where t[p] is not the terminator (so t[p + 1]
// is still inside the text). The pair is compared first; then the text's terminator, which
// differs from every pattern byte, ends the byte-wise comparison at the text's end.
inline bool MatchesAt(const unsigned char* t, std::uint32_t p, const unsigned char* pat,
                      std::uint32_t head, std::uint32_t headMask) {
  if (((t[p] | (static_cast<std::uint32_t>(t[p + 1]) << 8)) & headMask) != head) return false;
  std::uint32_t k = 1;
  while (pat[k] != 0 && pat[k] == t[p + k]) ++k;
  return pat[k] == 0;
}

inline std::uint32_t Distance(const char* from, const char* to) {
  return static_cast<std::uint32_t>(to - from);
}

// Copies text to line from offset n on, stopping at room; returns the offset after it.
std::uint32_t Append(char* line, std::uint32_t n, std::uint32_t room, const char* text) {
  while (*text != 0 && n < room) line[n++] = *text++;
  return n;
}

}  // namespace

std::uint32_t MeasureText(const char* text) {
  const char* p = text;
  for (;; p += 4) {
    if (p[0] == 0) return Distance(text, p);
    if (p[1] == 0) return Distance(text, p + 1);
    if (p[2] == 0) return Distance(text, p + 2);
    if (p[3] == 0) return Distance(text, p + 3);
  }
}

std::uint32_t WordwiseLength(const char* text) {
  const char* p = text;
  // Bytes up to the first word boundary, so that no word read straddles the buffer's end.
  for (; (reinterpret_cast<std::uintptr_t>(p) & 3) != 0; ++p) {
    if (*p == 0) return Distance(text, p);
  }
  const Word* w = reinterpret_cast<const Word*>(p);
  for (;; w += 4) {
    // Each word is tested before the next is read: no read beyond the terminator's word.
    std::uint32_t flags;
    if ((flags = ZeroFlags(w[0])) != 0) return Distance(text, p) + FirstZeroIndex(flags);
    if ((flags = ZeroFlags(w[1])) != 0) return Distance(text, p) + 4 + FirstZeroIndex(flags);
    if ((flags = ZeroFlags(w[2])) != 0) return Distance(text, p) + 8 + FirstZeroIndex(flags);
    if ((flags = ZeroFlags(w[3])) != 0) return Distance(text, p) + 12 + FirstZeroIndex(flags);
    p += 16;
  }
}

void SignedToDecimal(std::int32_t value, char* destination) {
  std::uint32_t v = static_cast<std::uint32_t>(value);
  char* out = destination;
  if (v == 0) {
    out[0] = '0';
    out[1] = 0;
    return;
  }
  if (value < 0) {
    *out++ = '-';
    v = 0u - v;  // INT_MIN stays 0x80000000, read as unsigned from here on
  }
  char* digits = out;
  while (v != 0) {
    // Division by 10 as a multiplication by the reciprocal 0xCCCCCCCD / 2^35.
    const auto quotient =
        static_cast<std::uint32_t>((static_cast<std::uint64_t>(v) * 0xCCCCCCCDu) >> 35);
    *out++ = static_cast<char>('0' + (v - quotient * 10));
    v = quotient;
  }
  *out = 0;
  for (--out; digits < out; ++digits, --out) {
    const char c = *digits;
    *digits = *out;
    *out = c;
  }
}

std::uint32_t ReportLine(const char* caption, const char* text, char* line,
                         std::uint32_t capacity) {
  const std::uint32_t room = capacity - 3;  // CR, LF and the terminator always fit
  std::uint32_t n = Append(line, 0, room, caption);
  n = Append(line, n, room, " ");
  n = Append(line, n, room, text);
  line[n] = '\r';
  line[n + 1] = '\n';
  line[n + 2] = 0;
  return n + 2;
}

const char* FindText(std::uint32_t start, const char* text, const char* pattern) {
  if (pattern[0] == 0) return nullptr;
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  const auto* pat = reinterpret_cast<const unsigned char*>(pattern);
  // The first two pattern bytes as one 16-bit unit; a one-byte pattern compares one byte.
  const std::uint32_t head = pat[0] | (static_cast<std::uint32_t>(pat[1]) << 8);
  const std::uint32_t headMask = pat[1] != 0 ? 0xFFFFu : 0x00FFu;
  std::uint32_t p = start != 0 ? start - 1 : LastMatchPosition;
  // Four candidates per step, each tested for the terminator before its pair is read.
  for (;; p += 4) {
    if (t[p] == 0) return nullptr;
    if (MatchesAt(t, p, pat, head, headMask)) break;
    if (t[p + 1] == 0) return nullptr;
    if (MatchesAt(t, p + 1, pat, head, headMask)) {
      p += 1;
      break;
    }
    if (t[p + 2] == 0) return nullptr;
    if (MatchesAt(t, p + 2, pat, head, headMask)) {
      p += 2;
      break;
    }
    if (t[p + 3] == 0) return nullptr;
    if (MatchesAt(t, p + 3, pat, head, headMask)) {
      p += 3;
      break;
    }
  }
  LastMatchPosition = p + 1;
  return text + p;
}

}  // namespace timer
