#include <cstdio>

#include "bootrom/bootrom.h"
#include "common/common.h"

namespace {

constexpr uint8_t kGetPlatformIdRequest[] = {0xA5, 0x02, 0x00, 0x11, 0x12};
constexpr uint8_t kResetRequest[] = {0xA5, 0x02, 0x00, 0x12, 0x13};
constexpr uint8_t kPlatformReplyMark = 0xA5;
constexpr uint8_t kGoByte = 0x09;
constexpr uint8_t kResetDone = 0x08;
// A box waiting in repair mode answers a probe with 05 08 or 0E 08.
constexpr uint8_t kRepairAnnounce05 = 0x05;
constexpr uint8_t kRepairAnnounce0E = 0x0E;
constexpr uint8_t kRepairAnnounceEnd = 0x08;

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
