// A few cells of the fault matrix again, with the real tool on a pseudo-terminal in real time:
// the hang-up as the kernel reports it, a time-out that really elapses, Ctrl+C ending an
// unbounded wait, a stray byte before a verdict taken for the noise it is, a 06 of noise that
// would put the tool one verdict ahead, and a refused last verdict, silent on the console, told
// on standard error; a box slower than a block with noise 06 or 15 ahead of its verdict, and with
// a real refusal. And one box without a fault, of another model than --platform names.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "integration/harness.h"

namespace {

enum class End {
  kUpdated,  // exit 0, the box holds exactly the body; the given lines were shown on the way
  kFailed,   // exit 1 with the given last lines before the key prompt
  kWaits,    // still running after a second in the body: Ctrl+C ends it
};

struct Cell {
  const char* name;
  FaultPlan fault;
  size_t body_size;
  End end;
  const char* last_lines;  // the console text just before the key prompt (or the abort line);
                           // for kUpdated, text that must appear
  double min_seconds;
  double max_seconds;
  int runs = 1;                    // run this many times
  bool busy = false;               // with every core kept busy meanwhile
  const char* err = "";            // a line that standard error must hold
  const char* platform = nullptr;  // boxload's --platform
  uint32_t store_ms = 0;           // a box slower than a block: this long to store each, on a line
                                   // paced at 115,200 baud
};

// A noise byte of a verdict's value as a block arrives at a slow box, ahead of its own verdict.
constexpr FaultPlan NoiseAheadOfBlock(int block, uint8_t value) {
  return FaultPlan{BoxFault::kNoiseAhead, BoxPoint::kBlock, block, 6000, 1, 0, value};
}

const Cell kCells[] = {
    {"the box hangs up while the image goes",
     {BoxFault::kHangUp, BoxPoint::kFrame, 5},
     4608,
     End::kFailed,
     "SW update: error\nFW update error...\n",
     0,
     4},
    {"the box hangs up instead of the header's verdict",
     {BoxFault::kHangUp, BoxPoint::kSdfHeader, 0},
     4608,
     End::kFailed,
     "wait STB response:\nWaitResponse: read error...\nBAD\n",
     0,
     4},
    {"the box hangs up instead of the last verdict",
     {BoxFault::kHangUp, BoxPoint::kFinal, 0},
     4608,
     End::kFailed,
     "Send 4Kb\r\nOK\nWaitResponse: read error...\n",
     0,
     4},
    {"the reset reply comes after the 5 s time-out",
     {BoxFault::kDelay, BoxPoint::kReset, 0, 6000},
     4608,
     End::kFailed,
     "SendResetCommand: read error...\nSendResetCommand: STB response 0,0\n"
     "STB after reset cmd: Unknown response(0x08): 0\nFW update error...\n",
     5,
     7},
    {"the first probe's answer comes after its 500 ms time-out",
     {BoxFault::kDelay, BoxPoint::kProbe, 0, 800},
     4608,
     End::kUpdated,
     "",
     0.8,
     4},
    // A run with a refusal or an odd byte watches 5 s after its final verdict. A slow box's
    // real refusal is heard out, and the block goes again.
    {"a damaged block is refused by a slow box and sent again",
     {BoxFault::kCorruptIn, BoxPoint::kBlock, 1},
     4608,
     End::kUpdated,
     "",
     5.5,
     10,
     1,
     false,
     "",
     nullptr,
     100},
    {"the box refuses its last verdict",
     {BoxFault::kRefuse, BoxPoint::kFinal, 0},
     4608,
     End::kFailed,
     "Send 4Kb\r\nOK\n",
     0,
     4},
    {"a lost block verdict leaves the tool waiting",
     {BoxFault::kDrop, BoxPoint::kBlock, 1},
     4608,
     End::kWaits,
     "Send 0Kb\rSend 1Kb\r",
     0,
     6},
    {"a stray byte before a block verdict",
     {BoxFault::kNoise, BoxPoint::kBlock, 1},
     4096,
     End::kUpdated,
     "Send 1Kb\rUnknown response: 0x5A\nSend 2Kb\r",
     5,
     9},
    // The probe after the image drains and purges: on a pty the drain returns before the box has
    // read the last frame, and a purge of the output would eat its end.
    {"a stray byte before the first frame's answer, the machine busy",
     {BoxFault::kNoise, BoxPoint::kFrame, 0},
     4608,
     End::kUpdated,
     "",
     0,
     6,
     8,
     true},
    // A 06 of noise is a verdict to the tool: one ahead of the box, it must never finish.
    {"a 06 of noise behind block 1's verdict",
     {BoxFault::kExtraAck, BoxPoint::kBlock, 1},
     4608,
     End::kFailed,
     "Send 2Kb\rBAD\n",
     0,
     4,
     1,
     false,
     "boxload: out of step with the box: a verdict (06) came before the block it could answer"},
    {"a 06 of noise behind the last block's verdict",
     {BoxFault::kExtraAck, BoxPoint::kBlock, 4},
     4608,
     End::kFailed,
     "Send 4Kb\r\nOK\n",
     0,
     4,
     1,
     false,
     "boxload: out of step with the box: a verdict (06) came after its final one"},
    {"a box of another model than --platform names",
     {},
     4608,
     End::kFailed,
     "STB response: A5 4B 4D 56 37 37 32 30 50 0 1 A 1F \nFW update error...\n",
     0,
     2,
     1,
     false,
     "boxload: the box answers platform 4B4D56373732305000010A1F but --platform asks for 4B4D5638: not updated\n",
     "4B4D5638"},
    // A slow box (100 ms per block): a noise 06 ahead of its verdict puts the tool one ahead with
    // nothing to show it until the box's final verdict comes after the tool's; a noise 15 ahead of
    // it has the box's own 06 heard before the block could go again.
    {"a noise 06 ahead of a slow box's verdict on block 1", NoiseAheadOfBlock(1, 0x06), 4608, End::kFailed,
     "Send 4Kb\r\nOK\n", 0, 8, 1, false, "boxload: out of step with the box: a verdict (06) came after its final one",
     nullptr, 100},
    {"a noise 15 ahead of a slow box's verdict on block 1", NoiseAheadOfBlock(1, 0x15), 4608, End::kFailed,
     "Send 1Kb\rBAD\n", 0, 4, 1, false, "boxload: out of step with the box: a verdict (06) came after a refusal",
     nullptr, 100},
};

// Keeps every core spinning while it lives.
class BusyMachine {
 public:
  explicit BusyMachine(bool on) {
    for (unsigned i = 0; on && i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
      threads_.emplace_back([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
    }
  }
  ~BusyMachine() {
    stop_ = true;
    for (std::thread& t : threads_) {
      t.join();
    }
  }
  BusyMachine(const BusyMachine&) = delete;
  BusyMachine& operator=(const BusyMachine&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

TEST(FaultCells, TheRealToolKeepsThePromisesOnARealPty) {
  TempDir dir;
  for (const Cell& cell : kCells) {
    const BusyMachine busy(cell.busy);
    for (int run = 1; run <= cell.runs; ++run) {
      SCOPED_TRACE(std::string(cell.name) + ", run " + std::to_string(run));
      BoxConfig config;
      config.fault = cell.fault;
      config.store_ms = cell.store_ms;
      config.byte_time_ms = cell.store_ms > 0 ? 0.0868 : 0;
      const std::vector<uint8_t> body = RandomBytes(cell.body_size, 11);
      const std::string file = dir.Write("cell.sdf", MakeSdf(body));
      std::optional<BoxOnPty> box;
      box.emplace(config);

      ToolOptions options;
      double waiting_since = -1;
      if (cell.end == End::kWaits) {
        // A second after the body began the tool must still be waiting for the verdict.
        options.interrupt_when = [&](double seconds) {
          if (waiting_since < 0 && box->WaitForPhase(BoxPhase::kBody, 0)) {
            waiting_since = seconds;
          }
          return waiting_since >= 0 && seconds > waiting_since + 1.0;
        };
      }
      std::vector<std::string> args = {"2", file};
      if (cell.platform != nullptr) {
        args.insert(args.end(), {"--platform", cell.platform});
      }
      const ToolResult r = RunBoxload(args, options);
      const BoxSim& sim = box->Finish();
      const std::string out = Normalised(r.out);
      const std::string context = "\n--- tool ---\n" + r.out + r.err + "\n--- box ---\n" + box->Log();

      EXPECT_FALSE(r.timed_out) << context;
      EXPECT_GE(r.seconds, cell.min_seconds) << context;
      EXPECT_LT(r.seconds, cell.max_seconds) << context;
      // A dead port is never polled in a loop.
      EXPECT_LT(r.cpu_seconds, 0.5) << context;
      EXPECT_TRUE(box->tool_closed() || sim.hung_up()) << context;
      const bool refused_last = cell.fault.fault == BoxFault::kRefuse && cell.fault.point == BoxPoint::kFinal;
      EXPECT_EQ(r.err.find("boxload: the box refused the update at its last verdict\n") != std::string::npos,
                refused_last)
          << context;
      EXPECT_NE(r.err.find(cell.err), std::string::npos) << context;
      switch (cell.end) {
        case End::kUpdated:
          EXPECT_EQ(r.exit_code, 0) << context;
          EXPECT_EQ(sim.body(), body) << context;
          EXPECT_EQ(sim.image(), ReadFile(BOXLOAD_FIRMWARE_FILE)) << context;
          EXPECT_NE(out.find(cell.last_lines), std::string::npos) << context;
          break;
        case End::kFailed:
          EXPECT_EQ(r.exit_code, 1) << context;
          EXPECT_TRUE(out.ends_with(cell.last_lines + KeyPrompt())) << context;
          EXPECT_EQ(out.find("SW update status: OK"), std::string::npos) << context;
          break;
        case End::kWaits:
          EXPECT_GT(waiting_since, 0) << context;
          EXPECT_EQ(r.signal, SIGINT) << context;
          EXPECT_LT(r.seconds - r.interrupted_at, 1.0) << context;
          EXPECT_TRUE(out.ends_with(std::string(cell.last_lines) + "\nProcess aborted by user...\n")) << context;
          EXPECT_TRUE(box->tool_closed()) << context;
          break;
      }
    }
  }
}

}  // namespace
