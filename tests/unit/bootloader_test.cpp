#include <gtest/gtest.h>

#include <algorithm>

#include "bootloader/bootloader.h"
#include "common/common.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Bootloader : public testing::Test {
 protected:
  void SetUp() override {
    serial_memory::Reset();
    ForgetVerdictPace();
  }
  PortHandle port() { return serial_memory::Handle(); }
};

Bytes Text(const std::string& s) {
  Bytes bytes(s.size() + 2, 0x00);
  bytes[0] = 0x02;
  std::copy(s.begin(), s.end(), bytes.begin() + 1);
  return bytes;
}

}  // namespace

TEST_F(Bootloader, VerdictsAndTextMessages) {
  int result = 0;
  serial_memory::Push(Text("Erasing flash\r\n"));
  serial_memory::Push(Text("done "));
  serial_memory::Push(0x06);
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "Erasing flash\r\ndone ");
  EXPECT_EQ(result, 1);

  SetUp();
  serial_memory::Push(0x15);
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "");
  EXPECT_EQ(result, 0);

  SetUp();
  serial_memory::Push(0x41);
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "Unknown response: 0x41\n");
  EXPECT_EQ(result, 0);

  SetUp();
  serial_memory::Push(Text("x"));
  serial_memory::Push(0x00);  // a text start, then a verdict that is no verdict
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "xUnknown response: 0x0\n");
}

TEST_F(Bootloader, AFailedReadIsReportedNotTakenForAVerdict) {
  int result = 1;
  serial_memory::Push({0x02, 'a'});
  serial_memory::PushHangUp();
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "aWaitResponse: read error...\n");
  EXPECT_EQ(result, 0);
  // A silent but healthy bootloader is waited for without limit.
  SetUp();
  SetReadTimeout(port(), kBlockingRead);
  CaptureOutput([&] { result = WaitResponse(port()); });
  EXPECT_TRUE(serial_memory::BlockedForever());
}

TEST_F(Bootloader, AShortBlockIsFilledAndChecksummedOverAllOfIt) {
  uint8_t buffer[1024];
  const auto data = RandomBytes(300, 21);
  memcpy(buffer, data.data(), 300);
  serial_memory::Push(0x06);
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = SendBlock(port(), buffer, 300); }), "");
  EXPECT_EQ(result, 1);
  const Bytes& wire = serial_memory::Written();
  ASSERT_EQ(wire.size(), 1025u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 300), data);
  EXPECT_EQ(Bytes(wire.begin() + 300, wire.begin() + 1024), Bytes(724, 0xFF));
  EXPECT_EQ(wire[1024], SumBytes(wire.data(), 1024));
}

TEST_F(Bootloader, RetriesSendTheSameBlockUpToTheLimit) {
  uint8_t buffer[1024];
  memcpy(buffer, RandomBytes(1024, 22).data(), 1024);
  serial_memory::Push({0x15, 0x15, 0x06});
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1000, kBlockTries); }), "");
  EXPECT_EQ(result, 1);
  const Bytes& wire = serial_memory::Written();
  ASSERT_EQ(wire.size(), 3u * 1025u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 1025), Bytes(wire.begin() + 2050, wire.end()));

  SetUp();
  // 41 with nothing behind it within the stray-byte window was the box's answer: a failed try.
  serial_memory::Push({0x15, 0x41});
  serial_memory::Push(0x15, 600);
  serial_memory::Push(0x06);
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }),
            "Unknown response: 0x41\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Written().size(), 3u * 1025u);

  SetUp();
  EXPECT_EQ(SendBlockWithRetry(port(), buffer, 1024, 0), 0);
  EXPECT_EQ(SendBlockWithRetry(port(), buffer, 1024, -1), 0);
  EXPECT_TRUE(serial_memory::Written().empty());
}

TEST_F(Bootloader, NoiseHoldsTheToolNoLongerThanTheStrayByteWindow) {
  // An odd byte every 50 ms and the verdict only behind them all: the window closes 500 ms after
  // the first, whatever came in it.
  for (int i = 0; i < 100; ++i) {
    serial_memory::Push(0x5A, i == 0 ? 0 : 50);
  }
  serial_memory::Push(0x06);
  int result = 1;
  const std::string out = CaptureOutput([&] { result = WaitResponse(port()); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Now(), 500u);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 11) << out;

  // After a block verdict that took 1 s the window is the 2 s bound, not three times that.
  SetUp();
  uint8_t buffer[1024] = {};
  serial_memory::Push(0x06, 1000);
  ASSERT_EQ(SendBlock(port(), buffer, 1024), 1);
  for (int i = 0; i < 50; ++i) {
    serial_memory::Push(0x5A, 100);
  }
  serial_memory::Push(0x06);
  CaptureOutput([&] { result = SendBlock(port(), buffer, 1024); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Now(), 1100u + 2000u);
  EXPECT_EQ(serial_memory::Policies().back(), kBlockingRead);
}

TEST_F(Bootloader, ADeadPortEndsTheRetries) {
  uint8_t buffer[1024] = {};
  serial_memory::PushHangUp();
  int result = 1;
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }),
            "WaitResponse: read error...\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Written().size(), 1025u);

  SetUp();
  serial_memory::FailWritesFrom(10, 5);
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }),
            "PortWrite: errcode 5h(5)\n");
  EXPECT_EQ(result, 0);
}

TEST_F(Bootloader, ReadyMatcherNeedsACleanSignal) {
  SetReadTimeout(port(), kBlockingRead);
  // The second 53 breaks the sequence and is not taken as a new start.
  serial_memory::Push({0x53, 0x44, 0x53, 0x44, 0x46, 0x10});
  // Still waiting when the stream ends; only the memory port cannot wait for ever.
  EXPECT_EQ(CaptureOutput([&] { WaitForReady(port()); }), "SendSDFHeader: read error...\n");
  EXPECT_TRUE(serial_memory::BlockedForever());

  SetUp();
  SetReadTimeout(port(), kBlockingRead);
  serial_memory::Push({0x53, 0x53, 0x44, 0x46, 0x10, 0x00, 0x53, 0x44, 0x46, 0x10, 0x77});
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = WaitForReady(port()); }), "");
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(serial_memory::BlockedForever());
  uint8_t next = 0;
  uint32_t error = 0;
  ASSERT_EQ(PortRead(port(), &next, &error), 1);
  EXPECT_EQ(next, 0x77);

  SetUp();
  serial_memory::Push({0x53, 0x44});
  serial_memory::PushHangUp();
  EXPECT_EQ(CaptureOutput([&] { result = WaitForReady(port()); }), "SendSDFHeader: read error...\n");
  EXPECT_EQ(result, 0);
}
