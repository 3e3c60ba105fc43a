// The demo's key wait on the console.
#pragma once

#include <cstdint>

namespace demo {

struct Key {
  std::uint32_t code;      // the key's code; for an extended key its second code
  std::uint32_t extended;  // 1 when the key sent two codes (arrows, function keys)
};

// Discards keys typed before the call, then waits for one key press and consumes it whole.
Key WaitKey();

}  // namespace demo
