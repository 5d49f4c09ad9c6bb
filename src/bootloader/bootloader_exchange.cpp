#include <cstdio>
#include <cstring>

#include "bootloader/bootloader.h"
#include "common/common.h"

namespace {
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kTextStart = 0x02;
constexpr uint8_t kTextEnd = 0x00;
// How long an unexpected byte may wait for the verdict behind it. It must cover the box's time
// to store a block, since a stray byte can come while the box is still writing its flash; the
// same 500 ms the boot ROM's probe allows for an answer.
constexpr uint32_t kStrayByteWindowMs = 500;
// Noise cannot hold the tool in the window for ever: after this many unexpected bytes in a row
// the try has failed.
constexpr uint32_t kMaxStrayBytes = 8;

enum Outcome { kRefused, kAccepted, kPortFailed };
enum ReadResult { kGotByte, kSilence, kDead };

// The first byte of the next message, read ahead while telling a stray byte from a verdict.
bool g_have_read_ahead = false;
uint8_t g_read_ahead = 0;

// Under the blocking policy a read returns only with a byte or a dead port: never go on with
// the stale byte. Silence is possible only under the stray-byte window.
ReadResult ReadByte(PortHandle port, bool timed, uint8_t* byte) {
  if (g_have_read_ahead) {
    g_have_read_ahead = false;
    *byte = g_read_ahead;
    return kGotByte;
  }
  uint32_t error = 0;
  if (PortRead(port, byte, &error) != 0) {
    return kGotByte;
  }
  if (timed && error == 0) {
    return kSilence;
  }
  Print("WaitResponse: read error...\n");
  return kDead;
}

// Text messages (02 ... 00), printed as they come, then the verdict byte.
ReadResult ReadVerdictByte(PortHandle port, bool timed, uint8_t* byte) {
  ReadResult r = ReadByte(port, timed, byte);
  while (r == kGotByte && *byte == kTextStart) {
    for (r = ReadByte(port, timed, byte); r == kGotByte && *byte != kTextEnd; r = ReadByte(port, timed, byte)) {
      Print("%c", *byte);
    }
    if (r == kGotByte) {
      r = ReadByte(port, timed, byte);
    }
  }
  return r;
}

// After an unexpected byte: the verdict within the window, or the try has failed. The
// bootloader sends one verdict per message, so a verdict right behind a stray byte is the real
// one; taking the stray byte for it would send the block again, and the box, which had already
// taken the block, would store it twice.
// Where another verdict follows with no message between (the final one after the verdict on
// the last block), the byte behind a stray one may be that next verdict instead: it counts only
// when the next message starts within the window too, else the odd byte was the answer.
Outcome ReadVerdictAfterStrayByte(PortHandle port, bool another_follows) {
  if (SetReadTimeout(port, kStrayByteWindowMs) == 0) {
    return kPortFailed;
  }
  Outcome outcome = kRefused;
  for (uint32_t stray = 1; stray <= kMaxStrayBytes; ++stray) {
    uint8_t byte = 0;
    const ReadResult r = ReadVerdictByte(port, true, &byte);
    if (r != kGotByte) {
      outcome = r == kDead ? kPortFailed : kRefused;  // silence: the odd byte was the answer
      break;
    }
    if (byte == kAck || byte == kNak) {
      outcome = byte == kAck ? kAccepted : kRefused;
      if (another_follows) {
        const ReadResult next = ReadByte(port, true, &g_read_ahead);
        if (next != kGotByte) {
          outcome = next == kDead ? kPortFailed : kRefused;
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
  if (ReadVerdictByte(port, false, &byte) != kGotByte) {
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
  return ReadVerdict(port, false);
}
}  // namespace

int WaitResponse(PortHandle port) { return ReadVerdict(port, false) == kAccepted ? 1 : 0; }

int WaitResponseBeforeAnother(PortHandle port) { return ReadVerdict(port, true) == kAccepted ? 1 : 0; }

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
