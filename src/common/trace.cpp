#include "common/trace.h"

#include <cstdio>

#include "common/common.h"

std::atomic<bool> g_trace_active{false};

namespace {
// Set once, before g_trace_active; never freed: the abort thread may still be in a call.
const TraceSink* g_sink = nullptr;
}  // namespace

void TraceAttach(const TraceSink* sink) {
  g_sink = sink;
  g_trace_active.store(true, std::memory_order_release);
}

void TraceDetach() { g_trace_active.store(false, std::memory_order_release); }

void TraceByte(TraceKind kind, uint8_t byte) {
  if (TraceActive()) {
    g_sink->byte(kind, byte);
  }
}

int TracePrint(const char* format, va_list args) {
  if (TraceActive()) {
    return g_sink->print(format, args);
  }
  return std::vprintf(format, args);
}

void TraceNote(const char* format, ...) {
  if (!TraceActive()) {
    return;
  }
  va_list args;
  va_start(args, format);
  g_sink->note(format, args);
  va_end(args);
}

size_t TraceEscape(const char* text, size_t length, char* out, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  size_t used = 0;
  size_t taken = 0;
  // Room for the longest escape (\xHH) and the zero.
  for (; taken < length && used + 5 <= size; ++taken) {
    const auto c = static_cast<unsigned char>(text[taken]);
    if (c == '\n' || c == '\r' || c == '\\') {
      out[used++] = '\\';
      out[used++] = c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
    } else if (c < 0x20 || c >= 0x7F) {
      out[used++] = '\\';
      out[used++] = 'x';
      out[used++] = kDigits[c >> 4];
      out[used++] = kDigits[c & 0x0F];
    } else {
      out[used++] = static_cast<char>(c);
    }
  }
  if (size > 0) {
    out[used] = '\0';
  }
  return taken;
}

size_t TraceUnescape(const char* text, size_t length, char* out, size_t size) {
  size_t used = 0;
  const char* end = text + length;
  for (const char* c = text; c < end && used < size; ++c) {
    if (*c != '\\' || c + 1 >= end) {
      out[used++] = *c;
      continue;
    }
    ++c;
    if (*c == 'n' || *c == 'r') {
      out[used++] = *c == 'n' ? '\n' : '\r';
    } else if (*c == 'x' && c + 2 < end && HexDigitValue(c[1]) >= 0 && HexDigitValue(c[2]) >= 0) {
      out[used++] = static_cast<char>(HexDigitValue(c[1]) * 16 + HexDigitValue(c[2]));
      c += 2;
    } else {
      out[used++] = *c;
    }
  }
  return used;
}
