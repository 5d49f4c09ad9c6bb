#include "app/port_argument.h"

#include <climits>

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
