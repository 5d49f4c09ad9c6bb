// A platform as the operator writes it.
#include "common/platform_prefix.h"

#include "common/common.h"

int ReadPlatformPrefix(const char* text, PlatformPrefix* prefix) {
  PlatformPrefix read;
  // Groups between blanks, colons or dashes: one digit is a byte ("A" as the console prints
  // 0A), an even run is bytes two digits each.
  const char* p = text;
  while (*p != '\0') {
    if (*p == ' ' || *p == ':' || *p == '-') {
      ++p;
      continue;
    }
    const char* group = p;
    while (HexDigitValue(*p) >= 0) {
      ++p;
    }
    const auto digits = static_cast<uint32_t>(p - group);
    const bool separated = *p == '\0' || *p == ' ' || *p == ':' || *p == '-';
    if (digits == 0 || !separated || (digits > 1 && digits % 2 != 0) ||
        read.length + (digits + 1) / 2 > kPlatformIdSize) {
      return 0;
    }
    if (digits == 1) {
      read.bytes[read.length++] = static_cast<uint8_t>(HexDigitValue(group[0]));
    }
    for (uint32_t i = 0; digits > 1 && i < digits; i += 2) {
      read.bytes[read.length++] = static_cast<uint8_t>(HexDigitValue(group[i]) * 16 + HexDigitValue(group[i + 1]));
    }
  }
  if (read.length == 0) {
    return 0;
  }
  *prefix = read;
  return 1;
}
