// Argument extraction. It reads the command line in place and tracks quoted stretches as it
// goes, so no byte of the line is rewritten and no work copy limits its length: one walk
// counts the quotes, one finds the argument, and two over the argument alone measure it and
// copy it without its quotes.
#include "argument.hpp"

namespace demo {

namespace {

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

ArgumentStatus Finish(char* destination, std::uint32_t capacity, ArgumentStatus status) {
  if (capacity != 0) destination[0] = 0;
  return status;
}

}  // namespace

ArgumentStatus ExtractArgument(const char* commandLine, std::uint32_t n, char* destination,
                               std::uint32_t capacity) {
  std::uint32_t quotes = 0;
  for (const char* q = commandLine; *q != 0; ++q) quotes += *q == '"';
  if (quotes % 2 != 0) return ArgumentStatus::UnbalancedQuotes;

  const char* p = commandLine;
  while (IsBlank(*p)) ++p;
  bool quoted = false;
  std::uint32_t boundaries = 0;
  const char* begin = nullptr;
  const char* end = nullptr;
  for (;;) {
    if (boundaries == n) {
      begin = p;
      for (; *p != 0 && (quoted || !IsBlank(*p)); ++p) quoted ^= *p == '"';
      end = p;
      break;
    }
    const char c = *p;
    if (c == 0) break;
    if (c == '"') quoted = !quoted;
    if (quoted || !IsBlank(c)) {
      ++p;
      continue;
    }
    while (IsBlank(*p)) ++p;
    ++boundaries;
    if (*p == 0) break;  // a run of blanks at the end: the argument after it is empty
  }
  if (boundaries < n) return Finish(destination, capacity, ArgumentStatus::Missing);

  std::uint32_t length = 0;
  for (const char* s = begin; s != end; ++s) length += *s != '"';
  if (length >= capacity) return Finish(destination, capacity, ArgumentStatus::TooLong);
  char* out = destination;
  for (const char* s = begin; s != end; ++s) {
    if (*s != '"') *out++ = *s == '\t' ? ' ' : *s;
  }
  *out = 0;
  return length == 0 ? ArgumentStatus::Empty : ArgumentStatus::Found;
}

}  // namespace demo
