// The remote bootloader's side of the software stage as the tool should see it: verdicts with
// their text messages, the ready handshake and blocks sent with retries. Shared by the targets
// that drive the bootloader exchange.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace fuzz {

enum Verdict { kAck, kNotAck, kDead };

// One verdict: any number of 02 ... 00 texts, printed as they come, then the verdict byte.
inline Verdict ReadVerdict(LineModel& line, std::string& text) {
  uint8_t byte = 0;
  auto next = [&]() {
    if (line.Read(kBlockingRead, &byte) == LineModel::kByte) {
      return true;
    }
    text += "WaitResponse: read error...\n";
    return false;
  };
  if (!next()) {
    return kDead;
  }
  while (byte == 0x02) {
    for (;;) {
      if (!next()) {
        return kDead;
      }
      if (byte == 0x00) {
        break;
      }
      text += static_cast<char>(byte);
    }
    if (!next()) {
      return kDead;
    }
  }
  if (byte == 0x06) {
    return kAck;
  }
  if (byte != 0x15) {
    text += Format("Unknown response: 0x%X\n", byte);
  }
  return kNotAck;
}

// The ready signal 53 44 46 10 (a byte that breaks it is dropped), the 20 header bytes, one
// verdict. True when the header was acknowledged.
inline bool HeaderExchange(WireModel& wire, LineModel& line, const uint8_t* header) {
  static constexpr uint8_t kReady[] = {0x53, 0x44, 0x46, 0x10};
  std::string& text = wire.text;
  text += "Wait For STB ready\n";
  size_t matched = 0;
  uint8_t byte = 0;
  while (matched < sizeof kReady && line.Read(kBlockingRead, &byte) == LineModel::kByte) {
    matched = byte == kReady[matched] ? matched + 1 : 0;
  }
  if (matched < sizeof kReady) {
    text += "SendSDFHeader: read error...\n";
    return false;
  }
  text += "Remote BootLoader is ready\n";
  // The header's writes are not looked at: a dead port still gets to the verdict.
  for (int i = 0; i < 20; ++i) {
    wire.Write(header[i]);
  }
  text += "wait STB response:\n";
  return ReadVerdict(line, text) == kAck;
}

// A 1,025-byte block on the line: count data bytes, FF up to 1,024, then their sum.
inline Bytes BlockOnLine(const uint8_t* data, int32_t count) {
  Bytes block(1024, 0xFF);
  unsigned sum = 0;
  for (int32_t i = 0; i < 1024; ++i) {
    if (i < count) {
      block[static_cast<size_t>(i)] = data[i];
    }
    sum += block[static_cast<size_t>(i)];
  }
  block.push_back(static_cast<uint8_t>(sum));
  return block;
}

// Sends the block up to tries times until it is acknowledged. A dead port ends it at its first
// failed write or read, and no further try is made.
inline bool SendWithRetry(WireModel& wire, LineModel& line, const Bytes& block, int32_t tries) {
  for (int32_t t = 0; t < tries; ++t) {
    if (!std::all_of(block.begin(), block.end(), [&wire](uint8_t b) { return wire.Write(b); })) {
      return false;
    }
    const Verdict verdict = ReadVerdict(line, wire.text);
    if (verdict != kNotAck) {
      return verdict == kAck;
    }
  }
  return false;
}

}  // namespace fuzz
