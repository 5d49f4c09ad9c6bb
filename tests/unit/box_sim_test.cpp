// The simulated box itself, driven byte by byte in virtual time: the tests of the tool can
// only trust it if it checks what it receives and answers exactly as configured.
#include <gtest/gtest.h>

#include <numeric>

#include "sdf/sdf.h"
#include "stbsim/box_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kProbe = {0xA5, 0x02, 0x00, 0x11, 0x12};
const Bytes kReset = {0xA5, 0x02, 0x00, 0x12, 0x13};
const Bytes kReady = {0x53, 0x44, 0x46, 0x10};

// The tool's side of the line.
struct Line {
  explicit Line(BoxConfig config) : box(std::move(config)) {}

  // Sends bytes at the current time and returns what the box answers, in order.
  Bytes Send(const Bytes& bytes) {
    for (const uint8_t b : bytes) {
      box.Receive(b, now);
    }
    Bytes answer;
    BoxOutput out{};
    while (box.PopOutput(&out)) {
      EXPECT_GE(out.at_ms, last_at) << "out of time order";
      last_at = out.at_ms;
      if (out.hang_up) {
        hung_up = true;
      } else {
        answer.push_back(out.byte);
      }
    }
    return answer;
  }
  Bytes SendFrame(const uint8_t* data, size_t count) {
    Bytes frame(1024, 0xFF);
    std::copy(data, data + count, frame.begin());
    frame.push_back(static_cast<uint8_t>(std::accumulate(frame.begin(), frame.end(), 0)));
    return Send(frame);
  }
  // Probe, reset, go, header; the box is then ready for frames.
  void StartImage(uint32_t length) {
    Send(kProbe);
    Send(kReset);
    Send({0x09});
    Bytes header = {0x01, 0x01, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0, 0};
    header.resize(20, 0);
    header.push_back(0x09);
    EXPECT_EQ(Send(header), Bytes{0x09});
  }

  BoxSim box;
  uint64_t now = 0;
  uint64_t last_at = 0;
  bool hung_up = false;
};

Bytes Pattern(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  }
  return bytes;
}

// The header of a body of Pattern(data_length).
Bytes SdfHeader(uint32_t data_length) {
  Bytes header(20, 0);
  header[0] = 0x5E;
  WriteLe32(header.data() + 8, data_length);
  uint32_t data_crc = 0;
  Crc32Update(Pattern(data_length).data(), &data_crc, data_length);
  WriteLe32(header.data() + 12, data_crc);
  uint32_t crc = 0;
  Crc32Update(header.data(), &crc, 16);
  WriteLe32(header.data() + 16, crc);
  return header;
}

// From power-on to the bootloader's ready signal, with a good image of 1,500 bytes.
void BootToLoader(Line* line) {
  const Bytes image = Pattern(1500);
  line->StartImage(1500);
  line->SendFrame(image.data(), 1024);
  line->SendFrame(image.data() + 1024, 476);
  line->now += 1000;
  line->Send(kProbe);
}

TEST(BoxSim, BootRomAnswersAsConfiguredAndStartsOnlyAGoodImage) {
  BoxConfig config;
  config.junk_before_reply = {0x33};
  config.boot_delay_ms = 300;
  Line line(config);
  Bytes platform = {0x33, 0xA5};
  platform.insert(platform.end(), config.platform_id.begin(), config.platform_id.end());
  EXPECT_EQ(line.Send(kProbe), platform);
  EXPECT_EQ(line.Send(kReset), (Bytes{0x05, 0x08}));
  EXPECT_EQ(line.Send({0x09}), Bytes{0x09});
  EXPECT_EQ(line.Send({0x01, 0x01, 0x34, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x09}), Bytes{0x09});

  const Bytes image = Pattern(2100);
  EXPECT_EQ(line.SendFrame(image.data(), 1024), Bytes{0x09});
  Bytes damaged(image.begin() + 1024, image.begin() + 2048);
  damaged.push_back(static_cast<uint8_t>(std::accumulate(damaged.begin(), damaged.end(), 1)));
  EXPECT_EQ(line.Send(damaged), Bytes{0x15});
  // The last frame's checksum is right, but its fill is not FF.
  Bytes unfilled(image.begin() + 2048, image.end());
  unfilled.resize(1024, 0x00);
  unfilled.push_back(static_cast<uint8_t>(std::accumulate(unfilled.begin(), unfilled.end(), 0)));
  EXPECT_EQ(line.Send(unfilled), Bytes{0x15});
  EXPECT_FALSE(line.box.image_complete());
  EXPECT_EQ(line.box.complaints().size(), 3u);  // two frames, then the image
  // Not started: the boot ROM still answers at once.
  EXPECT_EQ(line.box.phase(), BoxPhase::kBootRom);
  EXPECT_EQ(line.Send(kProbe), platform);

  Line good(config);
  good.StartImage(2100);
  good.SendFrame(image.data(), 1024);
  good.SendFrame(image.data() + 1024, 1024);
  EXPECT_EQ(good.SendFrame(image.data() + 2048, 52), Bytes{0x09});
  EXPECT_EQ(good.box.image(), image);
  EXPECT_TRUE(good.box.complaints().empty());
  good.now += 299;
  EXPECT_EQ(good.Send(kProbe), Bytes{}) << "deaf while starting";
  good.now += 1;
  Bytes loader = platform;
  loader.insert(loader.end(), kReady.begin(), kReady.end());
  EXPECT_EQ(good.Send(kProbe), loader);
  EXPECT_EQ(good.box.phase(), BoxPhase::kBootloader);
  EXPECT_EQ(good.box.probes_seen(), 3);
}

TEST(BoxSim, BootloaderChecksHeaderAndBlocksAndFollowsItsScript) {
  BoxConfig config;
  config.refuse_block = 0;
  config.refuse_times = 2;
  config.odd_block = 1;
  config.text = "done";
  config.final_verdict = 0x15;
  Line line(config);
  BootToLoader(&line);

  Bytes header = SdfHeader(1500);
  header[0] ^= 1;
  EXPECT_EQ(line.Send(header), Bytes{0x15}) << "header CRC";
  EXPECT_EQ(line.Send(SdfHeader(1500)), Bytes{0x06});

  const Bytes body = Pattern(1500);
  Bytes block0(body.begin(), body.begin() + 1024);
  block0.push_back(static_cast<uint8_t>(std::accumulate(block0.begin(), block0.end(), 0)));
  Bytes bad0 = block0;
  bad0[1024] ^= 0x40;
  EXPECT_EQ(line.Send(bad0), Bytes{0x15}) << "checksum";
  EXPECT_EQ(line.Send(block0), Bytes{0x15}) << "scripted refusal 1";
  EXPECT_EQ(line.Send(block0), Bytes{0x15}) << "scripted refusal 2";
  EXPECT_EQ(line.Send(block0), Bytes{0x06});
  EXPECT_EQ(line.SendFrame(body.data() + 1024, 476), Bytes{0x41}) << "odd verdict, once";
  EXPECT_EQ(line.SendFrame(body.data() + 1024, 476), (Bytes{0x06, 0x02, 'd', 'o', 'n', 'e', 0x00, 0x06, 0x15}));
  EXPECT_EQ(line.box.body(), body);
  EXPECT_EQ(line.box.blocks_seen(), 6);
  EXPECT_FALSE(line.box.update_complete()) << "the final verdict was a refusal";
  EXPECT_EQ(line.box.phase(), BoxPhase::kFinished);
  EXPECT_EQ(line.box.complaints().size(), 2u);
}

TEST(BoxSim, AFaultStrikesItsPointAndIndexOnly) {
  const Bytes body = Pattern(4096);
  const struct {
    BoxFault fault;
    Bytes verdict;  // on the second block received
    bool taken;
  } cases[] = {
      {BoxFault::kCorruptIn, {0x15}, false},  {BoxFault::kCorruptOut, {0x86}, true}, {BoxFault::kDrop, {}, true},
      {BoxFault::kNoise, {0x5A, 0x06}, true}, {BoxFault::kDelay, {0x06}, true},      {BoxFault::kRefuse, {0x15}, false},
      {BoxFault::kUnknown, {0x41}, false},    {BoxFault::kHangUp, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    BoxConfig config;
    config.fault = {c.fault, BoxPoint::kBlock, 1, 6000};
    Line line(config);
    BootToLoader(&line);
    line.Send(SdfHeader(4096));
    line.now = 5000;
    EXPECT_EQ(line.SendFrame(body.data(), 1024), Bytes{0x06});
    EXPECT_EQ(line.SendFrame(body.data() + 1024, 1024), c.verdict);
    EXPECT_EQ(line.last_at, c.fault == BoxFault::kDelay ? 11000u : 5000u);
    EXPECT_EQ(line.box.body().size(), c.taken ? 2048u : 1024u);
    // The next block the box expects is a new occurrence: clean, unless the box has hung up.
    const size_t next = line.box.body().size();
    EXPECT_EQ(line.SendFrame(body.data() + next, 1024), c.fault == BoxFault::kHangUp ? Bytes{} : Bytes{0x06});
    EXPECT_EQ(line.hung_up, c.fault == BoxFault::kHangUp);
  }

  // Probe indexes count every probe, the unanswered ones included.
  BoxConfig config;
  config.silent_probes = 1;
  config.fault = {BoxFault::kUnknown, BoxPoint::kProbe, 2};
  Line line(config);
  EXPECT_EQ(line.Send(kProbe), Bytes{});
  EXPECT_EQ(line.Send(kProbe).size(), 13u);
  EXPECT_EQ(line.Send(kProbe), Bytes{0x41});
  EXPECT_EQ(line.Send(kProbe).size(), 13u);
}

TEST(BoxSim, PacesTheLineAtTheConfiguredByteTime) {
  BoxConfig config;
  config.byte_time_ms = 0.5;
  Line line(config);
  line.Send(kProbe);  // 5 bytes in, then 13 out
  EXPECT_EQ(line.last_at, 9u);
  line.now = 100;
  // Sent without waiting for answers, the 32 bytes of probe, reset, go and header queue on
  // the line; the header's answer follows the last of them.
  line.StartImage(1024);
  EXPECT_EQ(line.last_at, 117u);
  const Bytes frame = Pattern(1024);
  line.now = 200;
  line.SendFrame(frame.data(), 1024);
  EXPECT_EQ(line.last_at, 713u);
}

// Outputs that a pty driver would have sent by until.
Bytes PopDue(BoxSim* box, uint64_t until) {
  Bytes due;
  BoxOutput out{};
  while (box->PeekOutput(&out) && out.at_ms <= until) {
    box->PopOutput(&out);
    due.push_back(out.byte);
  }
  return due;
}

TEST(BoxSim, ARepeatedProbeToTheBootloaderPutsTheReadyAfterTheNewAnswer) {
  BoxConfig config;
  config.ready_delay_ms = 1000;
  Line line(config);
  const Bytes image = Pattern(100);
  line.StartImage(100);
  line.SendFrame(image.data(), 100);
  line.now = 1000;
  for (const uint8_t b : kProbe) {
    line.box.Receive(b, line.now);
  }
  EXPECT_EQ(PopDue(&line.box, line.now).size(), 13u);
  line.now = 1600;  // that answer went astray: the tool probes again
  for (const uint8_t b : kProbe) {
    line.box.Receive(b, line.now);
  }
  EXPECT_EQ(PopDue(&line.box, line.now).size(), 13u) << "answered at once";
  EXPECT_EQ(PopDue(&line.box, 2599), Bytes{}) << "the first ready signal is gone";
  EXPECT_EQ(PopDue(&line.box, 2600), kReady);
  EXPECT_EQ(PopDue(&line.box, UINT64_MAX), Bytes{});
}

}  // namespace
