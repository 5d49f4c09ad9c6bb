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

// Any number of 02 ... 00 texts, printed as they come, then the verdict byte, all under one
// read policy.
inline LineModel::Result VerdictByte(LineModel& line, std::string& text, uint32_t timeout_ms, uint8_t* byte) {
  auto next = [&]() {
    const LineModel::Result r = line.Read(timeout_ms, byte);
    if (r == LineModel::kFailed) {
      text += "WaitResponse: read error...\n";
    }
    return r;
  };
  LineModel::Result r = next();
  while (r == LineModel::kByte && *byte == 0x02) {
    while ((r = next()) == LineModel::kByte && *byte != 0x00) {
      text += static_cast<char>(*byte);
    }
    if (r == LineModel::kByte) {
      r = next();
    }
  }
  return r;
}

// One verdict. An odd byte is reported; a verdict behind it within 500 ms (up to 8 odd bytes)
// is the real one. With another_follows, that verdict counts only when the next message starts
// within 500 ms too; its first byte is then left for the next verdict.
inline Verdict ReadVerdict(LineModel& line, std::string& text, bool another_follows = false) {
  uint8_t byte = 0;
  if (VerdictByte(line, text, kBlockingRead, &byte) != LineModel::kByte) {
    return kDead;
  }
  for (int odd = 0; byte != 0x06 && byte != 0x15; ++odd) {
    text += Format("Unknown response: 0x%X\n", byte);
    if (odd == 8) {
      return kNotAck;
    }
    const LineModel::Result r = VerdictByte(line, text, 500, &byte);
    if (r != LineModel::kByte) {
      return r == LineModel::kFailed ? kDead : kNotAck;
    }
    if ((byte == 0x06 || byte == 0x15) && another_follows) {
      uint8_t ahead = 0;
      const LineModel::Result a = line.Read(500, &ahead);
      if (a != LineModel::kByte) {
        text += a == LineModel::kFailed ? "WaitResponse: read error...\n" : "";
        return a == LineModel::kFailed ? kDead : kNotAck;
      }
      if (byte == 0x06) {
        line.PutBack();
      }
    }
  }
  return byte == 0x06 ? kAck : kNotAck;
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
