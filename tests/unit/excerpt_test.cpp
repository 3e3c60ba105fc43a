// The listing excerpt, on listings in the format a directory listing has.
#include "excerpt.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "text.hpp"

namespace timer {
namespace {

const std::string kIndent15(15, ' ');

// What a stop run prints after its timing line, for a listing file with these bytes; also
// checks that the listing buffer was written only where the cut belongs.
std::string Printed(const std::string& file) {
  LastMatchPosition = 0;
  std::unique_ptr<char[]> buffer(new char[kListingBufferSize]());
  const std::uint64_t length = file.size();
  file.copy(buffer.get(), ListingReadSize(static_cast<std::uint32_t>(length >> 32),
                                          static_cast<std::uint32_t>(length)));
  const Excerpt excerpt = CutExcerpt(buffer.get());
  if (excerpt.text == nullptr) return "";
  return std::string(excerpt.text) + (excerpt.addLineEnd ? "\r\n" : "");
}

std::string WindowsListing(const std::string& entries) {
  return " Volume in drive C has no label.\r\n"
         " Volume Serial Number is 6A1F-0C3E\r\n"
         "\r\n"
         " Directory of C:\\build\\hello\r\n"
         "\r\n" +
         entries + kIndent15 + "1 File(s)          2,560 bytes\r\n" + kIndent15 +
         "0 Dir(s)  52,372,561,920 bytes free\r\n";
}

TEST(Excerpt, EntryLinesOfAWindowsListing) {
  const std::string entry = "12/08/2026  05:17 PM             2,560 hello.exe\r\n";
  EXPECT_EQ(Printed(WindowsListing(entry)), "\r\n" + entry + "\r\n");
  const std::string two = entry + "12/08/2026  05:17 PM               901 hello.obj\r\n";
  EXPECT_EQ(Printed(WindowsListing(two)), "\r\n" + two + "\r\n");
}

TEST(Excerpt, IndentedLineRightAfterTheDriveLineIsPartOfTheExcerpt) {
  const std::string file = "Directory of C:\\x\r\n        first\r\nentry\r\n        sum\r\n";
  EXPECT_EQ(Printed(file), "        first\r\nentry\r\n\r\n");
}

TEST(Excerpt, SummaryBeforeTheDriveLineIsNotUsed) {
  const std::string file = "a\r\n        early\r\nDir C:\\x\r\nentry\r\n        sum\r\n";
  EXPECT_EQ(Printed(file), "entry\r\n\r\n");
}

TEST(Excerpt, WithoutDriveLineTheExcerptStartsAfterTheFirstLine) {
  EXPECT_EQ(Printed("first\r\nentry\r\n        sum\r\n"), "entry\r\n\r\n");
}

TEST(Excerpt, NoLineEndAfterTheDriveLinePrintsNothing) {
  EXPECT_EQ(Printed(" Directory of C:\\x"), "");
  EXPECT_EQ(Printed(""), "");
}

TEST(Excerpt, WithoutSummaryTheRestIsPrintedAndEndedByALineEnd) {
  // Wine's cmd indents its summary lines by seven spaces.
  const std::string file =
      " Directory of C:\\x\r\n\r\n12/08/2026  17:17  2,560  hello.exe\r\n       1 file\r\n";
  EXPECT_EQ(Printed(file), "\r\n12/08/2026  17:17  2,560  hello.exe\r\n       1 file\r\n\r\n");
  EXPECT_EQ(Printed("C:\\x\r\nentry"), "entry\r\n");
}

TEST(Excerpt, ReadSizeKeepsTheTerminatorForListingsOfAnyLength) {
  EXPECT_EQ(ListingReadSize(0, 0), 0u);
  EXPECT_EQ(ListingReadSize(0, 100), 100u);
  EXPECT_EQ(ListingReadSize(0, kListingReadLimit), kListingReadLimit);
  EXPECT_EQ(ListingReadSize(0, kListingBufferSize), kListingReadLimit);
  // 4 GiB and more: the low word alone would say 0 or 100 bytes.
  EXPECT_EQ(ListingReadSize(1, 0), kListingReadLimit);
  EXPECT_EQ(ListingReadSize(1, 100), kListingReadLimit);
  EXPECT_EQ(ListingReadSize(0xFFFFFFFFu, 0xFFFFFFFFu), kListingReadLimit);
}

TEST(Excerpt, ListingsOfTheBufferSizeOrMoreAreCutToTheBuffer) {
  std::string entries;
  while (entries.size() < 40000) entries += "12/08/2026  05:17 PM             2,560 hello.exe\r\n";
  const std::string file = WindowsListing(entries);
  const std::string head = file.substr(0, kListingReadLimit);
  const std::string::size_type start = head.find("\\hello\r\n") + 8;
  EXPECT_EQ(Printed(file), head.substr(start) + "\r\n");

  // A listing of exactly the buffer's size: its last byte is not read.
  std::string exact =
      "C:\\x\r\n" + std::string(kListingBufferSize - 6 - 13, 'e') + "\r\n        sum";
  ASSERT_EQ(exact.size(), kListingBufferSize);
  EXPECT_EQ(Printed(exact), exact.substr(6, exact.size() - 6 - 13) + "\r\n\r\n");
}

}  // namespace
}  // namespace timer
