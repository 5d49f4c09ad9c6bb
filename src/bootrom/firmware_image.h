// The firmware image the tool carries, made from the image file at build time
// (cmake/FirmwareImage.cmake): the firmware stage sends it, a trace names it.
//
//   FirmwareImage, kFirmwareImageSize  the image, 12,084 bytes
//   kFirmwareImageIsStandIn            whether it is the stand-in of data/firmware.bin, which
//                                      only the simulated box runs
//   FirmwareImageSha256                its SHA-256 as 64 lower-case hex digits, taken by the build
#pragma once

#include <cstdint>

inline constexpr uint32_t kFirmwareImageSize = 12084;
extern const uint8_t FirmwareImage[kFirmwareImageSize];
extern const bool kFirmwareImageIsStandIn;
// Names the image in a trace, and tells a replay whether the trace was made with the same one.
extern const char FirmwareImageSha256[];
