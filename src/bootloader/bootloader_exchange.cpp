#include <cstdio>
#include <cstring>

#include "bootloader/bootloader.h"
#include "common/common.h"

namespace {
// The stray-byte window: how long after the first unexpected byte the verdict behind it may
// come. A stray byte can come while the box is still storing a block, so the window covers the
// box's own pace: 500 ms (what the boot ROM's probe allows for an answer), or for a slower box
// three times its slowest block verdict so far; never more than 2 s, so that neither a noise
// burst nor one freak verdict can hold the tool for long.
constexpr uint32_t kStrayWindowMinMs = 500;
constexpr uint32_t kStrayWindowMaxMs = 2000;
constexpr uint32_t kStrayWindowPaces = 3;

enum Outcome { kRefused, kAccepted, kNoVerdict, kPortFailed };
enum ReadResult { kGotByte, kSilence, kDead };

// The first byte of the next message, read ahead while telling a stray byte from a verdict.
bool g_have_read_ahead = false;
uint8_t g_read_ahead = 0;

// The longest a block has waited for its verdict in this run, from its last byte on.
uint32_t g_slowest_verdict_ms = 0;

uint32_t StrayWindowMs() {
  const uint64_t paced = uint64_t{kStrayWindowPaces} * g_slowest_verdict_ms;
  if (paced < kStrayWindowMinMs) {
    return kStrayWindowMinMs;
  }
  return paced > kStrayWindowMaxMs ? kStrayWindowMaxMs : static_cast<uint32_t>(paced);
}

// A read waits without limit, or (timed) only until the deadline on ElapsedClock. Under the
// blocking policy a read returns only with a byte or a dead port: never go on with the stale
// byte. Silence is possible only under a deadline.
struct ReadLimit {
  bool timed;
  uint32_t deadline;
};
constexpr ReadLimit kNoLimit{false, 0};

ReadLimit LimitFromNow(uint32_t span_ms) { return ReadLimit{true, ElapsedClock() + span_ms}; }

ReadResult ReadByte(PortHandle port, ReadLimit limit, uint8_t* byte) {
  if (g_have_read_ahead) {
    g_have_read_ahead = false;
    *byte = g_read_ahead;
    return kGotByte;
  }
  if (limit.timed) {
    const int32_t left = static_cast<int32_t>(limit.deadline - ElapsedClock());
    if (left <= 0) {
      return kSilence;
    }
    if (SetReadTimeout(port, static_cast<uint32_t>(left)) == 0) {
      return kDead;
    }
  }
  uint32_t error = 0;
  if (PortRead(port, byte, &error) != 0) {
    return kGotByte;
  }
  if (limit.timed && error == 0) {
    return kSilence;
  }
  Print("WaitResponse: read error...\n");
  return kDead;
}

// Text messages (02 ... 00), printed as they come, then the verdict byte.
ReadResult ReadVerdictByte(PortHandle port, ReadLimit limit, uint8_t* byte) {
  ReadResult r = ReadByte(port, limit, byte);
  while (r == kGotByte && *byte == kTextStart) {
    for (r = ReadByte(port, limit, byte); r == kGotByte && *byte != kTextEnd; r = ReadByte(port, limit, byte)) {
      Print("%c", *byte);
    }
    if (r == kGotByte) {
      r = ReadByte(port, limit, byte);
    }
  }
  return r;
}

// After an unexpected byte: the verdict within the window, or the try has failed. The
// bootloader sends one verdict per message, so a verdict right behind stray bytes is the real
// one; taking a stray byte for it would send the block again, and the box, which had already
// taken the block, would store it twice.
// Where another verdict follows with no message between (the final one after the verdict on
// the last block), the byte behind a stray one may be that next verdict instead: it counts only
// when the next message starts within a window after it too, else the odd byte was the answer.
Outcome ReadVerdictAfterStrayByte(PortHandle port, bool another_follows) {
  const uint32_t window = StrayWindowMs();
  const ReadLimit limit = LimitFromNow(window);
  Outcome outcome = kNoVerdict;
  for (;;) {
    uint8_t byte = 0;
    const ReadResult r = ReadVerdictByte(port, limit, &byte);
    if (r != kGotByte) {
      outcome = r == kDead ? kPortFailed : kNoVerdict;  // silence: the odd byte was the answer
      break;
    }
    if (byte == kAck || byte == kNak) {
      outcome = byte == kAck ? kAccepted : kRefused;
      if (another_follows) {
        const ReadResult next = ReadByte(port, LimitFromNow(window), &g_read_ahead);
        if (next != kGotByte) {
          outcome = next == kDead ? kPortFailed : kNoVerdict;
        }
        // Kept for the next verdict only when the stage goes on to read it.
        g_have_read_ahead = next == kGotByte && outcome == kAccepted;
      }
      break;
    }
    Print("Unknown response: 0x%X\n", byte);
  }
  if (SetReadTimeout(port, kBlockingRead) == 0) {
    return kPortFailed;
  }
  return outcome;
}

Outcome ReadVerdict(PortHandle port, bool another_follows) {
  uint8_t byte = 0;
  if (ReadVerdictByte(port, kNoLimit, &byte) != kGotByte) {
    return kPortFailed;
  }
  if (byte == kAck) {
    return kAccepted;
  }
  if (byte == kNak) {
    return kRefused;
  }
  Print("Unknown response: 0x%X\n", byte);
  return ReadVerdictAfterStrayByte(port, another_follows);
}

Outcome SendBlockOnce(PortHandle port, uint8_t* buffer, int32_t count) {
  if (count < 0) {
    count = 0;
  }
  if (count < static_cast<int32_t>(kBlockSize)) {
    std::memset(buffer + count, kFillByte, kBlockSize - static_cast<uint32_t>(count));
  }
  const uint8_t checksum = SumBytes(buffer, kBlockSize);
  // A write fails only on a dead port; one "PortWrite" line is enough, not 1,025 of them.
  for (uint32_t i = 0; i < kBlockSize; ++i) {
    if (PortWrite(port, buffer[i]) == 0) {
      return kPortFailed;
    }
  }
  if (PortWrite(port, checksum) == 0) {
    return kPortFailed;
  }
  const uint32_t sent_at = ElapsedClock();
  const Outcome outcome = ReadVerdict(port, false);
  const uint32_t pace = ElapsedClock() - sent_at;
  if ((outcome == kAccepted || outcome == kRefused) && pace > g_slowest_verdict_ms) {
    g_slowest_verdict_ms = pace;
  }
  return outcome;
}
}  // namespace

int WaitResponse(PortHandle port) { return ReadVerdict(port, false) == kAccepted ? 1 : 0; }

int WaitResponseBeforeAnother(PortHandle port) { return ReadVerdict(port, true) == kAccepted ? 1 : 0; }

int WaitLastResponse(PortHandle port) {
  const Outcome outcome = ReadVerdict(port, false);
  if (outcome == kRefused) {
    // Silent on the console, as every user knows it; the reason goes where it cannot disturb it.
    std::fflush(stdout);
    std::fprintf(stderr, "boxload: the box refused the update at its last verdict\n");
  }
  return outcome == kAccepted ? 1 : 0;
}

void ForgetVerdictPace() { g_slowest_verdict_ms = 0; }

int SendBlock(PortHandle port, uint8_t* buffer, int32_t count) {
  return SendBlockOnce(port, buffer, count) == kAccepted ? 1 : 0;
}

int SendBlockWithRetry(PortHandle port, uint8_t* buffer, int32_t count, int32_t tries) {
  for (int32_t i = 0; i < tries; ++i) {
    const Outcome outcome = SendBlockOnce(port, buffer, count);
    if (outcome == kAccepted) {
      return 1;
    }
    // Sending again cannot help once the port itself has failed.
    if (outcome == kPortFailed) {
      return 0;
    }
  }
  return 0;
}
