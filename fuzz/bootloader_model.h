// The remote bootloader's side of the software stage as the tool should see it: verdicts with
// their text messages, the ready handshake and blocks sent with retries. Shared by the targets
// that drive the bootloader exchange.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace fuzz {

enum Verdict { kAck, kRefused, kNoVerdict, kDead };

// Any number of 02 ... 00 texts, printed as they come, then the verdict byte: every read
// waits without limit, or (timed) only until the deadline; a byte that arrived by then is
// read even when the deadline has passed.
inline LineModel::Result ReadOne(LineModel& line, std::string& text, bool timed, uint64_t deadline, uint8_t* byte) {
  if (timed && deadline <= line.Now() && !line.Waiting()) {
    return LineModel::kTimeOut;
  }
  // Past the deadline the byte is already there: a blocking read takes it at once.
  const uint32_t timeout =
      timed && deadline > line.Now() ? static_cast<uint32_t>(deadline - line.Now()) : kBlockingRead;
  const LineModel::Result r = line.Read(timeout, byte);
  if (r == LineModel::kFailed) {
    text += "WaitResponse: read error...\n";
  }
  return r;
}

inline LineModel::Result VerdictByte(LineModel& line, std::string& text, bool timed, uint64_t deadline, uint8_t* byte) {
  auto next = [&]() { return ReadOne(line, text, timed, deadline, byte); };
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

// The stray-byte window for a run whose slowest verdict took slowest_ms: 500 ms, or three
// times that, at most 2 s.
inline uint64_t StrayWindow(uint64_t slowest_ms) { return std::clamp<uint64_t>(3 * slowest_ms, 500, 2000); }

// One verdict. The first odd byte is reported; without a stray-byte window it is the answer,
// and the verdict fails. With one (block verdicts only), a verdict behind the odd bytes within
// the window from the first of them is the real one.
// window_end, when given, gets the end of the window an odd byte opened (0 for none).
inline Verdict ReadVerdict(LineModel& line, std::string& text, uint64_t window_ms, bool stray_window,
                           uint64_t* window_end = nullptr) {
  uint8_t byte = 0;
  if (VerdictByte(line, text, false, 0, &byte) != LineModel::kByte) {
    return kDead;
  }
  const uint64_t deadline = line.Now() + window_ms;
  if (window_end != nullptr) {
    *window_end = byte != 0x06 && byte != 0x15 ? deadline : 0;
  }
  while (byte != 0x06 && byte != 0x15) {
    text += Format("Unknown response: 0x%X\n", byte);
    if (!stray_window) {
      return kNoVerdict;
    }
    const LineModel::Result r = VerdictByte(line, text, true, deadline, &byte);
    if (r != LineModel::kByte) {
      return r == LineModel::kFailed ? kDead : kNoVerdict;
    }
  }
  return byte == 0x06 ? kAck : kRefused;
}

inline bool IsProtocolByte(uint8_t byte) { return byte == 0x06 || byte == 0x15 || byte == 0x02; }

// The line on standard error for a verdict or text message that no message of the tool's is due.
inline void OutOfStep(WireModel& wire, uint8_t byte, const char* when) {
  wire.errors += byte == 0x02 ? std::string("boxload: out of step with the box: a text message came ")
                              : Format("boxload: out of step with the box: a verdict (%02X) came ", byte);
  wire.errors += std::string(when) + "; nothing more is sent\n";
}

// Before a refused block goes again: bytes up to the deadline. A verdict or a text message's
// start means the refusal was noise ahead of the box's own verdict: out of step, no more tries.
// True when the block may go again.
inline bool HearOutRefusal(WireModel& wire, LineModel& line, uint64_t deadline) {
  for (;;) {
    uint8_t byte = 0;
    const LineModel::Result r = ReadOne(line, wire.text, true, deadline, &byte);
    if (r != LineModel::kByte) {
      return r == LineModel::kTimeOut;
    }
    if (IsProtocolByte(byte)) {
      OutOfStep(wire, byte, "after a refusal, before the block went again");
      return false;
    }
    wire.text += Format("Unknown response: 0x%X\n", byte);
  }
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
  return ReadVerdict(line, text, 0, false) == kAck;
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
// failed write or read, and no further try is made. The box answers a block only after its
// checksum, so a verdict or text message already there before the checksum goes is one the
// tool has no block for: out of step, said on standard error, and no further try. Each 06 or 15
// is timed from the block's last byte for the run's slowest verdict. A refusal with a try left
// is heard out first, to the end of the stray-byte window (the one an odd byte opened, if any).
inline bool SendWithRetry(WireModel& wire, LineModel& line, const Bytes& block, int32_t tries) {
  for (int32_t t = 0; t < tries; ++t) {
    if (!std::all_of(block.begin(), block.end() - 1, [&wire](uint8_t b) { return wire.Write(b); })) {
      return false;
    }
    uint8_t early = 0;
    while (line.Waiting() && line.Read(kBlockingRead, &early) == LineModel::kByte) {
      if (IsProtocolByte(early)) {
        OutOfStep(wire, early, "before the block it could answer had been sent");
        return false;
      }
      wire.text += Format("Unknown response: 0x%X\n", early);
    }
    if (!wire.Write(block.back())) {
      return false;
    }
    const uint64_t sent_at = line.Now();
    uint64_t window_end = 0;
    const Verdict verdict = ReadVerdict(line, wire.text, StrayWindow(wire.slowest_verdict_ms), true, &window_end);
    if (verdict == kAck || verdict == kRefused) {
      wire.slowest_verdict_ms = std::max(wire.slowest_verdict_ms, line.Now() - sent_at);
    }
    if (verdict == kAck || verdict == kDead) {
      return verdict == kAck;
    }
    if (verdict == kRefused && t + 1 < tries &&
        !HearOutRefusal(wire, line, window_end != 0 ? window_end : line.Now() + StrayWindow(wire.slowest_verdict_ms))) {
      return false;
    }
  }
  return false;
}

}  // namespace fuzz
