// The fault matrix: every fault a real line shows, injected at every point of the exchange,
// each cell a whole update through the simulated box in virtual time.
//
// Every cell is held to the two promises, whatever its expected outcome:
//   - "SW update status: OK" only when the box holds exactly the firmware image and exactly the
//     file's data_length body bytes, and took the update at its last verdict (a tool one verdict
//     ahead would finish before reading it);
//   - otherwise the stage fails with a failure line, within the waits the design bounds, or it
//     waits without limit where the design says the software stage does (the memory port then
//     reports a read that would block for ever; the real tool waits for Ctrl+C).
// The one table below also says which of these each cell gives, so that a change of behaviour
// shows as a changed cell.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>

#include "bootrom/bootrom.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

namespace {

enum class Outcome {
  kUpdated,         // both stages succeed; image and body arrive byte for byte
  kFailed,          // a stage fails with a failure line, within the design's bound
  kFailedSilently,  // the last verdict refused, or a verdict after it (out of step, said on
                    // standard error): no failure line on standard output
  kWaitsForUser,    // the software stage waits without limit: only Ctrl+C ends it
};

using enum BoxFault;
using enum Outcome;
constexpr Outcome U = kUpdated;
constexpr Outcome F = kFailed;
constexpr Outcome S = kFailedSilently;
constexpr Outcome W = kWaitsForUser;

// A column: a fault, and for the last four one noise byte that looks like a verdict, ahead of the
// answer of a box slower than a block (it stores each message for 100 ms, and the line runs at
// 115,200 baud: a block takes 89 ms on it), from a box that checks the body and one that does
// not. Such a box's verdicts, once the tool is one ahead, all come after the next checksum.
struct Column {
  BoxFault fault;
  const char* name;
  uint8_t noise_byte = 0x5A;
  bool slow = false;
  int body_check = -1;  // 1 or 0 for every row of the column; -1: the row's own
};
constexpr uint32_t kSlowStoreMs = 100;
constexpr double kLineByteMs = 0.0868;
constexpr Column kColumns[] = {
    {kCorruptIn, "corrupt-in"},
    {kCorruptOut, "corrupt-out"},
    {kDrop, "drop"},
    {kNoise, "noise"},
    {kDelay, "delay"},
    {kRefuse, "refuse"},
    {kUnknown, "unknown"},
    {kHangUp, "hang-up"},
    {kExtraAck, "ack"},
    {kNoiseAhead, "slow-06", 0x06, true, 1},
    {kNoiseAhead, "slow-06-unchecked", 0x06, true, 0},
    {kNoiseAhead, "slow-15", 0x15, true, 1},
    {kNoiseAhead, "slow-15-unchecked", 0x15, true, 0},
};
constexpr int kFaultCount = sizeof kColumns / sizeof kColumns[0];

struct Row {
  const char* name;
  BoxPoint point;
  int index;
  size_t body_size;
  Outcome outcome[kFaultCount];  // in the order of kColumns
  // The noise fault as a burst of this many bytes, with the answer this much behind them.
  uint32_t noise_bytes = 1;
  uint32_t noise_gap_ms = 0;
  uint32_t store_ms = 0;   // the box's time to store the header and each block
  bool check_body = true;  // the box compares the body it took with data_crc32
  int refuse_block = -1;   // this block is refused once besides the fault
  uint32_t store_jitter_ms = 0;
  uint32_t last_block_ms = 0;
  uint32_t final_delay_ms = 0;
};

// The body is 4.5 KB (blocks 0 to 3 whole, block 4 with 512 bytes and 512 of fill) unless a row
// says otherwise. With the box's default boot delay, probe 1 comes while the image starts and
// probe 2 is the bootloader's first answer.
constexpr size_t kBody = 4 * 1024 + 512;
constexpr size_t kWholeKilobytes = 4 * 1024;
// clang-format off
const Row kMatrix[] = {
    //                                                   in out drop noise delay refuse unknown hang-up ack
    //                                                   slow box: 06, 06 unchecked, 15, 15 unchecked
    {"probe0_boot_rom",    BoxPoint::kProbe,      0, kBody, {U, U, U, U, U, U, U, F, U, U, U, U, U}},
    {"probe2_bootloader",  BoxPoint::kProbe,      2, kBody, {U, U, U, U, F, U, U, F, U, U, U, U, U}},
    {"reset",              BoxPoint::kReset,      0, kBody, {F, F, F, U, F, F, F, F, U, U, U, U, U}},
    {"go",                 BoxPoint::kGo,         0, kBody, {W, U, U, U, U, W, U, F, U, U, U, U, U}},
    {"file_header",        BoxPoint::kFileHeader, 0, kBody, {W, U, U, U, U, W, U, F, U, U, U, U, U}},
    {"frame0",             BoxPoint::kFrame,      0, kBody, {W, U, U, U, U, W, U, F, U, U, U, U, U}},
    {"frame5",             BoxPoint::kFrame,      5, kBody, {W, U, U, U, U, W, U, F, U, U, U, U, U}},
    {"frame11_last",       BoxPoint::kFrame,     11, kBody, {W, U, U, U, F, W, U, F, U, U, U, U, U}},
    {"ready",              BoxPoint::kReady,      0, kBody, {U, W, W, U, U, W, W, F, F, U, U, U, U}},
    {"sdf_header",         BoxPoint::kSdfHeader,  0, kBody, {F, F, W, F, U, F, F, F, F, S, S, F, F}},
    {"block0",             BoxPoint::kBlock,      0, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}},
    {"block2",             BoxPoint::kBlock,      2, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}},
    {"block4_last",        BoxPoint::kBlock,      4, kBody, {U, W, W, U, U, U, U, F, S, S, S, F, F}},
    {"block1_whole_kb",    BoxPoint::kBlock,      1, kWholeKilobytes, {U, F, W, U, U, U, U, F, F, S, S, F, F}},
    // Noise: a burst of 9 bytes; one byte with the verdict 600 ms behind it, from a box that
    // answers at once and from one that takes 300 ms to store each block.
    {"block2_burst9",      BoxPoint::kBlock,      2, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}, 9},
    {"block2_late_600",    BoxPoint::kBlock,      2, kBody, {U, F, W, F, U, U, U, F, F, S, S, F, F}, 1, 600},
    {"block2_late_slow",   BoxPoint::kBlock,      2, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}, 1, 600, 300},
    {"after_last_verdict", BoxPoint::kAfterLast,  0, kBody, {U, F, W, F, U, F, F, F, S, S, S, F, F}},
    {"final_verdict",      BoxPoint::kFinal,      0, kBody, {U, F, W, F, U, S, F, F, S, S, S, S, S}},
    // Block 0 from a box that takes 700 ms to store: the header's verdict paces its window.
    {"block0_slow_700",    BoxPoint::kBlock,      0, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}, 1, 700, 700},
    // A fault at block 1, then block 3 refused once: out of step, the refusal would make the
    // tool send the wrong block again. From a box that checks the body and one that does not.
    {"block1_refusal",     BoxPoint::kBlock,      1, kBody, {U, F, W, U, U, U, U, F, F, F, F, F, F}, 1, 0, 0, true, 3},
    {"block1_refusal_unchecked", BoxPoint::kBlock, 1, kBody, {U, F, W, U, U, U, U, F, F, F, F, F, F}, 1, 0, 0, false, 3},
    {"block2_unchecked",   BoxPoint::kBlock,      2, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}, 1, 0, 0, false},
    {"after_last_unchecked", BoxPoint::kAfterLast, 0, kBody, {U, F, W, F, U, F, F, F, S, S, S, F, F}, 1, 0, 0, false},
    // Healthy slow boxes: storing each block for 100 ms, verdicts jittering by up to 500 ms, the
    // last block taking 700 ms to store, the final verdict 1.5 s after the one before it.
    {"block2_store_100",   BoxPoint::kBlock,      2, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}, 1, 0, 100},
    {"block2_jitter_500",  BoxPoint::kBlock,      2, kBody, {U, F, W, U, U, U, U, F, F, S, S, F, F}, 1, 0, 0, true, -1, 500},
    {"block4_last_700",    BoxPoint::kBlock,      4, kBody, {U, W, W, U, U, U, U, F, S, S, S, U, U}, 1, 0, 0, true, -1, 0, 700},
    {"final_late_1500",    BoxPoint::kFinal,      0, kBody, {U, F, W, F, U, S, F, F, S, S, S, S, S}, 1, 0, 0, true, -1, 0, 0, 1500},
};
// clang-format on

constexpr uint32_t kDelayMs = 6000;  // longer than the boot ROM's 5 s read time-out
constexpr uint64_t kStrayWindowMaxMs = 2000;

// The longest the firmware stage may take by design when the box fails at the worst moment:
// every probe and every boot ROM read waits out its time-out once.
constexpr uint64_t kProbeMs = 500;
constexpr uint64_t kBootRomReadMs = 5000;
constexpr uint64_t kFirmwareBoundMs = 15 * kProbeMs          // probes before the reset
                                      + 2 * kBootRomReadMs   // reset reply, go reply
                                      + kBootRomReadMs       // file header's answer
                                      + 12 * kBootRomReadMs  // frames' answers
                                      + 240 * kProbeMs;      // probes while the image starts

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case kUpdated:
      return "updated";
    case kFailed:
      return "failed";
    case kFailedSilently:
      return "failed silently";
    case kWaitsForUser:
      return "waits for Ctrl+C";
  }
  return "?";
}

// Ends the process when a cell runs away: a loop on a dead port takes no virtual time, so
// only the wall clock can catch it.
class Watchdog {
 public:
  explicit Watchdog(std::string cell) : cell_(std::move(cell)), thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wake_.wait_for(lock, std::chrono::seconds(20), [this] { return done_; })) {
      std::fprintf(stderr, "fault cell %s: no end after 20 s of wall time: the tool hangs or spins\n", cell_.c_str());
      std::abort();
    }
  }

  std::string cell_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

// The last line the run printed; a progress counter ends in "\r", and what follows it starts
// the line afresh.
std::string LastLine(const std::string& output) {
  std::string text = output;
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  const size_t start = text.find_last_of("\r\n");
  return start == std::string::npos ? text : text.substr(start + 1);
}

uint64_t Count(const std::string& text, const std::string& what) {
  uint64_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

bool EndsWithFailureLine(const std::string& output) {
  static const std::regex kFailureLine(
      R"((BAD|STB not responding\.\.\.|SW update: error|STB after reset cmd: Unknown response\(0x08\): [0-9A-F]+|)"
      R"(Unknown response: 0x[0-9A-F]+|WaitResponse: read error\.\.\.|SendSDFHeader: read error\.\.\.))");
  return std::regex_match(LastLine(output), kFailureLine);
}

class FaultMatrix : public testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, EveryFaultKeepsBothPromises) {
  const Row& row = GetParam();
  const std::vector<uint8_t> image(FirmwareImage, FirmwareImage + kFirmwareImageSize);
  const std::vector<uint8_t> body = RandomBytes(row.body_size, 77);
  TempFile sdf(MakeSdf(body));

  for (int f = 0; f < kFaultCount; ++f) {
    const Column& column = kColumns[f];
    const BoxFault fault = column.fault;
    const Outcome expected = row.outcome[f];
    const std::string cell = std::string(row.name) + " x " + column.name;
    SCOPED_TRACE(cell + ", expected: " + OutcomeName(expected));

    BoxConfig config;
    config.fault =
        FaultPlan{fault, row.point, row.index, kDelayMs, row.noise_bytes, row.noise_gap_ms, column.noise_byte};
    config.store_ms = column.slow ? std::max(row.store_ms, kSlowStoreMs) : row.store_ms;
    config.byte_time_ms = column.slow ? kLineByteMs : 0;
    config.check_body = column.body_check < 0 ? row.check_body : column.body_check == 1;
    config.store_jitter_ms = row.store_jitter_ms;
    config.last_block_ms = row.last_block_ms;
    config.final_delay_ms = row.final_delay_ms;
    config.refuse_block = row.refuse_block;
    config.refuse_times = row.refuse_block >= 0 ? 1 : 0;
    BoxSim box(config);
    BothStages run;
    {
      const Watchdog watchdog(cell);
      run = RunBothStages(&box, &sdf);
    }
    const bool says_ok = run.output.find("SW update status: OK") != std::string::npos;
    const bool delivered = box.image() == image && box.body() == body && box.update_complete();
    std::string context = "\n--- tool ---\n" + run.output + "\n--- box complaints ---\n";
    for (const std::string& complaint : box.complaints()) {
      context += complaint + "\n";
    }

    // Promise 1 in every cell.
    EXPECT_TRUE(!says_ok || delivered) << "success without byte-exact delivery" << context;
    EXPECT_EQ(says_ok, run.software == 1) << context;

    switch (expected) {
      case kUpdated:
        EXPECT_EQ(run.firmware, 1) << context;
        EXPECT_EQ(run.software, 1) << context;
        EXPECT_TRUE(delivered) << context;
        EXPECT_TRUE(box.update_complete()) << context;
        EXPECT_FALSE(run.blocked_forever) << context;
        break;
      case kFailed:
      case kFailedSilently:
        EXPECT_EQ(run.software, 0) << context;
        EXPECT_FALSE(run.blocked_forever) << "waited without limit" << context;
        if (expected == kFailed) {
          EXPECT_TRUE(EndsWithFailureLine(run.output)) << "no failure line at the end" << context;
        } else {
          // Refused as the very last verdict: the design prints nothing of its own.
          EXPECT_EQ(LastLine(run.output), "OK") << context;
        }
        EXPECT_LE(run.firmware_end_ms, kFirmwareBoundMs + kDelayMs) << context;
        // The software stage adds the box's own answer times, and its stray-byte windows.
        EXPECT_LE(run.end_ms, run.firmware_end_ms + kDelayMs + uint64_t{row.store_ms} * box.blocks_seen() +
                                  kStrayWindowMaxMs * Count(run.output, "Unknown response"))
            << context;
        break;
      case kWaitsForUser:
        EXPECT_EQ(run.firmware, 1) << context;
        EXPECT_EQ(run.software, 0) << context;
        EXPECT_TRUE(run.blocked_forever) << context;
        EXPECT_LE(run.firmware_end_ms, kFirmwareBoundMs + kDelayMs) << context;
        break;
    }
    // What each cell gave, for the README's table.
    if (std::getenv("BOXLOAD_MATRIX_REPORT") != nullptr) {
      const char* seen = run.software == 1                 ? (delivered ? "U" : "B")
                         : run.blocked_forever             ? "W"
                         : EndsWithFailureLine(run.output) ? "F"
                                                           : "S";
      std::fprintf(stderr, "cell %-24s %-18s %s end %llu ms\n", row.name, column.name, seen,
                   static_cast<unsigned long long>(run.end_ms));
    }
  }
}

// Shown as the test's parameter, and by ctest as its name: ".../frame5".
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(AllPoints, FaultMatrix, testing::ValuesIn(kMatrix));

}  // namespace
