#include <cstdio>
#include <cstring>

#include "bootrom/bootrom.h"
#include "bootrom/firmware_image.h"
#include "common/common.h"
#include "common/trace.h"

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

// The guard looks at the box's first answer, while nothing but probes has gone to it: a box of
// another model must not even be reset. A box waiting in repair mode answers 05 08 or 0E 08,
// which names no platform, so it cannot be shown to be the right one and is refused as well.
int PlatformAccepted(const uint8_t reply[kPlatformReplySize], const PlatformPrefix& expected) {
  if (expected.length == 0) {
    return 1;
  }
  const bool repair = InRepairMode();
  if (!repair && std::memcmp(reply + 1, expected.bytes, expected.length) == 0) {
    return 1;
  }
  char wanted[2 * kPlatformIdSize + 1];
  HexText(expected.bytes, expected.length, wanted);
  std::fflush(stdout);
  if (repair) {
    std::fprintf(stderr,
                 "boxload: the box waits in REPAIR_MODE, which names no platform, but --platform asks for %s: not "
                 "updated\n",
                 wanted);
    TraceNote("platform unknown (repair mode), %s expected: no reset", wanted);
  } else {
    char answered[2 * kPlatformIdSize + 1];
    HexText(reply + 1, kPlatformIdSize, answered);
    std::fprintf(stderr, "boxload: the box answers platform %s but --platform asks for %s: not updated\n", answered,
                 wanted);
    TraceNote("platform %s, %s expected: no reset", answered, wanted);
  }
  return 0;
}
}  // namespace

int RunFirmwareStage(PortHandle port, const PlatformPrefix& expected) {
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
  if (PlatformAccepted(reply, expected) == 0) {
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
