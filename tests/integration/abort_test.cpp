// Ctrl+C at random moments of whole runs, in every phase: the abort line comes exactly once,
// after everything printed before it and last; the process ends killed by SIGINT within a
// second; the port and the terminal are left as they were found.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>
#include <random>

#include "integration/harness.h"

namespace {

constexpr int kRuns = 117;
const std::string kAbortLine = "\nProcess aborted by user...\n";

enum class Phase { kStart, kProbes, kImage, kCheckAndReady, kBody, kTextAndVerdicts, kPrompt, kKeyWait, kEnd };
constexpr Phase kPhases[] = {Phase::kStart,         Phase::kProbes,  Phase::kImage,
                             Phase::kCheckAndReady, Phase::kBody,    Phase::kTextAndVerdicts,
                             Phase::kPrompt,        Phase::kKeyWait, Phase::kEnd};

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kStart:
      return "start";
    case Phase::kProbes:
      return "probes";
    case Phase::kImage:
      return "image";
    case Phase::kCheckAndReady:
      return "file check and ready wait";
    case Phase::kBody:
      return "body";
    case Phase::kTextAndVerdicts:
      return "bootloader text and last verdicts";
    case Phase::kPrompt:
      return "moment the key prompt shows";
    case Phase::kKeyWait:
      return "key wait";
    case Phase::kEnd:
      return "moment a run without a terminal ends";
  }
  return "?";
}

bool SameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Whether out is where the text of a whole run may stand after a cut: a prefix of it, where an
// overall time ("S.MMM" in full) may show any digits, or be cut among them.
bool IsPrefixOfRun(const std::string& out, const std::string& full) {
  static const std::string kTime = "S.MMM";
  size_t i = 0;
  size_t j = 0;
  while (i < out.size()) {
    if (full.compare(j, kTime.size(), kTime) == 0) {
      while (i < out.size() && (std::isdigit(static_cast<unsigned char>(out[i])) != 0 || out[i] == '.')) {
        ++i;
      }
      j += kTime.size();
      continue;
    }
    if (j >= full.size() || out[i] != full[j]) {
      return false;
    }
    ++i;
    ++j;
  }
  return true;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// Nobody holds the port: an exclusive lock on it is granted at once.
bool PortIsFree() {
  const int fd = open(PortPath(2).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno == EBUSY;  // a pty in exclusive mode refuses a non-root open; that is no lock
  }
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

TEST(Abort, CtrlCAtRandomMomentsOfWholeRuns) {
  const char* seed_text = std::getenv("BOXLOAD_ABORT_SEED");
  const auto seed = seed_text != nullptr
                        ? static_cast<uint32_t>(std::strtoul(seed_text, nullptr, 10))
                        : static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  SCOPED_TRACE("BOXLOAD_ABORT_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);

  TempDir dir;
  // A long file whose check takes a moment; only the first 24 KB are sent.
  constexpr uint32_t kSent = 24 * 1024;
  std::vector<uint8_t> sdf = MakeSdf(RandomBytes(8 << 20, 31));
  SetDataLength(&sdf, kSent);
  const std::string file = dir.Write("long.sdf", sdf);
  std::string text;
  for (int i = 0; text.size() < 8000; ++i) {
    text += "erasing sector " + std::to_string(i) + "\r\n";
  }

  int aborted = 0;
  int per_phase[std::size(kPhases)] = {};
  for (int run = 0; run < kRuns; ++run) {
    const Phase phase = kPhases[run % std::size(kPhases)];
    // The prompt is seen the moment it is written only on a pipe.
    const bool to_file = phase != Phase::kPrompt && phase != Phase::kEnd && (run / std::size(kPhases)) % 2 == 1;
    // The key wait needs a terminal; the last verdicts are too short to hit without one.
    const bool with_terminal = phase == Phase::kKeyWait || phase == Phase::kPrompt ||
                               phase == Phase::kTextAndVerdicts || (phase != Phase::kEnd && run % 3 == 0);
    SCOPED_TRACE("run " + std::to_string(run) + ", Ctrl+C in the " + PhaseName(phase) + ", output to " +
                 (to_file ? "a file" : "a pipe") + (with_terminal ? ", with a terminal" : ""));

    BoxConfig config;
    config.byte_time_ms = 0.005;
    config.boot_delay_ms = 0;
    config.ready_delay_ms = 100;
    // data_crc32 covers the bytes after the 24 KB too, which never go: a box that checks the
    // body against it would refuse every run.
    config.check_body = false;
    if (phase == Phase::kProbes) {
      config.silent_probes = -1;
    }
    if (phase == Phase::kTextAndVerdicts || phase == Phase::kBody) {
      config.text = text;
    }
    std::optional<Terminal> terminal;
    termios mode_before{};
    ToolOptions options;
    options.timeout_ms = 5000;
    if (with_terminal) {
      terminal.emplace();
      mode_before = terminal->Mode();
      options.terminal = terminal->path();
    }
    if (to_file) {
      options.stdout_file = dir.path() + "/out.txt";
    }
    std::optional<BoxOnPty> box;
    box.emplace(config);

    // The moment: a random time after the phase began.
    const double spread[] = {0.004, 0.6, 0.05, 0.12, 0.1, 0.05, 0, 0.03, 0};
    const double delay = std::uniform_real_distribution<double>(0, spread[static_cast<int>(phase)])(random);
    double began = -1;
    options.interrupt_when = [&](double seconds) {
      if (began < 0) {
        bool now = false;
        switch (phase) {
          case Phase::kStart:
          case Phase::kProbes:
            now = true;
            break;
          case Phase::kImage:
            now = box->WaitForPhase(BoxPhase::kImage, 0);
            break;
          case Phase::kCheckAndReady:
            now = box->WaitForPhase(BoxPhase::kBootloader, 0);
            break;
          case Phase::kBody:
            now = box->WaitForPhase(BoxPhase::kBody, 0);
            break;
          case Phase::kTextAndVerdicts:
            now = box->WaitForPhase(BoxPhase::kFinished, 0);
            break;
          case Phase::kPrompt:
          case Phase::kEnd:
            break;  // interrupt_on_output below
          case Phase::kKeyWait:
            now = terminal->InKeyWait();
            break;
        }
        if (now) {
          began = seconds;
        }
      }
      return began >= 0 && seconds >= began + delay;
    };

    if (phase == Phase::kPrompt || phase == Phase::kEnd) {
      // As the key wait begins, its mode change races the abort; without a terminal, the
      // process is ending on its own.
      options.interrupt_on_output = "press any key";
    }
    const ToolResult r = RunBoxload({"2", file}, options);
    const BoxSim& sim = box->Finish();
    const std::string context = "\n--- tool ---\n" + r.out + r.err;

    ASSERT_GE(r.interrupted_at, 0) << "the run ended before Ctrl+C" << context;
    ASSERT_FALSE(r.timed_out) << context;
    if (phase == Phase::kEnd && r.exited) {
      // The run ended before the abort began: then it is a whole run, without an abort line.
      EXPECT_EQ(r.exit_code, 0) << context;
      EXPECT_EQ(Normalised(r.out), FirmwareStageText(config) + SoftwareStageText(kSent, config.text) + KeyPrompt())
          << context;
      if (HasFailure()) {
        break;
      }
      continue;
    }
    EXPECT_EQ(r.signal, SIGINT) << context;
    EXPECT_LT(r.seconds - r.interrupted_at, 1.0) << context;
    EXPECT_EQ(r.err.find("in use"), std::string::npos) << context;
    if (r.out.empty()) {
      // Only a signal that came before the tool could take it: nothing printed at all.
      EXPECT_EQ(phase, Phase::kStart) << context;
    } else {
      EXPECT_EQ(Count(r.out, "Process aborted by user"), 1u) << context;
      ASSERT_TRUE(r.out.ends_with(kAbortLine)) << context;
      const std::string before = r.out.substr(0, r.out.size() - kAbortLine.size());
      const std::string full = FirmwareStageText(config) + SoftwareStageText(kSent, config.text) + KeyPrompt();
      EXPECT_TRUE(IsPrefixOfRun(before, full)) << "lost or changed output" << context;
    }
    if (sim.probes_seen() > 0) {
      EXPECT_TRUE(box->tool_closed()) << "the box never saw the port closed" << context;
    }
    EXPECT_TRUE(PortIsFree()) << context;
    if (terminal) {
      const termios after = terminal->Mode();
      EXPECT_TRUE(SameMode(after, mode_before)) << "terminal mode changed: c_lflag " << std::hex << mode_before.c_lflag
                                                << " -> " << after.c_lflag << std::dec << context;
    }
    if (r.signal == SIGINT) {
      ++aborted;
      ++per_phase[static_cast<int>(phase)];
    }
    if (HasFailure()) {
      std::fprintf(stderr, "--- what the box saw ---\n%s", box->Log().c_str());
      break;
    }
  }
  EXPECT_GE(aborted, 100);
  for (size_t p = 0; p < std::size(kPhases); ++p) {
    std::printf("Ctrl+C in the %s: %d runs\n", PhaseName(kPhases[p]), per_phase[p]);
  }
}

}  // namespace
