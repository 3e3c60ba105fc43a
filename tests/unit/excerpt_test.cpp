// The listing excerpt, on listings in the format a directory listing has.
#include "excerpt.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "text.hpp"

namespace timer {
namespace {

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

// A sample listing from the tests' shared folder of them.
std::string Listing(const char* name) {
  std::ifstream file(std::string(LISTINGS_DIR) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

const std::string kEntry = "12/08/2026  05:17 PM             2,560 hello.exe\r\n";

// The sample listing as Windows' cmd writes it, with these entry lines.
std::string WindowsListing(const std::string& entries) {
  std::string listing = Listing("windows.txt");
  return listing.replace(listing.find(kEntry), kEntry.size(), entries);
}

TEST(Excerpt, EntryLinesOfAWindowsListing) {
  EXPECT_EQ(Printed(Listing("windows.txt")), "\r\n" + kEntry + "\r\n");
  const std::string two = kEntry + "12/08/2026  05:17 PM               901 hello.obj\r\n";
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
  const std::string file = Listing("wine.txt");
  EXPECT_EQ(Printed(file), file.substr(file.find("\r\n") + 2) + "\r\n");
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
  const std::string file = Listing("big.txt");
  ASSERT_GT(file.size(), kListingBufferSize);
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
