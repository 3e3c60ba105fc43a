// Argument extraction from raw command lines.
#include "argument.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace demo {
namespace {

struct Result {
  ArgumentStatus status;
  std::string text;
};

// Runs the extraction on an exact-size heap copy of the line (the sanitizer catches a read
// past its terminator) into a destination of the given capacity, guarded by the sanitizer
// too, and pre-filled to show what was written.
Result Extract(const std::string& line, std::uint32_t n, std::uint32_t capacity = 128) {
  std::unique_ptr<char[]> copy(new char[line.size() + 1]);
  line.copy(copy.get(), line.size());
  copy[line.size()] = 0;
  std::unique_ptr<char[]> destination(new char[capacity + 1]);
  std::fill_n(destination.get(), capacity, '#');
  destination[capacity] = 0;
  const ArgumentStatus status = ExtractArgument(copy.get(), n, destination.get(), capacity);
  return {status, destination.get()};
}

constexpr auto kFound = ArgumentStatus::Found;
constexpr auto kMissing = ArgumentStatus::Missing;
constexpr auto kEmpty = ArgumentStatus::Empty;

TEST(Argument, QuotedPathsWithBlanks) {
  const std::string line = "\"C:\\my dir\\prog.exe\" \"C:\\my files\\a b.txt\"";
  EXPECT_EQ(Extract(line, 1).text, "C:\\my files\\a b.txt");
  EXPECT_EQ(Extract(line, 1).status, kFound);
  EXPECT_EQ(Extract(line, 0).text, "C:\\my dir\\prog.exe");
  EXPECT_EQ(Extract(line, 2).status, kMissing);
}

TEST(Argument, MissingAndEmptyArguments) {
  EXPECT_EQ(Extract("prog", 1).status, kMissing);
  EXPECT_EQ(Extract("prog", 1).text, "");
  EXPECT_EQ(Extract("prog ", 1).status, kEmpty);  // a trailing blank: empty, not missing
  EXPECT_EQ(Extract("prog ", 1).text, "");
  EXPECT_EQ(Extract("prog \"\"", 1).status, kEmpty);
  EXPECT_EQ(Extract("prog \"\" b", 2).text, "b");
  EXPECT_EQ(Extract("prog a ", 2).status, kEmpty);
  EXPECT_EQ(Extract("prog a", 3).status, kMissing);
}

TEST(Argument, OddQuoteCountLeavesTheDestinationUntouched) {
  for (const char* line : {"prog \"abc", "\"prog a b", "prog a\"\"\""}) {
    const Result r = Extract(line, 1, 8);
    EXPECT_EQ(r.status, ArgumentStatus::UnbalancedQuotes) << line;
    EXPECT_EQ(r.text, "########");
  }
}

TEST(Argument, QuotesInsideAnArgumentAndBlanksAround) {
  EXPECT_EQ(Extract("prog a\"b c\"d e", 1).text, "ab cd");
  EXPECT_EQ(Extract("prog a\"b c\"d e", 2).text, "e");
  EXPECT_EQ(Extract("  prog   file  ", 1).text, "file");
  EXPECT_EQ(Extract("  prog   file  ", 0).text, "prog");
}

TEST(Argument, TabsSeparateOutsideQuotesAndBecomeBlanksInside) {
  EXPECT_EQ(Extract("prog\tfile", 1).text, "file");
  EXPECT_EQ(Extract("prog \"a\tb\"", 1).text, "a b");
  EXPECT_EQ(Extract("\t prog \t\t x", 1).text, "x");
}

TEST(Argument, EveryOtherByteIsKept) {
  EXPECT_EQ(Extract("prog \xFE", 1).text, "\xFE");
  EXPECT_EQ(Extract("prog \"caf\xE9 \xFE.txt\"", 1).text, "caf\xE9 \xFE.txt");
  EXPECT_EQ(Extract("prog \xFE\xFE x", 2).text, "x");  // 0xFE does not separate
}

TEST(Argument, BlankOrEmptyLinesReadNothingPastTheTerminator) {
  EXPECT_EQ(Extract("", 0).status, kEmpty);
  EXPECT_EQ(Extract("", 1).status, kMissing);
  EXPECT_EQ(Extract("   ", 0).status, kEmpty);
  EXPECT_EQ(Extract("   ", 1).status, kMissing);
}

TEST(Argument, LongestCommandLineAndSmallDestinations) {
  const std::string path = "C:\\" + std::string(32767 - 10, 'x');
  const std::string line = "p \"" + path + "\"";
  ASSERT_EQ(line.size(), 32767u - 10 + 3 + 4);
  EXPECT_EQ(Extract(line, 1, 32768).text, path);

  const Result cut = Extract("prog abcdef", 1, 6);  // needs 7 bytes with the terminator
  EXPECT_EQ(cut.status, ArgumentStatus::TooLong);
  EXPECT_EQ(cut.text, "");
  EXPECT_EQ(Extract("prog abcdef", 1, 7).text, "abcdef");
  for (std::uint32_t capacity = 0; capacity < 3; ++capacity) {
    Extract("prog ab", 1, capacity);  // the sanitizer checks the writes
    Extract("prog", 1, capacity);
  }
  EXPECT_EQ(Extract("prog", 1, 0).text, "");  // capacity 0: nothing written
}

}  // namespace
}  // namespace demo
