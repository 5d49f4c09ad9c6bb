// The SDF file: its 20-byte header, the CRC-32 that guards it, and the check.
//
//   Crc32Update(data, reg, count)   reflected CRC-32 (0xEDB88320), register starts at 0, no
//                                   final inversion: "123456789" gives 0x2DFD2D88
//   CrcFileRange(fd, reg, count)    the CRC of count bytes from the current position, which is
//                                   restored afterwards; 0 when the file could not supply them
//   MakeSdfHeader(id, len, crc)     the 20 header bytes for a body: id (8 bytes), data_length,
//                                   data_crc32 and the header_crc32 over the first 16
//   Check_SDF_File(fd, header)      reads the header, checks header_crc32, data_crc32 and that
//                                   the file holds data_length body bytes; prints one
//                                   "Check_SDF_File: ..." line on failure; position 20 after
#pragma once

#include <cstdint>

inline constexpr uint32_t kSdfHeaderSize = 20;

// The header as stored in the file; its raw bytes are what the box receives.
struct SdfHeader {
  uint8_t bytes[kSdfHeaderSize];
};

// The header's first bytes, not interpreted by the tool.
inline constexpr uint32_t kSdfIdSize = 8;
// Fields of the header, least significant byte first.
inline constexpr uint32_t kSdfDataLengthOffset = 8;
inline constexpr uint32_t kSdfDataCrcOffset = 12;
inline constexpr uint32_t kSdfHeaderCrcOffset = 16;
// header_crc32 covers the header bytes before it.
inline constexpr uint32_t kSdfHeaderCrcSpan = 16;

inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline uint32_t data_length(const SdfHeader& h) { return ReadLe32(h.bytes + kSdfDataLengthOffset); }
// The body in the 1 KB blocks that carry it, a short last one counted whole.
inline uint32_t BodyBlocks(const SdfHeader& h) { return (data_length(h) + 1023U) / 1024U; }
inline uint32_t data_crc32(const SdfHeader& h) { return ReadLe32(h.bytes + kSdfDataCrcOffset); }
inline uint32_t header_crc32(const SdfHeader& h) { return ReadLe32(h.bytes + kSdfHeaderCrcOffset); }

void Crc32Update(const uint8_t* data, uint32_t* crc_register, uint32_t count);
int CrcFileRange(int fd, uint32_t* crc_register, uint64_t count);
int Check_SDF_File(int fd, SdfHeader* header);
SdfHeader MakeSdfHeader(const uint8_t id[kSdfIdSize], uint32_t data_length, uint32_t data_crc);
