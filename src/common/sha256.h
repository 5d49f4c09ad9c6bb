// SHA-256, for naming the firmware image in a trace: which image a run sent, checked again
// where the trace is replayed.
//
//   Sha256(data, count, digest)      the 32-byte digest of count bytes; no heap, never fails
//   Sha256Hex(data, count, text)     the same as 64 lower-case hex digits and a terminating 0
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kSha256HexSize = 2 * kSha256Size + 1;

void Sha256(const uint8_t* data, size_t count, uint8_t digest[kSha256Size]);
void Sha256Hex(const uint8_t* data, size_t count, char text[kSha256HexSize]);
