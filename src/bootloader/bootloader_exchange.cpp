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
// A block of 1,025 bytes takes 89 ms on the line at 115,200 baud 8N1. The look for bytes
// waiting before a checksum catches a tool one verdict ahead only from a box that answers
// within that time; a slower box's verdicts each come after the next checksum, and nothing
// shows that they belong one message earlier.
constexpr uint32_t kBlockLineMs = 89;
// The watch after the final verdict for a run that may be one verdict ahead unseen: its
// "final" verdict was then the box's verdict after the last block, and the box's real one
// comes after the box has checked the body it stored, which may take seconds. 5 s is the
// longest the tool ever lets the box be silent in a bounded wait (the boot ROM's read limit).
// The box's start-up text in that time cannot fail the run: only 02, 06 and 15 count.
constexpr uint32_t kLongWatchMs = 5000;

enum Outcome { kRefused, kAccepted, kNoVerdict, kPortFailed, kOutOfStep };
enum ReadResult { kGotByte, kSilence, kDead };

// The longest a verdict has taken in this run, from the message's last byte on; the header's
// gives the first pace, so that a slow box's block 0 is not taken for silence.
uint32_t g_slowest_verdict_ms = 0;
// The box's own time for its slowest block: from the moment the block had crossed the line.
uint32_t g_slowest_box_ms = 0;
// A refusal, a block sent again or an odd byte: the run's verdicts may have been miscounted.
bool g_run_had_trouble = false;

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

// On a terminal a box's text could drive it (the box's own escape sequences, or noise on the
// line): its control bytes are shown as \xHH there. A pipe or a file gets the text exactly as it
// came, because the station and scripts read it so.
bool g_escape_text = false;
bool g_held_c2 = false;  // a C2 that may start the UTF-8 form of a control (U+0080..U+009F)

void ShowTextByte(uint8_t byte) {
  if (!g_escape_text) {
    Print("%c", byte);
    return;
  }
  if (g_held_c2) {
    g_held_c2 = false;
    if (byte >= 0x80 && byte <= 0x9F) {
      Print("\\xC2\\x%02X", byte);
      return;
    }
    Print("%c", 0xC2);
  }
  if (byte == 0xC2) {
    g_held_c2 = true;
  } else if (IsControlByte(byte)) {
    Print("\\x%02X", byte);
  } else {
    Print("%c", byte);
  }
}

void EndText() {
  if (g_held_c2) {
    g_held_c2 = false;
    Print("%c", 0xC2);
  }
}

// Text messages (02 ... 00), printed as they come, then the verdict byte.
ReadResult ReadVerdictByte(PortHandle port, ReadLimit limit, uint8_t* byte) {
  ReadResult r = ReadByte(port, limit, byte);
  while (r == kGotByte && *byte == kTextStart) {
    for (r = ReadByte(port, limit, byte); r == kGotByte && *byte != kTextEnd; r = ReadByte(port, limit, byte)) {
      ShowTextByte(*byte);
    }
    EndText();
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
    g_run_had_trouble = true;
    Print("Unknown response: 0x%X\n", byte);
  }
  return kAccepted;
}

// The window that an odd byte before this block's verdict opened; a refusal behind the odd
// byte is heard out to its end, not given a second one.
ReadLimit g_window{false, 0};

// After an unexpected byte before a block verdict: the verdict within the window, or the try
// has failed. The bootloader sends one verdict per message, so a verdict right behind stray
// bytes is the real one; taking a stray byte for it would send the block again, and the box,
// which had already taken the block, would store it twice.
Outcome ReadVerdictAfterStrayByte(PortHandle port) {
  const ReadLimit limit = LimitFromNow(PacedSpanMs(kStrayWindowMinMs, kStrayWindowPaces));
  g_window = limit;
  g_run_had_trouble = true;
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

// A refusal that a noise byte counterfeited has the box's real verdict behind it, within the
// box's pace; sending the block again would have the box store it twice. So the line is
// listened to for the stray-byte window before the block goes again (to the end of the window
// an odd byte already opened): a verdict or text message there proves the refusal was not the
// box's. Only a run with a refusal pays this.
Outcome HearOutRefusal(PortHandle port) {
  const ReadLimit limit = g_window.timed ? g_window : LimitFromNow(PacedSpanMs(kStrayWindowMinMs, kStrayWindowPaces));
  Outcome outcome = kRefused;
  for (;;) {
    uint8_t byte = 0;
    const ReadResult r = ReadByte(port, limit, &byte);
    if (r != kGotByte) {
      outcome = r == kDead ? kPortFailed : kRefused;
      break;
    }
    if (IsProtocolByte(byte)) {
      SayOutOfStep(byte, "after a refusal, before the block went again; nothing more is sent");
      outcome = kOutOfStep;
      break;
    }
    Print("Unknown response: 0x%X\n", byte);
  }
  if (SetReadTimeout(port, kBlockingRead) == 0) {
    return kPortFailed;
  }
  return outcome;
}

Outcome SendBlockOnce(PortHandle port, uint8_t* buffer, int32_t count) {
  g_window = ReadLimit{false, 0};
  if (count < 0) {
    count = 0;
  }
  if (count < static_cast<int32_t>(kBlockSize)) {
    std::memset(buffer + count, kFillByte, kBlockSize - static_cast<uint32_t>(count));
  }
  const uint8_t checksum = SumBytes(buffer, kBlockSize);
  const uint32_t started_at = ElapsedClock();
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
    // Writes may return as soon as the bytes are queued: the block has crossed the line no
    // earlier than its line time after the first of them went.
    const uint32_t crossed = sent_at - started_at < kBlockLineMs ? started_at + kBlockLineMs : sent_at;
    const int32_t box_ms = static_cast<int32_t>(ElapsedClock() - crossed);
    if (box_ms > static_cast<int32_t>(g_slowest_box_ms)) {
      g_slowest_box_ms = static_cast<uint32_t>(box_ms);
    }
  }
  if (outcome != kAccepted) {
    g_run_had_trouble = true;
  }
  return outcome;
}

// One verdict too many shows before a checksum only from a box faster than a block, and only
// when nothing odd happened: otherwise the run may be out of step without a trace.
bool MayBeOutOfStepUnseen() { return g_run_had_trouble || g_slowest_box_ms > kBlockLineMs; }
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

int WaitAfterLastResponse(PortHandle port) {
  const Outcome outcome = ReadVerdict(port, false);
  if (outcome == kRefused) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "boxload: the box refused after the last block: it refused the body, or a noise byte was taken "
                 "for the last block's verdict and the box refused that block\n");
    TraceNote("refusal after the last block");
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
  const ReadLimit limit =
      LimitFromNow(MayBeOutOfStepUnseen() ? kLongWatchMs : PacedSpanMs(kLateVerdictMinMs, kLateVerdictPaces));
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

void ForgetVerdictPace() {
  g_slowest_verdict_ms = 0;
  g_slowest_box_ms = 0;
  g_run_had_trouble = false;
}

void ShowBoxTextEscaped(bool on) { g_escape_text = on; }

int SendBlock(PortHandle port, uint8_t* buffer, int32_t count) {
  return SendBlockOnce(port, buffer, count) == kAccepted ? 1 : 0;
}

int SendBlockWithRetry(PortHandle port, uint8_t* buffer, int32_t count, int32_t tries) {
  for (int32_t i = 0; i < tries; ++i) {
    if (i > 0) {
      TraceNote("block sent again (try %d of %d)", static_cast<int>(i + 1), static_cast<int>(tries));
    }
    Outcome outcome = SendBlockOnce(port, buffer, count);
    if (outcome == kAccepted) {
      return 1;
    }
    if (outcome == kRefused && i + 1 < tries) {
      outcome = HearOutRefusal(port);
    }
    // Sending again cannot help once the port itself has failed, and out of step it would
    // send a block the box did not ask for.
    if (outcome == kPortFailed || outcome == kOutOfStep) {
      return 0;
    }
  }
  return 0;
}
