// The report line: caption, blank, text and CR LF, cut to a fixed buffer.
#include "reportline.hpp"

namespace demo {

namespace {

char* Put(char* out, const char* end, const char* text) {
  while (*text != 0 && out != end) *out++ = *text++;
  return out;
}

}  // namespace

std::uint32_t ComposeReport(const char* caption, const char* text, char* line,
                            std::uint32_t capacity) {
  const char* const end = line + capacity - 3;  // CR, LF and the terminator always fit
  char* out = Put(Put(Put(line, end, caption), end, " "), end, text);
  out[0] = '\r';
  out[1] = '\n';
  out[2] = 0;
  return static_cast<std::uint32_t>(out + 2 - line);
}

}  // namespace demo
