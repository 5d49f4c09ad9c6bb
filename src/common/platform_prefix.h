// A platform as the operator writes it (--platform): the bytes a box's boot ROM must answer
// after A5, or a leading part of them. Read below the protocol, so that boxload and the
// station take the same forms.
//
//   ReadPlatformPrefix(text, &p)   "4B4D5637", "4B 4D 56 37", "4B:4D", "0 1 A 1F" (the console's
//                                  own form) into 1 to 12 bytes; 0 for anything else
#pragma once

#include <cstdint>

// The platform a boot ROM answers after its A5.
inline constexpr uint32_t kPlatformIdSize = 12;

// The bytes that a box must answer after A5, or a leading part of them; length 0 takes any box.
struct PlatformPrefix {
  uint8_t bytes[kPlatformIdSize] = {};
  uint32_t length = 0;
};

int ReadPlatformPrefix(const char* text, PlatformPrefix* prefix);
