#include <gtest/gtest.h>

#include "bootrom/bootrom.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kPlatform = {0xA5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// A scripted boot ROM: answers the probes whose numbers are listed (1-based), the reset and the
// go byte, the header and each frame. Counts in whole messages, as the box sees them.
struct ScriptedRom {
  std::vector<int> answered_probes;
  Bytes probe_answer = kPlatform;
  Bytes reset_answer = {0x05, 0x08};
  int probes = 0;
  size_t frame_bytes = 0;
  Bytes window;

  void Attach() {
    serial_memory::Reset();
    serial_memory::SetWriteHook([this](uint8_t byte, uint64_t) { OnByte(byte); });
  }
  bool Ends(const Bytes& tail) const {
    return window.size() >= tail.size() && std::equal(tail.begin(), tail.end(), window.end() - tail.size());
  }
  void OnByte(uint8_t byte) {
    window.push_back(byte);
    if (Ends({0xA5, 0x02, 0x00, 0x11, 0x12})) {
      ++probes;
      window.clear();
      if (std::find(answered_probes.begin(), answered_probes.end(), probes) != answered_probes.end()) {
        serial_memory::Push(probe_answer, 5);
      }
    } else if (Ends({0xA5, 0x02, 0x00, 0x12, 0x13})) {
      window.clear();
      serial_memory::Push(reset_answer, 5);
    } else if (window.size() == 1 && byte == 0x09 && frame_bytes == 0) {
      window.clear();
      serial_memory::Push(0x09);  // go byte
    } else if (frame_bytes == 0 && window.size() == 21 && window[0] == 0x01) {
      window.clear();
      serial_memory::Push(0x09);  // file header
      frame_bytes = 1;
    } else if (frame_bytes > 0 && window.size() == 1025) {
      window.clear();
      serial_memory::Push(0x09);
    }
  }
};

class FirmwareStage : public testing::Test {
 protected:
  void SetUp() override { g_repair_mode = 0; }
};

}  // namespace

TEST_F(FirmwareStage, AnswerOnTheFifteenthProbeStillCounts) {
  ScriptedRom rom;
  rom.answered_probes = {15, 17};
  rom.Attach();
  int result = 0;
  const auto out = CaptureOutput([&] { result = RunFirmwareStage(serial_memory::Handle()); });
  EXPECT_EQ(result, 1) << out;
  EXPECT_EQ(rom.probes, 17);
  EXPECT_EQ(out.rfind("Send 'GetPlatformID' and waiting STB response\n"
                      "STB response: A5 1 2 3 4 5 6 7 8 9 A B C \n"
                      "SendResetCommand: STB response 5,8\n"
                      "SendFileHeader...\nSendFile...\nSendFile: 0(Kb)\r",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("SendFile: 11(Kb)\r\nWaiting STB response\nSTB response: A5 1 2 3 4 5 6 7 8 9 A B C \n"
                     "\nFirmware update status: OK, [overall time: "),
            std::string::npos)
      << out;
  // The image on the wire is the one the tool carries, in 12 frames after the 21-byte header.
  const Bytes& wire = serial_memory::Written();
  const size_t image_start = 15 * 5 + 5 + 1 + 21;
  ASSERT_EQ(wire.size(), image_start + 12 * 1025 + 2 * 5);
  for (size_t k = 0; k < 12; ++k) {
    const size_t count = k < 11 ? 1024 : 820;
    ASSERT_EQ(0, memcmp(wire.data() + image_start + k * 1025, FirmwareImage + k * 1024, count)) << k;
  }
}

TEST_F(FirmwareStage, FifteenSilentProbesEndTheStage) {
  ScriptedRom rom;
  rom.answered_probes = {16};
  rom.Attach();
  int result = 1;
  EXPECT_EQ(CaptureOutput([&] { result = RunFirmwareStage(serial_memory::Handle()); }),
            "Send 'GetPlatformID' and waiting STB response\nSTB not responding...\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rom.probes, 15);
  EXPECT_EQ(serial_memory::Now(), 15u * 500u);
}

TEST_F(FirmwareStage, ABoxThatNeverComesBackIsProbed240Times) {
  ScriptedRom rom;
  rom.answered_probes = {1};
  rom.Attach();
  int result = 1;
  const auto out = CaptureOutput([&] { result = RunFirmwareStage(serial_memory::Handle()); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rom.probes, 241);
  const std::string tail = "\nWaiting STB response\nSW update: error\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_GE(serial_memory::Now(), 240u * 500u);
}

TEST_F(FirmwareStage, AResetWithoutItsReplyStopsBeforeTheImage) {
  ScriptedRom rom;
  rom.answered_probes = {1};
  rom.reset_answer = {0x01, 0x02};
  rom.Attach();
  int result = 1;
  EXPECT_EQ(CaptureOutput([&] { result = RunFirmwareStage(serial_memory::Handle()); }),
            "Send 'GetPlatformID' and waiting STB response\nSTB response: A5 1 2 3 4 5 6 7 8 9 A B C \n"
            "SendResetCommand: read error...\nSendResetCommand: STB response 0,0\n"
            "STB after reset cmd: Unknown response(0x08): 0\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Written().size(), 10u);
}

TEST_F(FirmwareStage, ABoxInRepairModeSkipsTheResetAndTakesTheImage) {
  ScriptedRom rom;
  rom.answered_probes = {1, 2};
  rom.probe_answer = {0x0E, 0x08};
  rom.Attach();
  int result = 0;
  const auto out = CaptureOutput([&] { result = RunFirmwareStage(serial_memory::Handle()); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out.rfind("Send 'GetPlatformID' and waiting STB response\nSTB: REPAIR_MODE\n"
                      "SendResetCommand: STB response 0,0\nSendFileHeader...\n",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("Waiting STB response\nSTB: REPAIR_MODE\n\nFirmware update status: OK"), std::string::npos);
  // The probe, then only the go byte: no reset request.
  EXPECT_EQ(serial_memory::Written()[5], 0x09);
  EXPECT_EQ(serial_memory::Written()[6], 0x01);
}

TEST_F(FirmwareStage, NoPortFailsSilently) {
  int result = 1;
  EXPECT_EQ(CaptureOutput([&] { result = RunFirmwareStage(nullptr); }), "");
  EXPECT_EQ(result, 0);
}

// --platform: the first answer must begin with the given bytes, or the box gets nothing but
// probes; a box in repair mode names no platform and is refused too.
TEST_F(FirmwareStage, APlatformGuardLetsOnlyTheNamedModelBeReset) {
  const Bytes probe = {0xA5, 0x02, 0x00, 0x11, 0x12};
  const struct {
    const char* name;
    const char* expected;
    Bytes probe_answer;
    int result;
    const char* err;
  } cases[] = {
      {"a leading part", "01 02 03", kPlatform, 1, ""},
      {"all twelve", "0102030405060708090A0B0C", kPlatform, 1, ""},
      {"another model", "01:02:04", kPlatform, 0,
       "boxload: the box answers platform 0102030405060708090A0B0C but --platform asks for 010204: not updated\n"},
      {"repair mode",
       "1 2",
       {0x05, 0x08},
       0,
       "boxload: the box waits in REPAIR_MODE, which names no platform, but --platform asks for 0102: not "
       "updated\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_repair_mode = 0;
    PlatformPrefix expected;
    ASSERT_EQ(ReadPlatformPrefix(c.expected, &expected), 1);
    ScriptedRom rom;
    rom.answered_probes = {1, 2};
    rom.probe_answer = c.probe_answer;
    rom.Attach();
    int result = -1;
    testing::internal::CaptureStderr();
    const auto out = CaptureOutput([&] { result = RunFirmwareStage(serial_memory::Handle(), expected); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(result, c.result) << out;
    if (c.result == 0) {
      EXPECT_EQ(out.find("SendResetCommand"), std::string::npos) << out;
      EXPECT_EQ(serial_memory::Written(), probe);  // one probe, and not a byte more
    } else {
      EXPECT_EQ(rom.probes, 2);
    }
  }
}

// The forms that are read are in the cases above; a value that cannot be read must never pass
// as no guard at all.
TEST(PlatformPrefixText, AnythingButOneToTwelveHexBytesIsRefused) {
  for (const char* text : {"4B4D56373732305000010A1F00", "4B4", "4G", "", " : ", "0x4B"}) {
    PlatformPrefix prefix;
    EXPECT_EQ(ReadPlatformPrefix(text, &prefix), 0) << text;
    EXPECT_EQ(prefix.length, 0U) << text;
  }
}
