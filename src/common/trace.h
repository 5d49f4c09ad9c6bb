// The field trace: one text file, one event per line, of everything a run did on the line and
// the console, so that a failing run can be sent in and replayed against the simulated box.
//
//   TraceOpen(path, header)   creates the file and writes "# boxload trace 1" and "# <header>";
//                             1 ok, 0 with errno set (prints nothing); the clock starts here
//   TraceActive()             whether events are recorded: the one test the port and the console
//                             make when tracing is off, and all that they do then
//   TraceByte(kind, byte)     a byte written (kTraceTx) or read (kTraceRx); bytes of one
//                             direction share a line until 32 bytes, another event, or a gap
//                             over 2 ms
//   TracePrint(format, args)  prints to standard output exactly as vprintf and records the text
//                             as an OUT event; returns what vprintf returns
//   TraceNote(format, ...)    a NOTE event: policy changes, time-outs, drains, errors
//   TraceFlush()              everything recorded so far reaches the file
//   TraceFinish(format, ...)  the last NOTE, then flushes; every later event is dropped, so
//                             this line stays last. Safe from the abort thread while the main
//                             thread records; a no-op without a trace or after the first call
//
// Line format: "<seconds>.<microseconds> <KIND> <payload>", KIND one of TX, RX (bytes in hex),
// OUT (text with \n, \r, \\ and \xHH escapes) and NOTE. Storage is static; no heap after open.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

enum TraceKind { kTraceTx, kTraceRx };

inline constexpr const char* kTraceMagic = "# boxload trace 1";
// A run of bytes in one direction is cut into lines of at most this many.
inline constexpr int kTraceBytesPerLine = 32;
// A pause longer than this in a run of bytes starts a new line.
inline constexpr int64_t kTraceGapUs = 2000;

extern std::atomic<bool> g_trace_active;
inline bool TraceActive() { return g_trace_active.load(std::memory_order_relaxed); }

int TraceOpen(const char* path, const char* header);
void TraceByte(TraceKind kind, uint8_t byte);
[[gnu::format(printf, 1, 0)]] int TracePrint(const char* format, va_list args);
[[gnu::format(printf, 1, 2)]] void TraceNote(const char* format, ...);
void TraceFlush();
[[gnu::format(printf, 1, 2)]] void TraceFinish(const char* format, ...);
