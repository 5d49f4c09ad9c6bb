// The bytes on the simulated box's line and the small helpers that its parts share: the core
// (box_sim.cpp: time, faults, replies, the command matcher), the boot ROM model
// (box_sim_bootrom.cpp) and the bootloader model (box_sim_bootloader.cpp).
//
//   kProbeRequest, kCommandSize  the probe request A5 02 00 11 12 and the length of a command
//   kPlatformMark                A5, the first byte of a probe answer
//   kNak, kUnknownAnswer         15, and the byte 41 that no answer of the box ever is
//   Hex(bytes)                   "A5 02 ...", or "nothing" for no bytes; for the log
//   StartsWith(bytes, prefix)    whether bytes, as far as they go, agree with prefix
// Private to src/stbsim: nothing outside the box includes it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace box_line {

inline constexpr uint8_t kProbeRequest[] = {0xA5, 0x02, 0x00, 0x11, 0x12};
inline constexpr size_t kCommandSize = sizeof kProbeRequest;
inline constexpr uint8_t kPlatformMark = 0xA5;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kUnknownAnswer = 0x41;

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char one[4];
  for (const uint8_t b : bytes) {
    std::snprintf(one, sizeof one, "%s%02X", text.empty() ? "" : " ", b);
    text += one;
  }
  return text.empty() ? "nothing" : text;
}

inline bool StartsWith(const std::vector<uint8_t>& bytes, const uint8_t* prefix, size_t prefix_size) {
  const size_t n = std::min(bytes.size(), prefix_size);
  return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), prefix);
}

}  // namespace box_line
