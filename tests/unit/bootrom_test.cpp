#include <gtest/gtest.h>

#include "bootrom/bootrom.h"
#include "common/common.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kProbe = {0xA5, 0x02, 0x00, 0x11, 0x12};
const Bytes kReset = {0xA5, 0x02, 0x00, 0x12, 0x13};
const Bytes kPlatform = {0xA5, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0xC0};

class BootRom : public testing::Test {
 protected:
  void SetUp() override {
    serial_memory::Reset();
    g_repair_mode = 0;
  }
  PortHandle port() { return serial_memory::Handle(); }
  std::string Probe(int* result) {
    return CaptureOutput([&] { *result = GetPlatformID(port(), reply_, kProbeTimeoutMs); });
  }
  uint8_t reply_[kPlatformReplySize] = {};
};

}  // namespace

TEST_F(BootRom, ProbeSkipsJunkAndPrintsTheReply) {
  // Answers arrive after the request: whatever waited before it is purged.
  serial_memory::Push(0x33, 1);
  serial_memory::Push(kPlatform);
  int result = 0;
  EXPECT_EQ(Probe(&result), "STB response: A5 1 2 3 4 5 6 7 8 9 A B C0 \n");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(serial_memory::Written(), kProbe);
  EXPECT_EQ(Bytes(reply_, reply_ + 13), kPlatform);
  EXPECT_EQ(serial_memory::Policies(), std::vector<uint32_t>{500});
  EXPECT_EQ(serial_memory::Drains(), 1);
  EXPECT_EQ(serial_memory::Purges(), 1);
  EXPECT_FALSE(InRepairMode());
}

TEST_F(BootRom, ProbeRecognisesRepairModeOnlyInTheFirstTwoBytes) {
  for (uint8_t first : {0x05, 0x0E}) {
    SetUp();
    serial_memory::Push({first, 0x08}, 1);
    int result = 0;
    EXPECT_EQ(Probe(&result), "STB: REPAIR_MODE\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_repair_mode, kRepairModeMark);
  }
  for (const Bytes& not_repair :
       {Bytes{0x33, 0x05, 0x08}, Bytes{0x05, 0x05, 0x08}, Bytes{0x08, 0x05}, Bytes{0x33, 0x08}}) {
    SetUp();
    serial_memory::Push(not_repair, 1);
    int result = 1;
    EXPECT_EQ(Probe(&result), "");
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(InRepairMode());
  }
}

TEST_F(BootRom, ProbeFailsOnSilenceAndOnAShortReply) {
  int result = 1;
  EXPECT_EQ(Probe(&result), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Now(), 500u);

  SetUp();
  serial_memory::Push({0xA5, 1, 2, 3, 4, 0x1F}, 1);
  EXPECT_EQ(Probe(&result), "STB response: A5 1 2 3 4 1F ");
  EXPECT_EQ(result, 0);
}

TEST_F(BootRom, ProbeDropsWhatArrivedBeforeTheRequestButWaitsForLateBytes) {
  serial_memory::Push(kPlatform);  // a stale answer already in the buffer
  serial_memory::Push(0x33, 100);
  serial_memory::Push(kPlatform, 400);  // arrives 400 ms after the junk: within the per-byte time-out
  int result = 0;
  const auto out = Probe(&result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(serial_memory::Now(), 500u);
}

TEST_F(BootRom, ResetStoresTheByteBeforeTheEightAndSendsTheGoByte) {
  serial_memory::Push({0x41, 0x05, 0x08});
  serial_memory::Push(0x09, 10);
  uint8_t reply[2] = {0, 0};
  EXPECT_EQ(CaptureOutput([&] { SendResetCommand(port(), reply); }), "");
  EXPECT_EQ(reply[0], 0x05);
  EXPECT_EQ(reply[1], 0x08);
  Bytes expected = kReset;
  expected.push_back(0x09);
  EXPECT_EQ(serial_memory::Written(), expected);
  EXPECT_EQ(serial_memory::Policies(), std::vector<uint32_t>{5000});
  EXPECT_EQ(serial_memory::Purges(), 0);

  SetUp();
  serial_memory::Push({0x08, 0x09});
  reply[0] = 0x77;
  CaptureOutput([&] { SendResetCommand(port(), reply); });
  EXPECT_EQ(reply[0], 0x00);
  EXPECT_EQ(reply[1], 0x08);
}

TEST_F(BootRom, ResetReportsEachWayTheExchangeGoesWrong) {
  uint8_t reply[2] = {0, 0};
  serial_memory::Push({0x01, 0x02});  // never reaches 08
  EXPECT_EQ(CaptureOutput([&] { SendResetCommand(port(), reply); }), "SendResetCommand: read error...\n");
  EXPECT_EQ(serial_memory::Written(), kReset);  // no go byte
  EXPECT_EQ(reply[1], 0);

  SetUp();
  serial_memory::Push({0x08, 0x41});
  EXPECT_EQ(CaptureOutput([&] { SendResetCommand(port(), reply); }), "SendResetCommand: bad response(0x09) 41\n");

  SetUp();
  serial_memory::Push(0x08);
  EXPECT_EQ(CaptureOutput([&] { SendResetCommand(port(), reply); }), "SendResetCommand: read error...\n");

  SetUp();
  serial_memory::FailSetReadTimeout(true);
  EXPECT_EQ(CaptureOutput([&] { SendResetCommand(port(), reply); }), "Unable to set the time-out parameters");
  EXPECT_TRUE(serial_memory::Written().empty());
}

TEST_F(BootRom, ResetInRepairModeSendsOnlyTheGoByte) {
  g_repair_mode = kRepairModeMark;
  serial_memory::Push(0x09);
  uint8_t reply[2] = {0xAA, 0xBB};
  EXPECT_EQ(CaptureOutput([&] { SendResetCommand(port(), reply); }), "");
  EXPECT_EQ(serial_memory::Written(), Bytes{0x09});
  EXPECT_EQ(reply[0], 0xAA);
  EXPECT_EQ(reply[1], 0xBB);
}

TEST_F(BootRom, FileHeaderCarriesTheLengthAndTheEndByte) {
  serial_memory::Push(0x09);
  EXPECT_EQ(CaptureOutput([&] { SendFileHeader(port(), 12084); }), "");
  Bytes expected = {0x01, 0x01, 0x34, 0x2F, 0x00, 0x00};
  expected.resize(20, 0x00);
  expected.push_back(0x09);
  EXPECT_EQ(serial_memory::Written(), expected);

  SetUp();
  serial_memory::Push(0x15);
  EXPECT_EQ(CaptureOutput([&] { SendFileHeader(port(), 12084); }), "SendFileHeader: bad response 15\n");
  SetUp();
  EXPECT_EQ(CaptureOutput([&] { SendFileHeader(port(), 12084); }), "SendFileHeader: read error...\n");
  SetUp();
  serial_memory::FailWritesFrom(10, 0x1F);
  EXPECT_EQ(CaptureOutput([&] { SendFileHeader(port(), 12084); }),
            "PortWrite: errcode 1Fh(31)\nSendFileHeader write error...\n");
}

TEST_F(BootRom, ImageGoesInFilledCheckedFrames) {
  const auto image = RandomBytes(12084, 11);
  for (int i = 0; i < 12; ++i) {
    serial_memory::Push(i % 2 == 0 ? 0x09 : 0x0A);
  }
  const auto out = CaptureOutput([&] { SendFile(port(), image.data(), 12084); });
  std::string expected;
  for (int k = 0; k <= 11; ++k) {
    expected += "SendFile: " + std::to_string(k) + "(Kb)\r";
  }
  EXPECT_EQ(out, expected + "\n");
  const Bytes& wire = serial_memory::Written();
  ASSERT_EQ(wire.size(), 12u * 1025u);
  for (size_t k = 0; k < 12; ++k) {
    const uint8_t* frame = wire.data() + k * 1025;
    EXPECT_EQ(frame[1024], SumBytes(frame, 1024)) << k;
    const size_t count = k < 11 ? 1024 : 820;
    EXPECT_EQ(0, memcmp(frame, image.data() + k * 1024, count)) << k;
    for (size_t i = count; i < 1024; ++i) {
      ASSERT_EQ(frame[i], 0xFF) << k << ":" << i;
    }
  }
}

TEST_F(BootRom, AnImageOfWholeKilobytesSendsNoFilledFrame) {
  const auto image = RandomBytes(2048, 12);
  serial_memory::Push({0x09, 0x09});
  EXPECT_EQ(CaptureOutput([&] { SendFile(port(), image.data(), 2048); }), "SendFile: 0(Kb)\rSendFile: 1(Kb)\r\n");
  EXPECT_EQ(serial_memory::Written().size(), 2u * 1025u);
}

TEST_F(BootRom, FrameAnswersOtherThanNineOrTenAreReportedAndTheTransferGoesOn) {
  const auto image = RandomBytes(3000, 13);
  serial_memory::Push({0x41, 0x15});  // third frame: no answer at all
  const auto out = CaptureOutput([&] { SendFile(port(), image.data(), 3000); });
  EXPECT_EQ(out,
            "SendFile: 0(Kb)\rSendBytes: bad response(0x09 or 0x0A) 41(A)\n"
            "SendFile: 1(Kb)\rSendBytes: bad response(0x09 or 0x0A) 15(.)\n"
            "SendFile: 2(Kb)\rSendBytes: read error...\n\n");
  EXPECT_EQ(serial_memory::Written().size(), 3u * 1025u);
}

TEST_F(BootRom, AFailedWriteAbandonsTheFrame) {
  uint8_t frame[1025] = {};
  serial_memory::FailWritesFrom(100, 5);
  EXPECT_EQ(CaptureOutput([&] { SendBytes(port(), frame, 1025); }),
            "PortWrite: errcode 5h(5)\nSendBytes: port write error\n");
  EXPECT_EQ(serial_memory::Written().size(), 100u);
  // A failed write whose error code is 0 is silent apart from the frame's own line.
  SetUp();
  serial_memory::FailWritesFrom(0, 0);
  EXPECT_EQ(CaptureOutput([&] { SendBytes(port(), frame, 1025); }), "SendBytes: port write error\n");
}
