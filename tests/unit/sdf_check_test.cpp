#include <gtest/gtest.h>

#include <unistd.h>

#include "sdf/sdf.h"
#include "support/test_support.h"

namespace {

struct CheckResult {
  int ok;
  std::string output;
  off_t position;
};

CheckResult Check(const std::vector<uint8_t>& file_bytes, SdfHeader* header_out = nullptr) {
  TempFile file(file_bytes);
  SdfHeader header{};
  CheckResult result{};
  result.output = CaptureOutput([&] { result.ok = Check_SDF_File(file.fd(), &header); });
  result.position = lseek(file.fd(), 0, SEEK_CUR);
  if (header_out != nullptr) {
    *header_out = header;
  }
  return result;
}

}  // namespace

TEST(SdfCheck, AcceptsAGoodFileAndLeavesThePositionAfterTheHeader) {
  const auto body = RandomBytes(5000, 1);
  const auto bytes = MakeSdf(body);
  SdfHeader header{};
  const auto r = Check(bytes, &header);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.position, 20);
  EXPECT_EQ(0, memcmp(header.bytes, bytes.data(), 20));
  EXPECT_EQ(data_length(header), 5000u);
}

TEST(SdfCheck, ReportsABadHeaderCrcAloneWithStoredValueFirst) {
  auto bytes = MakeSdf(RandomBytes(100, 2));
  bytes[0] ^= 1;  // header damaged, and the body's CRC is right
  uint32_t computed = 0;
  Crc32Update(bytes.data(), &computed, 16);
  const auto r = Check(bytes);
  EXPECT_EQ(r.ok, 0);
  char expected[128];
  snprintf(expected, sizeof expected, "Check_SDF_File: sdf->header_crc32=0x%X, calc_crc32=0x%X\n",
           ReadLe32(bytes.data() + 16), computed);
  EXPECT_EQ(r.output, expected);
}

TEST(SdfCheck, ReportsABadDataCrc) {
  // A damaged body; a data_crc32 that differs only in its top byte, under a header CRC that fits.
  for (const size_t flip : {size_t{2500}, size_t{15}}) {
    auto bytes = MakeSdf(RandomBytes(3000, 3));
    bytes[flip] ^= 0x80;
    if (flip < 16) {
      uint32_t header_crc = 0;
      Crc32Update(bytes.data(), &header_crc, kSdfHeaderCrcSpan);
      WriteLe32(bytes.data() + kSdfHeaderCrcOffset, header_crc);
    }
    uint32_t computed = 0;
    Crc32Update(bytes.data() + 20, &computed, 3000);
    const auto r = Check(bytes);
    EXPECT_EQ(r.ok, 0) << flip;
    char expected[128];
    snprintf(expected, sizeof expected, "Check_SDF_File: sdf->data_crc32=0x%X, calc_crc32=0x%X\n",
             ReadLe32(bytes.data() + 12), computed);
    EXPECT_EQ(r.output, expected) << flip;
  }
}

TEST(SdfCheck, TrailingBytesPassOnlyWhenTheDataCrcCoversThem) {
  const auto body = RandomBytes(2000, 4);
  // data_length 1500, data_crc32 over all 2000 bytes: valid.
  EXPECT_EQ(Check(MakeSdf(body, 1500)).ok, 1);
  // data_crc32 over the 1500 sent bytes only: the file to its end does not match.
  auto bytes = MakeSdf(std::vector<uint8_t>(body.begin(), body.begin() + 1500));
  bytes.insert(bytes.end(), body.begin() + 1500, body.end());
  const auto r = Check(bytes);
  EXPECT_EQ(r.ok, 0);
  EXPECT_NE(r.output.find("data_crc32"), std::string::npos);
}

TEST(SdfCheck, AHeaderOnlyFilePassesOnlyWithAZeroDataCrc) {
  EXPECT_EQ(Check(MakeSdf({})).ok, 1);
  auto bytes = MakeSdf({});
  WriteLe32(bytes.data() + 12, 1);
  uint32_t crc = 0;
  Crc32Update(bytes.data(), &crc, 16);
  WriteLe32(bytes.data() + 16, crc);
  const auto r = Check(bytes);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.output, "Check_SDF_File: sdf->data_crc32=0x1, calc_crc32=0x0\n");
}

TEST(SdfCheck, RefusesFilesThatCannotHoldWhatTheyAnnounce) {
  for (size_t size : {0, 1, 19}) {
    const auto r = Check(std::vector<uint8_t>(size, 0));
    EXPECT_EQ(r.ok, 0) << size;
    EXPECT_EQ(r.output.rfind("Check_SDF_File: file too short", 0), 0u) << r.output;
  }
  // data_length beyond the end of the file: the stage would send bytes that are not there.
  const auto body = RandomBytes(1000, 5);
  const auto r = Check(MakeSdf(body, 1001));
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.output, "Check_SDF_File: sdf->data_length=1001, but the file holds 1000 bytes after the header\n");
  const auto huge = Check(MakeSdf(body, 0xFFFFFFFF));
  EXPECT_EQ(huge.ok, 0);
  EXPECT_NE(huge.output.find("data_length=4294967295"), std::string::npos);
}
