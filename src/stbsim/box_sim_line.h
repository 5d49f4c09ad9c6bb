// The bytes on the simulated box's line and the small helpers that its parts share: the core
// (box_sim.cpp: time, faults, replies, the command matcher), the boot ROM model
// (box_sim_bootrom.cpp) and the bootloader model (box_sim_bootloader.cpp).
//
//   kProbeRequest ... kNoiseByte  the requests the box recognises and every byte it answers
//                                 with, by meaning
//   Hex(bytes)                    "A5 02 ...", or "nothing" for no bytes; for the log
//   StartsWith(bytes, prefix)     whether bytes, as far as they go, agree with prefix
// Private to src/stbsim: nothing outside the box includes it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/common.h"

namespace box_line {

inline constexpr uint8_t kProbeRequest[] = {0xA5, 0x02, 0x00, 0x11, 0x12};
inline constexpr uint8_t kResetRequest[] = {0xA5, 0x02, 0x00, 0x12, 0x13};
inline constexpr size_t kCommandSize = sizeof kProbeRequest;
inline constexpr uint8_t kPlatformMark = 0xA5;
inline constexpr uint8_t kRepairSecond = 0x08;
inline constexpr uint8_t kGoByte = 0x09;
inline constexpr uint8_t kHeaderAck = 0x09;
inline constexpr size_t kRomHeaderSize = 21;  // 20 header bytes and the end byte 09
inline constexpr size_t kFrameBytes = kBlockSize + 1;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kTextStart = 0x02;
inline constexpr uint8_t kTextEnd = 0x00;
inline constexpr uint8_t kReadySignal[] = {0x53, 0x44, 0x46, 0x10};
inline constexpr uint8_t kUnknownAnswer = 0x41;
inline constexpr uint8_t kNoiseByte = 0x5A;
// Noise that happens to be a verdict: one byte 06 more than the exchange has room for.
inline constexpr uint8_t kExtraAckByte = 0x06;
inline constexpr uint8_t kLineDamage = 0x80;  // a damaged byte has its top bit flipped

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
