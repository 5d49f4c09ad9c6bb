#include <cstdio>

#include "bootrom/bootrom.h"
#include "bootrom/firmware_image.h"
#include "common/common.h"

namespace {
constexpr int kProbesBeforeReset = 15;
// About two minutes of 500 ms probes for the box to start the image.
constexpr int kProbesAfterImage = 240;

int ProbeUpTo(PortHandle port, uint8_t reply[kPlatformReplySize], int attempts) {
  for (int i = 0; i < attempts; ++i) {
    if (GetPlatformID(port, reply, kProbeTimeoutMs) != 0) {
      return 1;
    }
  }
  return 0;
}
}  // namespace

int RunFirmwareStage(PortHandle port) {
  const uint32_t t0 = ElapsedClock();
  if (port == nullptr) {
    return 0;
  }
  uint8_t reply[kPlatformReplySize] = {};
  // Not 08 until the reset exchange stores a reply, so a missing reply fails the check below.
  uint8_t reset_reply[2] = {0, 0};

  Print("Send 'GetPlatformID' and waiting STB response\n");
  if (ProbeUpTo(port, reply, kProbesBeforeReset) == 0) {
    Print("STB not responding...\n");
    return 0;
  }

  SendResetCommand(port, reset_reply);
  Print("SendResetCommand: STB response %X,%X\n", reset_reply[0], reset_reply[1]);
  if (!InRepairMode() && reset_reply[1] != kResetDone) {
    Print("STB after reset cmd: Unknown response(0x08): %X\n", reset_reply[1]);
    return 0;
  }

  Print("SendFileHeader...\n");
  SendFileHeader(port, kFirmwareImageSize);
  Print("SendFile...\n");
  SendFile(port, FirmwareImage, kFirmwareImageSize);

  Print("Waiting STB response\n");
  if (ProbeUpTo(port, reply, kProbesAfterImage) == 0) {
    Print("SW update: error\n");
    return 0;
  }
  PrintStatusLine("Firmware", t0, ElapsedClock());
  return 1;
}
