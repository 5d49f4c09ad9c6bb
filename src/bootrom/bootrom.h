// The box's boot ROM: identification, reset, the framed image transfer and the firmware stage.
//
//   GetPlatformID(port, reply, T)  one probe: A5 02 00 11 12, then A5 + 12 bytes (printed) or
//                                  the repair-mode announcement 05 08 / 0E 08; 1 = answered
//   SendResetCommand(port, reply)  reset request (skipped in repair mode), then the go byte 09;
//                                  the caller judges the outcome by reply[1] == 08
//   SendFileHeader(port, length)   01 01, length LE32, 14 x 00, end byte 09; expects 09
//   SendFile(port, data, length)   the image in 1,025-byte frames, FF fill, checksum
//   SendBytes(port, buffer, count) one frame and its answer, 09 or 0A
//   RunFirmwareStage(port, expected)  the whole first stage: probes, reset, header, image, and
//                                  the wait for the box to come back; 1 = the box runs the image.
//                                  With an expected platform (length > 0) a box whose first
//                                  answer does not begin with it, or that waits in repair mode
//                                  and so names none, gets no reset: one stderr line naming
//                                  both values, and 0
//   g_repair_mode / InRepairMode() kRepairModeMark once a probe saw the announcement; only ever
//                                  set, and then every reset exchange skips the reset request
//   kGetPlatformIdRequest ... kFrameTaken0A  the boot ROM's bytes on the line, all in one block
//
// The image that the stage sends is declared in bootrom/firmware_image.h.
//
// None of the transfer operations return a result: the stage learns whether the box took the
// image only from the identification that follows it.
#pragma once

#include <cstdint>

#include "bootrom/firmware_image.h"
#include "common/platform_prefix.h"
#include "serial/serial.h"

// The boot ROM's bytes on the line.
// Requests: identification and reset, 5 bytes each.
inline constexpr uint8_t kGetPlatformIdRequest[] = {0xA5, 0x02, 0x00, 0x11, 0x12};
inline constexpr uint8_t kResetRequest[] = {0xA5, 0x02, 0x00, 0x12, 0x13};
// The identification answer: A5 and 12 bytes.
inline constexpr uint8_t kPlatformReplyMark = 0xA5;
inline constexpr uint32_t kPlatformReplySize = 1 + kPlatformIdSize;  // A5, then the platform
// A box waiting in repair mode answers a probe with 05 08 or 0E 08.
inline constexpr uint8_t kRepairAnnounce05 = 0x05;
inline constexpr uint8_t kRepairAnnounce0E = 0x0E;
inline constexpr uint8_t kRepairAnnounceEnd = 0x08;
// The reset reply ends in 08; then the tool sends the go byte 09 and the box echoes it.
inline constexpr uint8_t kResetDone = 0x08;
inline constexpr uint8_t kGoByte = 0x09;
// The file header: 01 01, the length LE32, 14 zero bytes, the end byte 09, answered 09.
inline constexpr uint8_t kHeaderMark = 0x01;
inline constexpr uint32_t kHeaderZeroCount = 14;
inline constexpr uint8_t kHeaderEnd = 0x09;
// A frame: 1,024 data bytes and their checksum, taken with 09 or 0A.
inline constexpr uint32_t kFrameSize = 1025;
inline constexpr uint8_t kFrameTaken09 = 0x09;
inline constexpr uint8_t kFrameTaken0A = 0x0A;

inline constexpr uint32_t kRepairModeMark = 0xEEEEDDDDu;
extern uint32_t g_repair_mode;
inline bool InRepairMode() { return g_repair_mode == kRepairModeMark; }

int GetPlatformID(PortHandle port, uint8_t reply[kPlatformReplySize], uint32_t timeout_ms);
void SendResetCommand(PortHandle port, uint8_t reset_reply[2]);
void SendFileHeader(PortHandle port, uint32_t length);
void SendFile(PortHandle port, const uint8_t* data, uint32_t length);
void SendBytes(PortHandle port, const uint8_t* buffer, uint32_t count);

int RunFirmwareStage(PortHandle port, const PlatformPrefix& expected = PlatformPrefix{});
