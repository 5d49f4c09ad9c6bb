#include <cstdio>
#include <cstring>

#include "bootloader/bootloader.h"
#include "common/common.h"

namespace {
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kTextStart = 0x02;
constexpr uint8_t kTextEnd = 0x00;

enum Outcome { kRefused, kAccepted, kPortFailed };

// Under the blocking policy a read returns only with a byte or a dead port: never go on with
// the stale byte.
int ReadVerdictByte(PortHandle port, uint8_t* byte) {
  uint32_t error = 0;
  if (PortRead(port, byte, &error) == 0) {
    Print("WaitResponse: read error...\n");
    return 0;
  }
  return 1;
}

Outcome ReadVerdict(PortHandle port) {
  uint8_t byte = 0;
  if (ReadVerdictByte(port, &byte) == 0) {
    return kPortFailed;
  }
  while (byte == kTextStart) {
    for (;;) {
      if (ReadVerdictByte(port, &byte) == 0) {
        return kPortFailed;
      }
      if (byte == kTextEnd) {
        break;
      }
      Print("%c", byte);
    }
    if (ReadVerdictByte(port, &byte) == 0) {
      return kPortFailed;
    }
  }
  if (byte == kAck) {
    return kAccepted;
  }
  if (byte != kNak) {
    Print("Unknown response: 0x%X\n", byte);
  }
  return kRefused;
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
  return ReadVerdict(port);
}
}  // namespace

int WaitResponse(PortHandle port) { return ReadVerdict(port) == kAccepted ? 1 : 0; }

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
