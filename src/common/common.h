// Helpers shared by both protocols and both stages.
//
//   SumBytes(buffer, count)   low 8 bits of the sum of count bytes: the frame and block checksum
//   ElapsedClock()            milliseconds of a monotonic clock since the process started, or
//                             of the clock that SetElapsedClock put in its place
//   SetElapsedClock(clock)    a test bench's virtual clock for ElapsedClock; nullptr: the real
//                             one again
//   Print(format, ...)        the console text: printf to standard output, and the one place
//                             where a copy of it is taken (an OUT line when a trace runs)
//   HexDigitValue(c)          0 to 15 for a hex digit of either case, -1 for any other char
//   HexText(bytes, n, out)    n bytes as 2n upper-case hex digits and a zero; out holds 2n + 1
//   IsControlByte(byte)       true for a byte a terminal acts on instead of showing it: 00-1F
//                             except BS, TAB, LF and CR, then 7F and 80-9F; shown as \xHH
//   PrintStatusLine(what, t0, t1)  "\n<what> update status: OK, [overall time: s.mmm(seconds)]\n"
//                                  for the span t1 - t0
#pragma once

#include <cstddef>
#include <cstdint>

// Both protocols carry 1,024 data bytes per frame or block, then their checksum.
inline constexpr uint32_t kBlockSize = 1024;
// A short last frame or block has its unused data bytes set to this before the checksum.
inline constexpr uint8_t kFillByte = 0xFF;

uint8_t SumBytes(const uint8_t* buffer, uint32_t count);

int HexDigitValue(char c);
void HexText(const uint8_t* bytes, size_t count, char* out);
bool IsControlByte(unsigned char byte);

// Every line the tool shows goes through here, so that it can be copied without touching the
// protocol code.
[[gnu::format(printf, 1, 2)]] int Print(const char* format, ...);

// Wall time, not CPU time: a stage spends nearly all of its time blocked in reads.
uint32_t ElapsedClock();
// The in-memory port's tests run the protocol's own time limits on the port's virtual clock.
void SetElapsedClock(uint32_t (*clock)());

// Prints a stage's overall-time line for the span t1 - t0. The milliseconds are
// zero-padded to three digits so that 12,045 ms reads "12.045", not "12.45".
void PrintStatusLine(const char* what, uint32_t t0, uint32_t t1);
