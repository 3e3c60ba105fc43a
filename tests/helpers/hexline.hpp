// Test helpers' command lines come hex-encoded, because Wine re-quotes Unix arguments.
#pragma once

#include <cstdio>
#include <cstring>

// Decodes hex into line (terminated); false when it is not hex or does not fit.
inline bool DecodeHexLine(const char* hex, char* line, std::size_t capacity) {
  const std::size_t hexLength = std::strlen(hex);
  if (hexLength % 2 != 0 || hexLength / 2 >= capacity) return false;
  for (std::size_t i = 0; i < hexLength / 2; ++i) {
    unsigned value;
    if (std::sscanf(hex + 2 * i, "%2x", &value) != 1) return false;
    line[i] = static_cast<char>(value);
  }
  line[hexLength / 2] = 0;
  return true;
}
