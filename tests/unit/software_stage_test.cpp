#include <gtest/gtest.h>

#include <unistd.h>

#include "bootloader/bootloader.h"
#include "common/common.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kReady = {0x53, 0x44, 0x46, 0x10};

class SoftwareStage : public testing::Test {
 protected:
  void SetUp() override { serial_memory::Reset(); }
  PortHandle port() { return serial_memory::Handle(); }
};

// The box's answers, each 1 ms after the one before: a verdict is never already waiting when the
// block it answers has only just gone.
void Answers(const Bytes& bytes) {
  for (const uint8_t byte : bytes) {
    serial_memory::Push(byte, 1);
  }
}

// The stage's text up to the overall-time line, which carries a measured time.
std::string WithoutTime(const std::string& out) {
  const auto at = out.find("\nSW update status: OK, [overall time: ");
  return at == std::string::npos ? out : out.substr(0, at) + "\nSW update status: OK";
}

}  // namespace

TEST_F(SoftwareStage, AWholeStageSendsTheHeaderAsReadAndExactlyTheBody) {
  const auto body = RandomBytes(2560, 31);
  TempFile file(MakeSdf(body));
  serial_memory::Push({0x11, 0x53, 0x53});  // noise before the signal
  serial_memory::Push(kReady);
  Answers({0x06, 0x06, 0x06, 0x06, 0x06, 0x06});
  int result = 0;
  const auto out = CaptureOutput([&] { result = RunSoftwareStage(port(), file.fd()); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(WithoutTime(out),
            "Check SDF file... OK\n"
            "SendFileHeader... Wait For STB ready\nRemote BootLoader is ready\nwait STB response:\nOK\n"
            "SendSDFFile... \nSend 0Kb\rSend 1Kb\rSend 2Kb\rSend 2Kb\r\nOK\n"
            "\nSW update status: OK");
  const Bytes& wire = serial_memory::Written();
  const auto sdf = MakeSdf(body);
  ASSERT_EQ(wire.size(), 20u + 3u * 1025u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 20), Bytes(sdf.begin(), sdf.begin() + 20));
  Bytes sent;
  for (size_t k = 0; k < 3; ++k) {
    const auto* block = wire.data() + 20 + k * 1025;
    EXPECT_EQ(block[1024], SumBytes(block, 1024));
    sent.insert(sent.end(), block, block + 1024);
  }
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 2560), body);
  EXPECT_EQ(Bytes(sent.begin() + 2560, sent.end()), Bytes(512, 0xFF));
  // Blocking from the header on but for the watch after the final verdict, and nothing
  // received was thrown away.
  EXPECT_EQ(serial_memory::Policies(), (std::vector<uint32_t>{0, 250, 0}));
  EXPECT_EQ(serial_memory::Purges(), 0);
}

TEST_F(SoftwareStage, AnEmptyBodySendsNoBlockButReadsBothVerdicts) {
  TempFile file(MakeSdf({}));
  serial_memory::Push(kReady);
  Answers({0x06, 0x06, 0x06});
  int result = 0;
  const auto out = CaptureOutput([&] { result = RunSoftwareStage(port(), file.fd()); });
  EXPECT_EQ(result, 1);
  EXPECT_NE(out.find("SendSDFFile... \nSend 0Kb\r\nOK\n"), std::string::npos) << out;
  EXPECT_EQ(serial_memory::Written().size(), 20u);
}

TEST_F(SoftwareStage, EachStepEndsWithBadOnFailure) {
  TempFile good(MakeSdf(RandomBytes(1500, 32)));
  int result = 1;
  // Header refused: the three handshake lines, then BAD, no line of its own for the refusal.
  serial_memory::Push(kReady);
  Answers({0x15});
  EXPECT_EQ(CaptureOutput([&] { result = RunSoftwareStage(port(), good.fd()); }),
            "Check SDF file... OK\nSendFileHeader... Wait For STB ready\nRemote BootLoader is ready\n"
            "wait STB response:\nBAD\n");
  EXPECT_EQ(result, 0);

  // The second block fails three tries: BAD starts on the counter's line.
  SetUp();
  serial_memory::Push(kReady);
  Answers({0x06, 0x06, 0x15});
  serial_memory::Push(0x15, 600);  // each after the refusal before it has been heard out
  serial_memory::Push(0x15, 600);
  const auto out = CaptureOutput([&] { result = RunSoftwareStage(port(), good.fd()); });
  EXPECT_EQ(result, 0);
  EXPECT_NE(out.find("SendSDFFile... \nSend 0Kb\rSend 1Kb\rBAD\n"), std::string::npos) << out;

  // The final verdict is a refusal: nothing more is printed.
  SetUp();
  serial_memory::Push(kReady);
  Answers({0x06, 0x06, 0x06, 0x06, 0x15});
  const auto refused = CaptureOutput([&] { result = RunSoftwareStage(port(), good.fd()); });
  EXPECT_EQ(result, 0);
  const std::string tail = "Send 1Kb\rSend 1Kb\r\nOK\n";
  ASSERT_GE(refused.size(), tail.size());
  EXPECT_EQ(refused.substr(refused.size() - tail.size()), tail);

  // A bad file is refused before anything is sent.
  SetUp();
  auto bytes = MakeSdf(RandomBytes(100, 33));
  bytes[30] ^= 1;
  TempFile bad(bytes);
  const auto checked = CaptureOutput([&] { result = RunSoftwareStage(port(), bad.fd()); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(checked.rfind("Check SDF file... Check_SDF_File: sdf->data_crc32=0x", 0), 0u) << checked;
  EXPECT_EQ(checked.substr(checked.size() - 4), "BAD\n");
  EXPECT_TRUE(serial_memory::Written().empty());
}

TEST_F(SoftwareStage, APortThatDiesEndsTheStepInsteadOfSpinning) {
  TempFile good(MakeSdf(RandomBytes(3000, 34)));
  serial_memory::Push(kReady);
  Answers({0x06, 0x06});
  serial_memory::PushHangUp(1);
  int result = 1;
  const auto out = CaptureOutput([&] { result = RunSoftwareStage(port(), good.fd()); });
  EXPECT_EQ(result, 0);
  EXPECT_NE(out.find("Send 1Kb\rWaitResponse: read error...\nBAD\n"), std::string::npos) << out;
  // One try only: retrying on a dead port cannot help.
  EXPECT_EQ(serial_memory::Written().size(), 20u + 2u * 1025u);
}

TEST_F(SoftwareStage, AFileThatShrinksAfterTheCheckSendsNoStaleBytes) {
  const auto body = RandomBytes(3000, 35);
  TempFile file(MakeSdf(body));
  SdfHeader header{};
  CaptureOutput([&] { ASSERT_EQ(Check_SDF_File(file.fd(), &header), 1); });
  ASSERT_EQ(truncate(file.path().c_str(), 20 + 1500), 0);
  Answers({0x06, 0x06, 0x06, 0x06});
  uint8_t buffer[1024];
  int result = 1;
  const auto out = CaptureOutput([&] { result = SendSDFFile(port(), file.fd(), buffer, header); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "\nSend 0Kb\rSend 1Kb\r\nSendSDFFile: file read error...\n");
  EXPECT_EQ(serial_memory::Written().size(), 1025u);
}
