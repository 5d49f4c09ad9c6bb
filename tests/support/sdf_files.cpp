#include "support/sdf_files.h"

#include <algorithm>
#include <random>

#include "sdf/sdf.h"

std::vector<uint8_t> MakeSdf(const std::vector<uint8_t>& body, int64_t data_length_override) {
  // A zero id: an empty body then has a header CRC of 0, which some tests count on.
  const uint8_t id[kSdfIdSize] = {};
  const auto length = static_cast<uint32_t>(data_length_override >= 0 ? data_length_override : body.size());
  uint32_t crc = 0;
  Crc32Update(body.data(), &crc, static_cast<uint32_t>(body.size()));
  const SdfHeader header = MakeSdfHeader(id, length, crc);
  std::vector<uint8_t> file(kSdfHeaderSize + body.size());
  std::copy(header.bytes, header.bytes + kSdfHeaderSize, file.begin());
  std::copy(body.begin(), body.end(), file.begin() + kSdfHeaderSize);
  return file;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) {
    b = static_cast<uint8_t>(rng());
  }
  return bytes;
}
