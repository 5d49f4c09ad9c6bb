// The box's boot ROM: identification, reset, the framed image transfer and the firmware stage.
//
//   GetPlatformID(port, reply, T)  one probe: A5 02 00 11 12, then A5 + 12 bytes (printed) or
//                                  the repair-mode announcement 05 08 / 0E 08; 1 = answered
//   SendResetCommand(port, reply)  reset request (skipped in repair mode), then the go byte 09;
//                                  the caller judges the outcome by reply[1] == 08
//   SendFileHeader(port, length)   01 01, length LE32, 14 x 00, end byte 09; expects 09
//   SendFile(port, data, length)   the image in 1,025-byte frames, FF fill, checksum
//   SendBytes(port, buffer, count) one frame and its answer, 09 or 0A
//   RunFirmwareStage(port)         the whole first stage: probes, reset, header, image, and the
//                                  wait for the box to come back; 1 = the box runs the image
//   g_repair_mode / InRepairMode() kRepairModeMark once a probe saw the announcement; only ever
//                                  set, and then every reset exchange skips the reset request
//   FirmwareImage / kFirmwareImageIsStandIn  the image the tool carries, and whether it is the
//                                  stand-in that only the simulated box runs
//   FirmwareImageSha256            the image's SHA-256 in hex, taken by the build
//
// None of the transfer operations return a result: the stage learns whether the box took the
// image only from the identification that follows it.
#pragma once

#include <cstdint>

#include "serial/serial.h"

inline constexpr uint32_t kPlatformReplySize = 13;
inline constexpr uint32_t kFrameSize = 1025;

inline constexpr uint32_t kRepairModeMark = 0xEEEEDDDDu;
extern uint32_t g_repair_mode;
inline bool InRepairMode() { return g_repair_mode == kRepairModeMark; }

int GetPlatformID(PortHandle port, uint8_t reply[kPlatformReplySize], uint32_t timeout_ms);
void SendResetCommand(PortHandle port, uint8_t reset_reply[2]);
void SendFileHeader(PortHandle port, uint32_t length);
void SendFile(PortHandle port, const uint8_t* data, uint32_t length);
void SendBytes(PortHandle port, const uint8_t* buffer, uint32_t count);
int RunFirmwareStage(PortHandle port);

// The firmware image the tool carries; made from the image file at build time.
inline constexpr uint32_t kFirmwareImageSize = 12084;
extern const uint8_t FirmwareImage[kFirmwareImageSize];
// True when the build was given the stand-in image of data/firmware.bin: no real box runs it.
extern const bool kFirmwareImageIsStandIn;
// The image's SHA-256 as 64 lower-case hex digits, taken by the build: it names the image in a
// trace, and tells a replay whether the trace was made with the same one.
extern const char FirmwareImageSha256[];
