#include <cstdio>

#include "bootrom/bootrom.h"
#include "common/common.h"

namespace {

void SendMessage(PortHandle port, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    PortWrite(port, bytes[i]);
  }
}

}  // namespace

uint32_t g_repair_mode = 0;

int GetPlatformID(PortHandle port, uint8_t reply[kPlatformReplySize], uint32_t timeout_ms) {
  if (SetReadTimeout(port, timeout_ms) == 0) {
    return 0;
  }
  DrainPort(port);
  PurgePort(port);
  SendMessage(port, kGetPlatformIdRequest, sizeof kGetPlatformIdRequest);

  uint8_t first = 0;
  uint8_t byte = 0;
  uint32_t error = 0;
  for (uint32_t position = 1;; ++position) {
    if (PortRead(port, &byte, &error) == 0) {
      return 0;
    }
    if (position == 1 && (byte == kRepairAnnounce05 || byte == kRepairAnnounce0E)) {
      first = byte;
    }
    if (byte == kPlatformReplyMark) {
      reply[0] = byte;
      Print("STB response: %X ", byte);
      for (uint32_t i = 1; i < kPlatformReplySize; ++i) {
        if (PortRead(port, &reply[i], &error) == 0) {
          return 0;
        }
        Print("%X ", reply[i]);
      }
      Print("\n");
      return 1;
    }
    if (byte == kRepairAnnounceEnd && position == 2 && first != 0) {
      Print("STB: REPAIR_MODE\n");
      g_repair_mode = kRepairModeMark;
      return 1;
    }
  }
}

void SendResetCommand(PortHandle port, uint8_t reset_reply[2]) {
  if (SetReadTimeout(port, kBootRomTimeoutMs) == 0) {
    return;
  }
  // No purge: whatever already waits is part of the reset reply (in repair mode, of the go reply).
  DrainPort(port);

  uint8_t byte = 0;
  uint32_t error = 0;
  if (!InRepairMode()) {
    SendMessage(port, kResetRequest, sizeof kResetRequest);
    uint8_t before = 0;
    for (;;) {
      if (PortRead(port, &byte, &error) == 0) {
        Print("SendResetCommand: read error...\n");
        return;
      }
      if (byte == kResetDone) {
        break;
      }
      before = byte;
    }
    reset_reply[0] = before;
    reset_reply[1] = kResetDone;
  }

  PortWrite(port, kGoByte);
  if (PortRead(port, &byte, &error) == 0) {
    Print("SendResetCommand: read error...\n");
  } else if (byte != kGoByte) {
    Print("SendResetCommand: bad response(0x09) %X\n", byte);
  }
}
