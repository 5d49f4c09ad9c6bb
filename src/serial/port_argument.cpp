#include "serial/port_argument.h"

#include <climits>
#include <cstdio>
#include <cstring>

const char* const PortNameTable[9] = {"0.1", "com1", "com2", "com3", "com4", "com5", "com6", "com7", "com8"};

int ParsePortNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    // Larger than any int: report 0 (invalid) rather than wrap round onto a real port.
    if (value > INT_MAX) {
      return 0;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

namespace {

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    const char c = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text - 'A' + 'a') : *text;
    if (c != *prefix) {
      return false;
    }
  }
  return true;
}

}  // namespace

int PortComNumber(const char* name) {
  if (StartsWithIgnoringCase(name, "\\\\.\\")) {
    name += 4;
  }
  if (!StartsWithIgnoringCase(name, "com") || name[3] < '1' || name[3] > '9') {
    return 0;
  }
  int n = 0;
  for (const char* p = name + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || p - name > 5) {
      return 0;
    }
    n = n * 10 + (*p - '0');
  }
  return n <= 255 ? n : 0;
}

void ReadPortArgument(const char* text, PortNaming naming, PortArgument* port) {
  port->number = ParsePortNumber(text);
  port->name[0] = '\0';
  port->kind = kPortNumber;
  // Every argument the numbered form has always taken keeps its meaning ("2/" is port 2); a
  // name is read only where the number would be refused.
  if (port->number >= kFirstPortNumber && port->number <= kLastPortNumber) {
    return;
  }
  if (naming == kNamedByComName) {
    const int n = PortComNumber(text);
    if (n != 0) {
      // COM10 and above open only through the device namespace; COM1..COM9 open either way.
      std::snprintf(port->name, sizeof port->name, "\\\\.\\COM%d", n);
      port->kind = kPortName;
      port->number = 0;
    }
  } else if (std::strchr(text, '/') != nullptr) {
    const size_t length = std::strlen(text);
    if (length >= sizeof port->name) {
      port->kind = kPortNameTooLong;
      return;
    }
    std::memcpy(port->name, text, length + 1);
    port->kind = kPortName;
    port->number = 0;
  }
}

const char* PortOpenName(const PortArgument& port) {
  if (port.kind == kPortName) {
    return port.name;
  }
  const bool numbered = port.kind == kPortNumber && port.number >= kFirstPortNumber && port.number <= kLastPortNumber;
  return numbered ? PortNameTable[port.number] : nullptr;
}
