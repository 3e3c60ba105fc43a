// The listing excerpt: three searches fix the entry lines, then the text is cut in place.
#include "excerpt.hpp"

#include "text.hpp"

namespace timer {

namespace {
constexpr char kDriveMarker[] = ":\\";
constexpr char kLineEnd[] = "\r\n";
constexpr char kSummaryMarker[] = "\r\n        ";  // CR LF and eight spaces
}  // namespace

std::uint32_t ListingReadSize(std::uint32_t sizeHigh, std::uint32_t sizeLow) {
  return sizeHigh != 0 || sizeLow > kListingReadLimit ? kListingReadLimit : sizeLow;
}

Excerpt CutExcerpt(char* listing) {
  FindText(1, listing, kDriveMarker);  // only positions the next search
  const char* lineEnd = FindText(0, listing, kLineEnd);
  if (lineEnd == nullptr) return {nullptr, false};
  char* start = listing + (lineEnd - listing) + 2;
  const char* summary = FindText(0, listing, kSummaryMarker);
  if (summary == nullptr) return {start, true};
  // Keep the CR LF that ends the last entry line and add one; the first four of the eight
  // spaces are inside the match, so these writes stay in the listing.
  char* cut = listing + (summary - listing) + 2;
  cut[0] = '\r';
  cut[1] = '\n';
  cut[2] = 0;
  cut[3] = 0;
  return {start, false};
}

}  // namespace timer
