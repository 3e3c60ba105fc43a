// buildtimer: the entry. A run without the marker file records the tick count in it; a run
// with it prints the elapsed milliseconds and the entry lines of the script's listing.
// Build just this program: cmake --build --preset windows --target buildtimer
#include <windows.h>

#include <cstdint>

#include "console.hpp"
#include "excerpt.hpp"
#include "fileslots.hpp"
#include "report.hpp"

namespace timer {
namespace {

constexpr std::uint32_t kMarkerSlot = 1;
constexpr std::uint32_t kListingSlot = 2;
constexpr std::uint32_t kElapsedSlot = 0;

const char* MarkerName;
std::uint32_t StoredTicks;
std::uint32_t CurrentTicks;
alignas(4) char ListingBuffer[kListingBufferSize];
WIN32_FIND_DATAA FindData;

// Any directory entry of the marker's name counts, file or directory.
bool MarkerPresent() {
  HANDLE find = FindFirstFileA(MarkerName, &FindData);
  return find != INVALID_HANDLE_VALUE && FindClose(find);
}

void StartPhase() {
  OpenForOutput(kMarkerSlot, MarkerName);
  CurrentTicks = GetTickCount();
  DWORD written = 0;
  if (WriteToSlot(kMarkerSlot, &CurrentTicks, sizeof CurrentTicks, &written) &&
      written == sizeof CurrentTicks) {
    return;
  }
  // A marker without its 4 bytes would make the next run a stop run that prints the uptime
  // (or garbage). This run created it, so it removes it: the next run starts again.
  CloseSlot(kMarkerSlot);
  DeleteFileA(MarkerName);
  Report(MarkerName, "Could not write:");
}

void StopPhase() {
  PrintText("*** Assembling and linking took ");
  OpenForInput(kMarkerSlot, MarkerName);
  ReadFromSlot(kMarkerSlot, &StoredTicks, sizeof StoredTicks);  // a short marker fills low bytes
  const std::uint32_t elapsed = GetTickCount() - StoredTicks;   // modulo 2^32
  PrintText(NumberToSlot(static_cast<std::int32_t>(elapsed), kElapsedSlot));
  PrintText(" milliseconds ***\r\n");

  OpenForInput(kListingSlot, "MvtDir.tmp");
  DWORD sizeHigh = 0;
  const DWORD sizeLow = GetFileSize(FileSlot[kListingSlot], &sizeHigh);
  ReadFromSlot(kListingSlot, ListingBuffer, ListingReadSize(sizeHigh, sizeLow));

  const Excerpt excerpt = CutExcerpt(ListingBuffer);
  if (excerpt.text == nullptr) return;
  PrintText(excerpt.text);
  if (excerpt.addLineEnd) PrintText("\r\n");
}

}  // namespace
}  // namespace timer

extern "C" __attribute__((force_align_arg_pointer, externally_visible, used)) void
mainCRTStartup() {
  using namespace timer;
  MarkerName = "Morvit.tmp";
  if (MarkerPresent()) {
    StopPhase();
  } else {
    StartPhase();
  }
  CloseAllSlots();
  ExitProcess(0);
}
