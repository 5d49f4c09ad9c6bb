// Whole updates, and updates that fail, of the real tool against the simulated box.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <optional>
#include <regex>

#include "integration/harness.h"
#include "sdf/sdf.h"

namespace {

constexpr uint32_t kImageSize = 12084;

class Update : public testing::Test {
 protected:
  // Runs the tool on port 2 with file against a box configured as config.
  ToolResult Run(const BoxConfig& config, const std::string& file, const ToolOptions& options = {}) {
    box_.emplace(config, PortPath(2), latency_ms_);
    ToolResult result = RunBoxload({"2", file}, options);
    box_->Finish();
    EXPECT_FALSE(result.timed_out) << "boxload was killed after " << result.seconds << " s";
    return result;
  }
  const BoxSim& sim() { return box_->Finish(); }

  void TearDown() override {
    if (HasFailure() && box_) {
      std::fprintf(stderr, "--- what the box saw ---\n%s", box_->Log().c_str());
    }
  }

  TempDir dir_;
  std::optional<BoxOnPty> box_;
  uint32_t latency_ms_ = 0;  // of a USB adapter between the tool and the box
};

// The good run straight on the line, and again behind a USB adapter that holds the box's bytes
// for 16 ms (ftdi_sio's default): every time-out of the tool leaves room for that.
class GoodRun : public Update, public testing::WithParamInterface<uint32_t> {};

TEST_P(GoodRun, AGoodBoxTakesImageAndBodyByteForByte) {
  latency_ms_ = GetParam();
  const BoxConfig config;
  const std::vector<uint8_t> body = RandomBytes(2560, 1);
  const std::vector<uint8_t> sdf = MakeSdf(body);
  const ToolResult r = Run(config, dir_.Write("good.sdf", sdf));

  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) + SoftwareStageText(2560) + KeyPrompt());
  // Wall time, not CPU time: the stage waited out one 500 ms probe while the box started.
  std::smatch time;
  ASSERT_TRUE(std::regex_search(r.out, time, std::regex(R"(Firmware .*time: ([0-9]+\.[0-9]+))")));
  EXPECT_GE(std::stod(time[1]), 0.5);
  EXPECT_LT(std::stod(time[1]), 5.0);
  // Behind the adapter the header's verdict, each of the three blocks' and the last two each
  // waited for its timer (the last two may share one wait).
  ASSERT_TRUE(std::regex_search(r.out, time, std::regex(R"(SW update status: OK, \[overall time: ([0-9]+\.[0-9]+))")));
  EXPECT_GE(std::stod(time[1]), 4 * GetParam() / 1000.0);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  // A build with the stand-in image says so once, before the first probe; a build with the box's
  // own image says nothing.
  EXPECT_EQ(r.err, ReadFile(BOXLOAD_FIRMWARE_FILE) == ReadFile(std::string(BOXLOAD_SOURCE_DIR) + "/data/firmware.bin")
                       ? "boxload: this build carries a stand-in firmware image: it works with the simulated box only\n"
                       : "");
  EXPECT_EQ(sim().image(), ReadFile(BOXLOAD_FIRMWARE_FILE));
  EXPECT_EQ(sim().image().size(), kImageSize);
  EXPECT_EQ(sim().body(), body);
  EXPECT_EQ(sim().sdf_header(), std::vector<uint8_t>(sdf.begin(), sdf.begin() + 20));
  EXPECT_TRUE(sim().update_complete());
  EXPECT_TRUE(sim().complaints().empty()) << sim().complaints().front();
  EXPECT_TRUE(box_->tool_closed());
}

INSTANTIATE_TEST_SUITE_P(Update, GoodRun, testing::Values(0U, 16U), [](const testing::TestParamInfo<uint32_t>& p) {
  return p.param == 0 ? std::string("Direct") : "AdapterLatency" + std::to_string(p.param) + "ms";
});

// Whole kilobytes, text from the bootloader, noise the tool must look past: still a whole update.
TEST_F(Update, AChattyBoxAndABodyOfWholeKilobytes) {
  BoxConfig config;
  config.junk_before_reply = {0x33, 0x0D};
  config.frame_ack = 0x0A;
  config.odd_frame = 3;
  config.odd_frame_answer = 0x41;
  // 53 44 53 44 46 10 is no ready signal; the clean one after it is.
  config.ready_noise = {0x53, 0x44, 0x53, 0x44, 0x46, 0x10, 0x00};
  config.text = "Flash erased\r\nWriting";
  const std::vector<uint8_t> body = RandomBytes(3072, 2);
  const ToolResult r = Run(config, dir_.Write("whole.sdf", MakeSdf(body)));

  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) + SoftwareStageText(3072, config.text) + KeyPrompt());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(sim().image(), ReadFile(BOXLOAD_FIRMWARE_FILE));
  EXPECT_EQ(sim().body(), body);
  EXPECT_EQ(sim().blocks_seen(), 3);
}

TEST_F(Update, AnEmptyBodySendsNoBlock) {
  const ToolResult r = Run(BoxConfig{}, dir_.Write("empty.sdf", MakeSdf({})));
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(BoxConfig{}) + SoftwareStageText(0) + KeyPrompt());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(sim().blocks_seen(), 0);
  EXPECT_TRUE(sim().update_complete());
}

TEST_F(Update, ARefusedBlockGoesThreeTimesInAll) {
  BoxConfig config;
  config.refuse_block = 1;
  config.refuse_times = 2;
  const std::vector<uint8_t> body = RandomBytes(2600, 3);
  const std::string file = dir_.Write("body.sdf", MakeSdf(body));
  ToolResult r = Run(config, file);
  // Refusals print nothing: the text is that of a clean run.
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) + SoftwareStageText(2600) + KeyPrompt());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(sim().blocks_seen(), 5);
  EXPECT_EQ(sim().body(), body);

  config.refuse_times = 3;
  r = Run(config, file);
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) +
                                   "do_upload_firmware()\nCheck SDF file... OK\nSendFileHeader... Wait For STB "
                                   "ready\nRemote BootLoader is ready\nwait STB response:\nOK\nSendSDFFile... \n"
                                   "Send 0Kb\rSend 1Kb\rBAD\n" +
                                   KeyPrompt());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(sim().blocks_seen(), 4);
  EXPECT_EQ(sim().body(), std::vector<uint8_t>(body.begin(), body.begin() + 1024));
  EXPECT_FALSE(sim().update_complete());
}

TEST_F(Update, AFileThatFailsTheCheckIsNotSent) {
  const std::vector<uint8_t> body = RandomBytes(1500, 4);
  const std::vector<uint8_t> good = MakeSdf(body);
  uint32_t good_header_crc = 0;
  Crc32Update(good.data(), &good_header_crc, 16);
  uint32_t good_data_crc = 0;
  Crc32Update(body.data(), &good_data_crc, 1500);

  std::vector<uint8_t> bad_header = good;
  bad_header[3] ^= 0x10;
  uint32_t bad_header_crc = 0;
  Crc32Update(bad_header.data(), &bad_header_crc, 16);
  std::vector<uint8_t> bad_data = good;
  bad_data.back() ^= 0x01;
  uint32_t bad_data_crc = 0;
  Crc32Update(bad_data.data() + 20, &bad_data_crc, 1500);
  std::vector<uint8_t> too_long = good;
  SetDataLength(&too_long, 1501);

  char header_line[128];
  std::snprintf(header_line, sizeof header_line, "Check_SDF_File: sdf->header_crc32=0x%X, calc_crc32=0x%X\n",
                good_header_crc, bad_header_crc);
  char data_line[128];
  std::snprintf(data_line, sizeof data_line, "Check_SDF_File: sdf->data_crc32=0x%X, calc_crc32=0x%X\n", good_data_crc,
                bad_data_crc);
  // The CRC lines are the ones every user knows; the refusals added since only promise to
  // begin with the check's name.
  const struct {
    std::vector<uint8_t> file;
    std::string line;
    bool whole_line;
  } cases[] = {
      {bad_header, header_line, true},
      {bad_data, data_line, true},
      {too_long, "Check_SDF_File: ", false},
      {std::vector<uint8_t>(good.begin(), good.begin() + 19), "Check_SDF_File: ", false},
  };
  for (const auto& c : cases) {
    const ToolResult r = Run(BoxConfig{}, dir_.Write("bad.sdf", c.file));
    const std::string head = FirmwareStageText(BoxConfig{}) + "do_upload_firmware()\nCheck SDF file... " + c.line;
    const std::string out = Normalised(r.out);
    ASSERT_EQ(out.substr(0, head.size()), head);
    const std::string rest = out.substr(head.size());
    const size_t line_end = c.whole_line ? 0 : rest.find('\n') + 1;
    EXPECT_EQ(rest.substr(line_end), "BAD\n" + KeyPrompt());
    EXPECT_EQ(r.exit_code, 1);
    // The bootloader was ready but never got a header.
    EXPECT_EQ(sim().phase(), BoxPhase::kBootloader);
    EXPECT_TRUE(sim().sdf_header().empty());
  }
}

TEST_F(Update, ABoxThatHangsUpEndsTheRunAtOnce) {
  BoxConfig config;
  config.fault = {BoxFault::kHangUp, BoxPoint::kBlock, 1};
  const std::string file = dir_.Write("body.sdf", MakeSdf(RandomBytes(4000, 5)));
  ToolResult r = Run(config, file);
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) +
                                   "do_upload_firmware()\nCheck SDF file... OK\nSendFileHeader... Wait For STB "
                                   "ready\nRemote BootLoader is ready\nwait STB response:\nOK\nSendSDFFile... \n"
                                   "Send 0Kb\rSend 1Kb\rWaitResponse: read error...\nBAD\n" +
                                   KeyPrompt());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_LT(r.seconds, 5);
  EXPECT_TRUE(sim().hung_up());

  // While the tool waits without limit for the ready signal.
  config.fault = {BoxFault::kHangUp, BoxPoint::kReady, 0};
  r = Run(config, file);
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) +
                                   "do_upload_firmware()\nCheck SDF file... OK\nSendFileHeader... Wait For STB "
                                   "ready\nSendSDFHeader: read error...\nBAD\n" +
                                   KeyPrompt());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_LT(r.seconds, 5);
}

TEST_F(Update, ABoxInRepairModeTakesTheImageWithoutAReset) {
  BoxConfig config;
  config.repair_first = 0x0E;
  const std::vector<uint8_t> body = RandomBytes(100, 6);
  const ToolResult r = Run(config, dir_.Write("small.sdf", MakeSdf(body)));
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) + SoftwareStageText(100) + KeyPrompt());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(sim().image(), ReadFile(BOXLOAD_FIRMWARE_FILE));
  EXPECT_EQ(sim().body(), body);
  EXPECT_TRUE(sim().complaints().empty()) << sim().complaints().front();
}

TEST_F(Update, ABoxThatNeverAnswersIsGivenUpAfter15Probes) {
  BoxConfig config;
  config.silent_probes = -1;
  const ToolResult r = Run(config, dir_.Write("small.sdf", MakeSdf(RandomBytes(10, 7))));
  EXPECT_EQ(r.out, Banner() +
                       "Send 'GetPlatformID' and waiting STB response\nSTB not responding...\nFW update error...\n" +
                       KeyPrompt());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(sim().probes_seen(), 15);
  // 15 read time-outs of 500 ms each.
  EXPECT_GE(r.seconds, 7.4);
  EXPECT_LT(r.seconds, 9.5);
}

TEST_F(Update, CtrlCAbortsAStageAndFreesThePort) {
  const std::string file = dir_.Write("small.sdf", MakeSdf(RandomBytes(10, 8)));
  BoxConfig silent;
  silent.silent_probes = -1;
  ToolOptions after_a_second;
  after_a_second.interrupt_when = [](double seconds) { return seconds > 1.0; };
  ToolResult r = Run(silent, file, after_a_second);
  EXPECT_EQ(r.out, Banner() + "Send 'GetPlatformID' and waiting STB response\n\nProcess aborted by user...\n");
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_LT(r.seconds, 2);
  EXPECT_TRUE(box_->tool_closed());

  // In the software stage, while the tool waits without limit for a ready signal that never comes.
  BoxConfig no_ready;
  no_ready.fault = {BoxFault::kRefuse, BoxPoint::kReady, 0};
  box_.emplace(no_ready);
  ToolOptions when_waiting;
  double ready_at = -1;
  when_waiting.interrupt_when = [&](double seconds) {
    if (ready_at < 0 && box_->WaitForPhase(BoxPhase::kBootloader, 0)) {
      ready_at = seconds;
    }
    // Time for the tool to check the file and start waiting.
    return ready_at >= 0 && seconds > ready_at + 0.3;
  };
  r = RunBoxload({"2", file}, when_waiting);
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(no_ready) +
                                   "do_upload_firmware()\nCheck SDF file... OK\nSendFileHeader... Wait For STB "
                                   "ready\n\nProcess aborted by user...\n");
  EXPECT_EQ(r.signal, SIGINT);
  box_->Finish();
  EXPECT_TRUE(box_->tool_closed());

  // The port is free again: the next run has it to itself.
  r = Run(BoxConfig{}, file);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(sim().update_complete());
}

}  // namespace
