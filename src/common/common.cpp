#include "common/common.h"

#include "common/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {
// Taken during static initialisation, before main, so the clock counts from process start.
const std::chrono::steady_clock::time_point g_process_start = std::chrono::steady_clock::now();
uint32_t (*g_clock)() = nullptr;
}  // namespace

uint8_t SumBytes(const uint8_t* buffer, uint32_t count) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) {
    sum = static_cast<uint8_t>(sum + buffer[i]);
  }
  return sum;
}

int Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Without a trace, exactly the plain call.
  const int n = TraceActive() ? TracePrint(format, args) : std::vprintf(format, args);
  va_end(args);
  return n;
}

uint32_t ElapsedClock() {
  if (g_clock != nullptr) {
    return g_clock();
  }
  const auto span = std::chrono::steady_clock::now() - g_process_start;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
}

void SetElapsedClock(uint32_t (*clock)()) { g_clock = clock; }

void PrintStatusLine(const char* what, uint32_t t0, uint32_t t1) {
  const uint32_t d = t1 - t0;
  Print("\n%s update status: OK, [overall time: %lu.%03lu(seconds)]\n", what, static_cast<unsigned long>(d / 1000),
        static_cast<unsigned long>(d % 1000));
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void HexText(const uint8_t* bytes, size_t count, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  out[2 * count] = '\0';
}

bool IsControlByte(unsigned char byte) {
  // BS, TAB, LF and CR only move the cursor within the text; everything else below 20, DEL and
  // the C1 range can switch a terminal's modes or start a sequence it runs.
  if (byte < 0x20) {
    return byte != '\b' && byte != '\t' && byte != '\n' && byte != '\r';
  }
  return byte == 0x7F || (byte >= 0x80 && byte <= 0x9F);
}
