#include <cstdio>
#include <cstring>

#include "bootloader/bootloader.h"
#include "common/common.h"
#include "common/trace.h"

namespace {
// The stray-byte window: how long after the first unexpected byte the verdict behind it may
// come. A stray byte can come while the box is still storing a block, so the window covers the
// box's own pace: 500 ms (what the boot ROM's probe allows for an answer), or for a slower box
// three times its slowest verdict so far; never more than 2 s, so that neither a noise burst
// nor one freak verdict can hold the tool for long. Block verdicts only: elsewhere nothing is
// sent twice, and an odd byte fails the step, which a new run recovers from.
constexpr uint32_t kStrayWindowMinMs = 500;
constexpr uint32_t kStrayWindowMaxMs = 2000;
constexpr uint32_t kStrayWindowPaces = 3;
// How long the line is watched after the final verdict for one verdict too many: 250 ms, or
// the run's slowest verdict. A box's final verdict comes right behind the one before it when
// it has nothing left to store, so a tool that is one verdict ahead hears it within the box's
// usual pace; every run pays the watch, so it is kept short.
constexpr uint32_t kLateVerdictMinMs = 250;
constexpr uint32_t kLateVerdictPaces = 1;

enum Outcome { kRefused, kAccepted, kNoVerdict, kPortFailed, kOutOfStep };
enum ReadResult { kGotByte, kSilence, kDead };

// The longest a verdict has taken in this run, from the message's last byte on; the header's
// gives the first pace, so that a slow box's block 0 is not taken for silence.
uint32_t g_slowest_verdict_ms = 0;

uint32_t PacedSpanMs(uint32_t floor_ms, uint32_t paces) {
  const uint64_t paced = uint64_t{paces} * g_slowest_verdict_ms;
  if (paced < floor_ms) {
    return floor_ms;
  }
  return paced > kStrayWindowMaxMs ? kStrayWindowMaxMs : static_cast<uint32_t>(paced);
}

void NotePace(uint32_t since) {
  const uint32_t pace = ElapsedClock() - since;
  if (pace > g_slowest_verdict_ms) {
    g_slowest_verdict_ms = pace;
  }
}

// A read waits without limit, or (timed) only until the deadline on ElapsedClock. Under the
// blocking policy a read returns only with a byte or a dead port: never go on with the stale
// byte. Silence is possible only under a deadline, and only with nothing waiting: a byte that
// came while the tool was busy (a loaded bench) is still read after the deadline has passed.
struct ReadLimit {
  bool timed;
  uint32_t deadline;
};
constexpr ReadLimit kNoLimit{false, 0};

ReadLimit LimitFromNow(uint32_t span_ms) { return ReadLimit{true, ElapsedClock() + span_ms}; }

ReadResult ReadByte(PortHandle port, ReadLimit limit, uint8_t* byte, bool quiet = false) {
  if (limit.timed) {
    const int32_t left = static_cast<int32_t>(limit.deadline - ElapsedClock());
    if (left <= 0) {
      // A waiting byte comes back at once, whatever the read policy.
      if (PortInputWaiting(port) == 0) {
        return kSilence;
      }
    } else if (SetReadTimeout(port, static_cast<uint32_t>(left)) == 0) {
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
  if (!quiet) {
    Print("WaitResponse: read error...\n");
  }
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

bool IsProtocolByte(uint8_t byte) { return byte == kAck || byte == kNak || byte == kTextStart; }

// Being one verdict ahead of the box is never safe: a refusal would make the tool send the
// wrong block again, and the box's real last verdict would come after the tool had finished.
void SayOutOfStep(uint8_t byte, const char* when) {
  std::fflush(stdout);
  if (byte == kTextStart) {
    std::fprintf(stderr, "boxload: out of step with the box: a text message came %s\n", when);
  } else {
    std::fprintf(stderr, "boxload: out of step with the box: a verdict (%02X) came %s\n", byte, when);
  }
  TraceNote("out of step: %02X came %s", byte, when);
}

// The box answers a block only once its checksum has arrived, so whatever is already waiting
// before the checksum goes cannot be this block's verdict. A verdict or text message there is
// one the tool has no message for: it has taken another byte for a verdict before. Other
// bytes are noise, reported as any odd byte is.
Outcome TakeEarlyBytes(PortHandle port) {
  while (PortInputWaiting(port) != 0) {
    uint8_t byte = 0;
    if (ReadByte(port, kNoLimit, &byte) != kGotByte) {
      return kPortFailed;
    }
    if (IsProtocolByte(byte)) {
      SayOutOfStep(byte, "before the block it could answer had been sent; nothing more is sent");
      return kOutOfStep;
    }
    Print("Unknown response: 0x%X\n", byte);
  }
  return kAccepted;
}

// After an unexpected byte before a block verdict: the verdict within the window, or the try
// has failed. The bootloader sends one verdict per message, so a verdict right behind stray
// bytes is the real one; taking a stray byte for it would send the block again, and the box,
// which had already taken the block, would store it twice.
Outcome ReadVerdictAfterStrayByte(PortHandle port) {
  const ReadLimit limit = LimitFromNow(PacedSpanMs(kStrayWindowMinMs, kStrayWindowPaces));
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
      break;
    }
    Print("Unknown response: 0x%X\n", byte);
  }
  if (SetReadTimeout(port, kBlockingRead) == 0) {
    return kPortFailed;
  }
  return outcome;
}

Outcome ReadVerdict(PortHandle port, bool stray_window) {
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
  return stray_window ? ReadVerdictAfterStrayByte(port) : kNoVerdict;
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
  const Outcome early = TakeEarlyBytes(port);
  if (early != kAccepted) {
    return early;
  }
  if (PortWrite(port, checksum) == 0) {
    return kPortFailed;
  }
  const uint32_t sent_at = ElapsedClock();
  const Outcome outcome = ReadVerdict(port, true);
  if (outcome == kAccepted || outcome == kRefused) {
    NotePace(sent_at);
  }
  return outcome;
}
}  // namespace

int WaitResponse(PortHandle port) { return ReadVerdict(port, false) == kAccepted ? 1 : 0; }

int WaitHeaderResponse(PortHandle port) {
  const uint32_t sent_at = ElapsedClock();
  const Outcome outcome = ReadVerdict(port, false);
  if (outcome == kAccepted || outcome == kRefused) {
    NotePace(sent_at);
  }
  return outcome == kAccepted ? 1 : 0;
}

int WaitLastResponse(PortHandle port) {
  const Outcome outcome = ReadVerdict(port, false);
  if (outcome == kRefused) {
    // Silent on the console, as every user knows it; the reason goes where it cannot disturb it.
    std::fflush(stdout);
    std::fprintf(stderr, "boxload: the box refused the update at its last verdict\n");
  }
  return outcome == kAccepted ? 1 : 0;
}

int CheckNoVerdictFollows(PortHandle port) {
  // A box may print its start-up text now: plain text, never a verdict or a text message. A
  // port that fails here has already had the update: the box may restart, the adapter go.
  const ReadLimit limit = LimitFromNow(PacedSpanMs(kLateVerdictMinMs, kLateVerdictPaces));
  int in_step = 1;
  for (;;) {
    uint8_t byte = 0;
    if (ReadByte(port, limit, &byte, true) != kGotByte) {
      break;
    }
    if (IsProtocolByte(byte)) {
      SayOutOfStep(byte, "after its final one; the update is not known to be good");
      in_step = 0;
      break;
    }
  }
  SetReadTimeout(port, kBlockingRead);
  return in_step;
}

void ForgetVerdictPace() { g_slowest_verdict_ms = 0; }

int SendBlock(PortHandle port, uint8_t* buffer, int32_t count) {
  return SendBlockOnce(port, buffer, count) == kAccepted ? 1 : 0;
}

int SendBlockWithRetry(PortHandle port, uint8_t* buffer, int32_t count, int32_t tries) {
  for (int32_t i = 0; i < tries; ++i) {
    if (i > 0) {
      TraceNote("block sent again (try %d of %d)", static_cast<int>(i + 1), static_cast<int>(tries));
    }
    const Outcome outcome = SendBlockOnce(port, buffer, count);
    if (outcome == kAccepted) {
      return 1;
    }
    // Sending again cannot help once the port itself has failed, and out of step it would
    // send a block the box did not ask for.
    if (outcome == kPortFailed || outcome == kOutOfStep) {
      return 0;
    }
  }
  return 0;
}
