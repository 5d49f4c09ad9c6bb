#include <array>
#include <cstdio>

#include "common/common.h"
#include "sdf/sdf.h"
#include "files/files.h"

namespace {

constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;
constexpr uint32_t kCrcBufferSize = 1024;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1u) != 0 ? (c >> 1) ^ kReflectedPolynomial : c >> 1;
    }
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint8_t g_crc_buffer[kCrcBufferSize];

}  // namespace

int ReadFileExactly(int fd, uint8_t* buffer, uint32_t count) {
  uint32_t got = 0;
  while (got < count) {
    const int32_t n = FileRead(fd, buffer + got, count - got);
    if (n <= 0) {
      return 0;
    }
    got += static_cast<uint32_t>(n);
  }
  return 1;
}

void Crc32Update(const uint8_t* data, uint32_t* crc_register, uint32_t count) {
  uint32_t crc = *crc_register;
  for (uint32_t i = 0; i < count; ++i) {
    crc = (crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFFu];
  }
  *crc_register = crc;
}

int CrcFileRange(int fd, uint32_t* crc_register, uint64_t count) {
  const int64_t start = FileTell(fd);
  int ok = start >= 0 ? 1 : 0;
  while (ok != 0 && count > 0) {
    const uint32_t chunk = count < kCrcBufferSize ? static_cast<uint32_t>(count) : kCrcBufferSize;
    ok = ReadFileExactly(fd, g_crc_buffer, chunk);
    if (ok != 0) {
      Crc32Update(g_crc_buffer, crc_register, chunk);
      count -= chunk;
    }
  }
  if (start >= 0 && FileSeek(fd, start) == 0) {
    ok = 0;
  }
  return ok;
}

SdfHeader MakeSdfHeader(const uint8_t id[kSdfIdSize], uint32_t data_length, uint32_t data_crc) {
  SdfHeader header{};
  for (uint32_t i = 0; i < kSdfIdSize; ++i) {
    header.bytes[i] = id[i];
  }
  WriteLe32(header.bytes + kSdfDataLengthOffset, data_length);
  WriteLe32(header.bytes + kSdfDataCrcOffset, data_crc);
  uint32_t header_crc = 0;
  Crc32Update(header.bytes, &header_crc, kSdfHeaderCrcSpan);
  WriteLe32(header.bytes + kSdfHeaderCrcOffset, header_crc);
  return header;
}

int Check_SDF_File(int fd, SdfHeader* header) {
  const int64_t length = FileLength(fd);
  if (length < 0) {
    Print("Check_SDF_File: the file's length cannot be read\n");
    return 0;
  }
  // A short file would leave part of the header unread and give a negative data range.
  if (length < kSdfHeaderSize) {
    Print("Check_SDF_File: file too short (%ld bytes, the header alone is %lu)\n", static_cast<long>(length),
          static_cast<unsigned long>(kSdfHeaderSize));
    return 0;
  }
  if (FileSeek(fd, 0) == 0 || ReadFileExactly(fd, header->bytes, kSdfHeaderSize) == 0) {
    Print("Check_SDF_File: the header cannot be read\n");
    return 0;
  }

  uint32_t crc = 0;
  Crc32Update(header->bytes, &crc, kSdfHeaderCrcSpan);
  if (crc != header_crc32(*header)) {
    Print("Check_SDF_File: sdf->header_crc32=0x%X, calc_crc32=0x%X\n", header_crc32(*header), crc);
    return 0;
  }

  const uint64_t body = static_cast<uint64_t>(length) - kSdfHeaderSize;
  // The stage sends data_length bytes from the file: they must all be there.
  if (data_length(*header) > body) {
    Print("Check_SDF_File: sdf->data_length=%lu, but the file holds %llu bytes after the header\n",
          static_cast<unsigned long>(data_length(*header)), static_cast<unsigned long long>(body));
    return 0;
  }

  crc = 0;
  if (CrcFileRange(fd, &crc, body) == 0) {
    Print("Check_SDF_File: read error...\n");
    return 0;
  }
  if (crc != data_crc32(*header)) {
    Print("Check_SDF_File: sdf->data_crc32=0x%X, calc_crc32=0x%X\n", data_crc32(*header), crc);
    return 0;
  }
  return 1;
}
