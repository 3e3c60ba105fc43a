// The report lines of both programs: "caption text" and CR LF, cut to the buffer, never past.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "reportline.hpp"
#include "text.hpp"

namespace {

using Compose = std::uint32_t (*)(const char*, const char*, char*, std::uint32_t);
const Compose kComposers[] = {timer::ReportLine, demo::ComposeReport};

// Composes into a heap buffer of exactly capacity bytes, so the sanitizer sees any overrun.
std::string Composed(Compose compose, const char* caption, const char* text,
                     std::uint32_t capacity) {
  std::unique_ptr<char[]> line(new char[capacity]);
  const std::uint32_t length = compose(caption, text, line.get(), capacity);
  EXPECT_LT(length, capacity);
  EXPECT_EQ(line[length], 0);
  return std::string(line.get(), length);
}

TEST(ReportLine, WholeWhereItFitsOtherwiseCutBeforeTheLineEnd) {
  const std::string whole = "File not found: MvtDir.tmp\r\n";
  for (Compose compose : kComposers) {
    EXPECT_EQ(Composed(compose, "File not found:", "MvtDir.tmp", 64), whole);
    EXPECT_EQ(Composed(compose, "File not found:", "MvtDir.tmp", whole.size() + 1), whole);
    EXPECT_EQ(Composed(compose, "DEMO", "", 64), "DEMO \r\n");
    // Every smaller buffer keeps as much of the words as fits, and still ends the line.
    for (std::uint32_t capacity = 3; capacity <= whole.size(); ++capacity) {
      const std::string cut = whole.substr(0, capacity - 3) + "\r\n";
      ASSERT_EQ(Composed(compose, "File not found:", "MvtDir.tmp", capacity), cut) << capacity;
    }
  }
}

TEST(ReportLine, TextFarLongerThanTheBufferIsCut) {
  const std::string path(5000, 'x');
  for (Compose compose : kComposers) {
    const std::string line = Composed(compose, "DEMO", path.c_str(), timer::kReportLineSize);
    EXPECT_EQ(line, "DEMO " + path.substr(0, timer::kReportLineSize - 8) + "\r\n");
  }
}

}  // namespace
