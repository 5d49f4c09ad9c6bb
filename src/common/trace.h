// The field trace's hook in the common ground: the serial backends and Print report through it,
// and only the front end attaches a writer (app/trace_writer.h), so that sdftool, stbsim and the
// fuzz targets carry no file writer.
//
//   TraceAttach(sink)         routes every event to sink from now on; the writer calls it once
//                             its file is open
//   TraceDetach()             no event is routed any more (the writer's last note)
//   TraceActive()             whether a writer is attached: the one test the port and the
//                             console make when tracing is off, and all that they do then
//   TraceByte(kind, byte)     a byte written (kTraceTx) or read (kTraceRx)
//   TracePrint(format, args)  prints to standard output exactly as vprintf and records the text
//                             as an OUT event; returns what vprintf returns
//   TraceNote(format, ...)    a NOTE event: policy changes, time-outs, drains, errors
//   TraceEscape(text, n, out, size)  console text as an OUT line carries it: \n, \r, \\ and
//                             \xHH for the other control and non-ASCII bytes; out always ends
//                             in a zero; returns the bytes of text taken
//   TraceUnescape(text, n, out, size)  the console text an OUT line carries, back as it was
//                             printed (an unknown escape gives its character); returns the
//                             bytes written to out, at most size
//
// Line format: "# boxload trace 1", "# <header>", then "<seconds>.<microseconds> <KIND>
// <payload>", KIND one of TX, RX (bytes in hex), OUT (escaped text) and NOTE.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum TraceKind { kTraceTx, kTraceRx };

inline constexpr const char* kTraceMagic = "# boxload trace 1";
// One console text as an OUT line carries it, at most; a longer one is cut there (with a note).
inline constexpr size_t kTraceTextMax = 2048;
// An OUT line's length at most: every byte escaped (\xHH), behind its time and kind.
inline constexpr size_t kTraceLineMax = 4 * kTraceTextMax + 128;
// A run of bytes in one direction is cut into lines of at most this many.
inline constexpr int kTraceBytesPerLine = 32;
// A pause longer than this in a run of bytes starts a new line.
inline constexpr int64_t kTraceGapUs = 2000;

struct TraceSink {
  void (*byte)(TraceKind kind, uint8_t byte);
  int (*print)(const char* format, va_list args);
  void (*note)(const char* format, va_list args);
};

extern std::atomic<bool> g_trace_active;
inline bool TraceActive() { return g_trace_active.load(std::memory_order_relaxed); }

void TraceAttach(const TraceSink* sink);
void TraceDetach();
void TraceByte(TraceKind kind, uint8_t byte);
[[gnu::format(printf, 1, 0)]] int TracePrint(const char* format, va_list args);
[[gnu::format(printf, 1, 2)]] void TraceNote(const char* format, ...);
size_t TraceEscape(const char* text, size_t length, char* out, size_t size);
size_t TraceUnescape(const char* text, size_t length, char* out, size_t size);
