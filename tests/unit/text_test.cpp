// Lengths, decimal text and the resumable search.
#include "text.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>

namespace timer {
namespace {

// Every alignment and terminator position, in a heap buffer that ends right after the word
// holding the terminator: the sanitizer reports any read past it. The filler bytes (0x01,
// 0x80, 0xFF) are the ones that make the zero-byte test flag wrongly above a real zero.
TEST(Length, WordwiseEqualsByteCountForEveryAlignmentAndTerminator) {
  const unsigned char fillers[] = {0x01, 0x80, 0xFF, 'a', 0x7F};
  for (std::size_t align = 0; align < 4; ++align) {
    for (std::size_t length = 0; length < 40; ++length) {
      const std::size_t size = (align + length + 1 + 3) & ~std::size_t{3};
      for (unsigned char filler : fillers) {
        std::unique_ptr<char[]> buffer(new char[size]);
        for (std::size_t i = 0; i < size; ++i)
          buffer[i] = static_cast<char>(i % 3 == 0 ? 'a' : filler);
        buffer[align + length] = 0;
        const char* text = buffer.get() + align;
        ASSERT_EQ(WordwiseLength(text), length) << "align " << align << " filler " << +filler;
        ASSERT_EQ(MeasureText(text), length);
      }
    }
  }
}

std::string Decimal(std::int32_t value) {
  char text[kDecimalMax] = {};
  SignedToDecimal(value, text);
  return text;
}

TEST(Decimal, EdgeValues) {
  EXPECT_EQ(Decimal(0), "0");
  EXPECT_EQ(Decimal(-1), "-1");
  EXPECT_EQ(Decimal(1000), "1000");
  EXPECT_EQ(Decimal(INT_MIN), "-2147483648");
  EXPECT_EQ(Decimal(INT_MAX), "2147483647");
  EXPECT_EQ(Decimal(static_cast<std::int32_t>(0xFFFFFFFFu)), "-1");
}

TEST(Decimal, AgreesWithPrintfAroundEveryPowerOfTen) {
  for (std::int64_t power = 1; power <= 1000000000; power *= 10) {
    for (std::int64_t delta = -2; delta <= 2; ++delta) {
      for (std::int64_t sign : {1, -1}) {
        const auto value = static_cast<std::int32_t>(sign * (power + delta));
        char expected[16];
        std::snprintf(expected, sizeof expected, "%d", value);
        ASSERT_EQ(Decimal(value), expected);
      }
    }
  }
}

class Search : public ::testing::Test {
 protected:
  void SetUp() override { LastMatchPosition = 0; }
};

TEST_F(Search, OverlappingMatchesResumeOneByteAfterTheLastMatch) {
  const char text[] = "aaa";
  EXPECT_EQ(FindText(1, text, "aa"), text);
  EXPECT_EQ(LastMatchPosition, 1u);
  EXPECT_EQ(FindText(0, text, "aa"), text + 1);
  EXPECT_EQ(LastMatchPosition, 2u);
  EXPECT_EQ(FindText(0, text, "aa"), nullptr);
  EXPECT_EQ(LastMatchPosition, 2u);
}

TEST_F(Search, FailedSearchLeavesThePositionAlone) {
  LastMatchPosition = 7;
  EXPECT_EQ(FindText(1, "", "ab"), nullptr);
  EXPECT_EQ(FindText(1, "xyz:", ":\\"), nullptr);
  EXPECT_EQ(LastMatchPosition, 7u);
}

TEST_F(Search, StartPositions) {
  const char text[] = "abcdabcdab";
  EXPECT_EQ(FindText(0, text, "ab"), text);  // before any match: the first byte
  EXPECT_EQ(FindText(5, text, "ab"), text + 4);
  EXPECT_EQ(FindText(6, text, "ab"), text + 8);
  EXPECT_EQ(LastMatchPosition, 9u);
  EXPECT_EQ(FindText(6, text, "abcd"), nullptr);  // only a partial match at the end
  EXPECT_EQ(FindText(11, text, "ab"), nullptr);   // at the terminator
}

TEST_F(Search, LongPatternsAndPartialMatchesAtTheEndStayInTheText) {
  // Exact-size heap copies: the sanitizer catches a read past the terminator.
  const std::string cases[][2] = {
      {"x\r\n       y", "\r\n        "}, {"abc\r", "\r\n"}, {"a:", ":\\"}, {"a", "ab"}};
  for (const auto& c : cases) {
    std::unique_ptr<char[]> text(new char[c[0].size() + 1]);
    c[0].copy(text.get(), c[0].size());
    text[c[0].size()] = 0;
    EXPECT_EQ(FindText(1, text.get(), c[1].c_str()), nullptr) << c[0];
  }
  const char listing[] = "x\r\n\r\n        total";
  EXPECT_EQ(FindText(1, listing, "\r\n        "), listing + 3);
}

TEST_F(Search, ShortPatterns) {
  const char text[] = "abc";
  EXPECT_EQ(FindText(1, text, "c"), text + 2);
  EXPECT_EQ(FindText(1, text, ""), nullptr);
  EXPECT_EQ(LastMatchPosition, 3u);
}

}  // namespace
}  // namespace timer
