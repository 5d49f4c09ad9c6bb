// line_bench: one whole update of the real tool against the simulated box on a pseudo-terminal,
// timed part by part against the physical line.
//
//   line_bench --tool BOXLOAD --link PATH --port N --sdf FILE --out FILE
//              [--byte-us US] [--boot-delay-ms MS] [--latency-ms MS] [--timeout-s S]
//              [--report paced|unpaced|none] [-- WRAPPER...]
//
// The box runs here, on the pty's master side, so that every byte in and out has a timestamp
// of its own. Its clock is kept in microseconds: the machine is unit-agnostic, and whole
// milliseconds would add up to a millisecond of rounding to every exchange, which is more than
// the tool's own share. With --byte-us > 0 each byte takes that long on the line in either
// direction; with 0 the box answers at once. --latency-ms holds the box's bytes as a USB
// adapter's latency timer does (stbsim --latency-ms).
//
// A run that does not end in a complete, verified update (exit status 0, the body received
// byte for byte, no complaint from the box) is an error: no figures are printed for it.
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "stbsim/box_sim.h"
#include "stbsim/pty_box.h"
#include "summary.h"

namespace {

// 115,200 baud, 8N1: ten bit times per byte.
constexpr double kLineByteUs = 10.0 * 1e6 / 115200.0;
constexpr double kLineBytesPerSecond = 115200.0 / 10.0;
constexpr double kProbeTimeoutS = 0.5;
constexpr double kRatioTarget = 1.01;
constexpr double kCpuTargetPercent = 1.0;
constexpr long kRssTargetKiB = 4096;
constexpr double kHeadroomTarget = 50.0;
// The box looks without sleeping for this long before an answer is due.
constexpr int64_t kSpinNs = 300000;

struct Options {
  std::string tool;
  std::string link;
  std::string port = "2";
  std::string sdf;
  std::string out;
  double byte_us = kLineByteUs;
  uint32_t boot_delay_ms = 200;
  uint32_t latency_ms = 0;
  int timeout_s = 600;
  std::string report = "paced";
  std::vector<std::string> wrapper;
};

[[noreturn]] void Fail(const char* format, const char* detail) {
  std::fprintf(stderr, "line_bench: ");
  std::fprintf(stderr, format, detail);
  std::fprintf(stderr, "\n");
  std::exit(1);
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      o->wrapper.assign(argv + i + 1, argv + argc);
      break;
    }
    if (i + 1 >= argc) {
      return false;
    }
    const char* v = argv[++i];
    if (a == "--tool") {
      o->tool = v;
    } else if (a == "--link") {
      o->link = v;
    } else if (a == "--port") {
      o->port = v;
    } else if (a == "--sdf") {
      o->sdf = v;
    } else if (a == "--out") {
      o->out = v;
    } else if (a == "--byte-us") {
      o->byte_us = std::atof(v);
    } else if (a == "--boot-delay-ms") {
      o->boot_delay_ms = static_cast<uint32_t>(std::atoi(v));
    } else if (a == "--latency-ms") {
      o->latency_ms = static_cast<uint32_t>(std::atoi(v));
    } else if (a == "--timeout-s") {
      o->timeout_s = std::atoi(v);
    } else if (a == "--report") {
      o->report = v;
    } else {
      return false;
    }
  }
  return !o->tool.empty() && !o->link.empty() && !o->sdf.empty() && !o->out.empty();
}

std::vector<uint8_t> ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    Fail("cannot read %s", name.c_str());
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t StartTool(const Options& o) {
  std::vector<std::string> args = o.wrapper;
  args.push_back(o.tool);
  args.push_back(o.port);
  args.push_back(o.sdf);
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    Fail("fork: %s", std::strerror(errno));
  }
  if (pid == 0) {
    // A session of its own: no controlling terminal, so the final key wait ends at once.
    setsid();
    const int out = open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) {
      _exit(126);
    }
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// VmHWM of a live process in KiB; -1 once it is gone. The child's rusage cannot be used: Linux
// carries the peak of the forked copy of this program over the exec.
long PeakRssKiB(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) {
    return -1;
  }
  long kib = -1;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
      break;
    }
  }
  std::fclose(f);
  return kib;
}

// The parts of an update, in line order. A part starts with the first byte the tool sends in
// it and ends where the next part starts, so the tool's reaction to the last answer of a part
// is counted in that part and the parts add up to the whole.
enum Part { kCommands, kImage, kBootWait, kCheck, kSdfHeader, kBody, kPartCount };

const char* const kPartNames[kPartCount] = {
    "boot ROM commands (probe, reset, go)",
    "image (file header, 12 frames)",
    "boot wait (probes until the box is up)",
    "SDF check (local; ready signal meanwhile)",
    "SDF header and its verdict",
    "body (1 KB blocks, last two verdicts)",
};

struct PartStats {
  int64_t start_ns = -1;
  int64_t end_ns = -1;
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
  int64_t reaction_ns = 0;  // from an answer's write to the tool's next byte
  int64_t late_ns = 0;      // box side: writes later than their due time
  int64_t stall_ns = 0;     // the line idle inside a burst of the tool's bytes
  uint64_t exchanges = 0;
};

class Recorder {
 public:
  Recorder(int64_t origin_ns, double byte_us) : origin_ns_(origin_ns), byte_us_(byte_us) {}

  uint64_t Us(int64_t ns) const { return static_cast<uint64_t>((ns - origin_ns_) / 1000); }

  // A byte from the tool, seen while the box is in phase.
  void In(BoxPhase phase, int64_t now_ns) {
    const Part part = PartOfPhase(phase);
    const bool entering = parts_[current_].start_ns < 0 || part > current_;
    const double now_us = static_cast<double>(now_ns - origin_ns_) / 1e3;
    // The reaction is charged to the part whose wall time holds it: the one being left.
    if (awaiting_reaction_) {
      parts_[current_].reaction_ns += now_ns - last_write_ns_;
      ++parts_[current_].exchanges;
      awaiting_reaction_ = false;
    } else if (!entering && now_us > line_free_us_) {
      // Inside a burst the line went idle: the tool's bytes came slower than the line takes them.
      parts_[current_].stall_ns += static_cast<int64_t>((now_us - line_free_us_) * 1e3);
    }
    if (entering) {
      Enter(part, now_ns);
    }
    line_free_us_ = std::max(now_us, line_free_us_) + byte_us_;
    ++parts_[current_].bytes_in;
  }

  // Bytes from the box, due at due_us, written at now_ns.
  void Out(size_t count, uint64_t due_us, int64_t now_ns, BoxPhase phase) {
    PartStats& s = parts_[current_];
    s.bytes_out += count;
    const int64_t late = now_ns - (origin_ns_ + static_cast<int64_t>(due_us) * 1000);
    s.late_ns += std::max<int64_t>(late, 0);
    last_write_ns_ = now_ns;
    last_any_write_ns_ = now_ns;
    awaiting_reaction_ = true;
    // The boot wait ends with the last byte of the probe answer that the bootloader gives.
    if (current_ == kBootWait && phase != BoxPhase::kStarting) {
      answer_left_ -= std::min<size_t>(answer_left_, count);
      if (answer_left_ == 0) {
        Enter(kCheck, now_ns);
        awaiting_reaction_ = false;
      }
    }
  }

  void Finish() {
    parts_[current_].end_ns = last_any_write_ns_;
    awaiting_reaction_ = false;
  }

  const PartStats& part(int p) const { return parts_[p]; }

 private:
  static Part PartOfPhase(BoxPhase phase) {
    switch (phase) {
      case BoxPhase::kBootRom:
        return kCommands;
      case BoxPhase::kImage:
        return kImage;
      case BoxPhase::kStarting:
        return kBootWait;
      case BoxPhase::kBootloader:
        return kSdfHeader;
      default:
        return kBody;
    }
  }

  void Enter(Part part, int64_t now_ns) {
    if (parts_[current_].start_ns >= 0) {
      parts_[current_].end_ns = now_ns;
    }
    // A part that the exchange skipped (none in a good run) keeps no time.
    for (int p = current_ + 1; p < part; ++p) {
      parts_[p].start_ns = parts_[p].end_ns = now_ns;
    }
    current_ = part;
    parts_[part].start_ns = now_ns;
  }

  int64_t origin_ns_;
  double byte_us_;
  double line_free_us_ = 0;  // when the line from the tool is free again
  PartStats parts_[kPartCount];
  Part current_ = kCommands;
  int64_t last_write_ns_ = 0;
  int64_t last_any_write_ns_ = 0;
  bool awaiting_reaction_ = false;
  size_t answer_left_ = 13;  // A5 and the 12 platform bytes
};

struct RunResult {
  int status = -1;
  rusage usage{};
  double process_wall_s = 0;
  long peak_rss_kib = -1;
};

// Watches the tool while the box plays it: the time limit, a tool that ends before it sends a
// byte, and the tool's peak memory; hands every byte on the line to the recorder.
class Watch : public PtyBoxHook {
 public:
  Watch(const Options& o, const BoxSim& sim, Recorder* rec, pid_t pid, int64_t deadline_ns)
      : o_(o), sim_(sim), rec_(rec), pid_(pid), deadline_ns_(deadline_ns) {}

  void Turn(bool tool_seen) override {
    const int64_t now = MonotonicNs();
    if (now > deadline_ns_) {
      kill(pid_, SIGKILL);
      Fail("%s", "the update did not end in time; the tool was killed");
    }
    if (!tool_seen && now >= next_rss_ns_) {
      // A tool that ends before it sends anything (no port, no file) never hangs the pty up.
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        Fail("the tool ended before it sent a byte; its output is in %s", o_.out.c_str());
      }
    }
    if (now >= next_rss_ns_) {
      // The high-water mark only grows: the last reading before the exit is the peak.
      peak_rss_kib_ = std::max(peak_rss_kib_, PeakRssKiB(pid_));
      next_rss_ns_ = now + 100000000;
    }
  }

  void ToolByte(int64_t at_ns) override { rec_->In(sim_.phase(), at_ns); }

  void BoxWrote(size_t count, uint64_t first_due, int64_t at_ns) override {
    rec_->Out(count, first_due, at_ns, sim_.phase());
    BoxOutput out{};
    if (sim_.update_complete() && !sim_.PeekOutput(&out)) {
      peak_rss_kib_ = std::max(peak_rss_kib_, PeakRssKiB(pid_));
    }
  }

  long peak_rss_kib() const { return peak_rss_kib_; }

 private:
  const Options& o_;
  const BoxSim& sim_;
  Recorder* rec_;
  pid_t pid_;
  int64_t deadline_ns_;
  int64_t next_rss_ns_ = 0;
  long peak_rss_kib_ = -1;
};

// Plays the box until the tool closes the port, then reaps the tool.
RunResult Run(const Options& o, BoxSim* sim, Recorder* rec, int64_t origin_ns) {
  PtyBox box(sim, o.link);
  // Box time in microseconds from origin_ns (see the top of the file).
  box.set_clock(PtyClock{1000, origin_ns, kSpinNs});
  box.set_latency_ms(o.latency_ms);
  if (!box.Open()) {
    Fail("%s", "cannot make a pseudo-terminal for the port");
  }
  const int64_t spawned_ns = MonotonicNs();
  const pid_t pid = StartTool(o);
  Watch watch(o, *sim, rec, pid, spawned_ns + static_cast<int64_t>(o.timeout_s) * 1000000000);
  box.set_hook(&watch);
  box.Run(nullptr);
  if (sim->hung_up()) {
    Fail("%s", "the box hung up");
  }
  if (!box.tool_closed()) {
    Fail("%s", "the box's pseudo-terminal failed");
  }
  rec->Finish();
  RunResult result;
  result.peak_rss_kib = watch.peak_rss_kib();
  int status = 0;
  wait4(pid, &status, 0, &result.usage);
  result.process_wall_s = static_cast<double>(MonotonicNs() - spawned_ns) / 1e9;
  result.status = status;
  return result;
}

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }
double UserSeconds(const rusage& u) { return static_cast<double>(u.ru_utime.tv_sec) + u.ru_utime.tv_usec / 1e6; }
double SystemSeconds(const rusage& u) { return static_cast<double>(u.ru_stime.tv_sec) + u.ru_stime.tv_usec / 1e6; }

// Checks that the run is a complete, correct update; reports what is wrong otherwise.
bool Verify(const BoxSim& sim, const RunResult& r, const std::vector<uint8_t>& sdf, const std::string& out_text) {
  bool ok = true;
  if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0) {
    std::fprintf(stderr, "line_bench: the tool did not end with status 0 (wait status %d)\n", r.status);
    ok = false;
  }
  if (!sim.update_complete()) {
    std::fprintf(stderr, "line_bench: the box did not complete the update\n");
    ok = false;
  }
  for (const std::string& c : sim.complaints()) {
    std::fprintf(stderr, "line_bench: the box complained: %s\n", c.c_str());
    ok = false;
  }
  const std::vector<uint8_t> body(sdf.begin() + 20, sdf.end());
  if (sim.body() != body) {
    std::fprintf(stderr, "line_bench: the body the box received (%zu bytes) differs from the file's (%zu bytes)\n",
                 sim.body().size(), body.size());
    ok = false;
  }
  if (out_text.find("SW update status: OK") == std::string::npos) {
    std::fprintf(stderr, "line_bench: the tool did not report \"SW update status: OK\"\n");
    ok = false;
  }
  return ok;
}

std::string ToolClockLine(const std::string& text, const char* what) {
  const size_t at = text.find(what);
  if (at == std::string::npos) {
    return "?";
  }
  const size_t open = text.find("time: ", at);
  const size_t close = text.find("(seconds)", at);
  if (open == std::string::npos || close == std::string::npos) {
    return "?";
  }
  return text.substr(open + 6, close - open - 6);
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

void ReportPaced(const Recorder& rec, const RunResult& r, const std::string& out_text, double byte_us) {
  const double byte_s = byte_us / 1e6;
  std::printf("  %-42s %10s %9s %9s %7s  %s\n", "part", "bytes", "wall s", "line s", "ratio", "target");
  int64_t transfer_ns = 0;
  double transfer_line_s = 0;
  int64_t excess_reaction_ns = 0;
  int64_t excess_late_ns = 0;
  int64_t excess_stall_ns = 0;
  uint64_t exchanges = 0;
  int64_t whole_ns = 0;
  for (int p = 0; p < kPartCount; ++p) {
    const PartStats& s = rec.part(p);
    const uint64_t bytes = s.bytes_in + s.bytes_out;
    const int64_t wall_ns = s.end_ns - s.start_ns;
    const double wall_s = Seconds(wall_ns);
    const double line_s = static_cast<double>(bytes) * byte_s;
    whole_ns += wall_ns;
    if (p == kCheck) {
      std::printf("  %-42s %10llu %9.4f %9s %7s  local work: apart\n", kPartNames[p],
                  static_cast<unsigned long long>(bytes), wall_s, "-", "-");
      continue;
    }
    if (p == kBootWait) {
      // Every probe but the last went unanswered: the box was still starting the image.
      const uint64_t probes = s.bytes_in / 5;
      const uint64_t timeouts = probes > 0 ? probes - 1 : 0;
      const double expected_s = static_cast<double>(timeouts) * kProbeTimeoutS + 18 * byte_s;
      std::printf("  %-42s %10llu %9.4f %9.4f %7.4f  protocol wait: %llu x 500 ms probe time-out + line\n",
                  kPartNames[p], static_cast<unsigned long long>(bytes), wall_s, expected_s, wall_s / expected_s,
                  static_cast<unsigned long long>(timeouts));
      SummaryRow("1. protocol wait after the image", "reported apart", "-", "%.3f s = %llu probe time-out(s) + %.1f ms",
                 wall_s, static_cast<unsigned long long>(timeouts),
                 (wall_s - static_cast<double>(timeouts) * kProbeTimeoutS) * 1e3);
      continue;
    }
    transfer_ns += wall_ns;
    transfer_line_s += line_s;
    excess_reaction_ns += s.reaction_ns;
    excess_late_ns += s.late_ns;
    excess_stall_ns += s.stall_ns;
    exchanges += s.exchanges;
    const double ratio = wall_s / line_s;
    if (p == kImage || p == kBody) {
      std::printf("  %-42s %10llu %9.4f %9.4f %7.4f  <= %.2f %s\n", kPartNames[p],
                  static_cast<unsigned long long>(bytes), wall_s, line_s, ratio, kRatioTarget,
                  Verdict(ratio <= kRatioTarget));
      SummaryRow(p == kImage ? "1. wall / line time, image" : "1. wall / line time, body", "<= 1.01",
                 Verdict(ratio <= kRatioTarget), "%.4f (%.3f s / %.3f s)", ratio, wall_s, line_s);
    } else {
      std::printf("  %-42s %10llu %9.4f %9.4f %7.4f  (%llu short exchanges; counted in the total below)\n",
                  kPartNames[p], static_cast<unsigned long long>(bytes), wall_s, line_s, ratio,
                  static_cast<unsigned long long>(s.exchanges));
    }
  }
  const double transfer_s = Seconds(transfer_ns);
  const double ratio = transfer_s / transfer_line_s;
  std::printf("  %-42s %10s %9.4f %9.4f %7.4f  <= %.2f %s\n", "all transfer parts together", "", transfer_s,
              transfer_line_s, ratio, kRatioTarget, Verdict(ratio <= kRatioTarget));
  SummaryRow("1. wall / line time, all transfer parts", "<= 1.01", Verdict(ratio <= kRatioTarget),
             "%.4f (%.3f s / %.3f s)", ratio, transfer_s, transfer_line_s);
  std::printf("  %-42s %10s %9.4f\n", "whole update (first byte to last verdict)", "", Seconds(whole_ns));
  // Where the time over the line went, part by part.
  std::printf("\n  over the line, ms: %-22s %8s %8s %9s %9s %9s %9s\n", "", "total", "answers", "reaction", "us each",
              "behind", "box late");
  for (int p = 0; p < kPartCount; ++p) {
    if (p == kCheck || p == kBootWait) {
      continue;
    }
    const PartStats& s = rec.part(p);
    const double over_ms =
        (Seconds(s.end_ns - s.start_ns) - static_cast<double>(s.bytes_in + s.bytes_out) * byte_s) * 1e3;
    std::printf("  %-41s %8.1f %8llu %9.1f %9.1f %9.1f %9.1f\n", kPartNames[p], over_ms,
                static_cast<unsigned long long>(s.exchanges), Seconds(s.reaction_ns) * 1e3,
                s.exchanges > 0 ? Seconds(s.reaction_ns) * 1e6 / static_cast<double>(s.exchanges) : 0.0,
                Seconds(s.stall_ns) * 1e3, Seconds(s.late_ns) * 1e3);
  }
  std::printf("  %-41s %8.1f %8llu %9.1f %9.1f %9.1f %9.1f\n", "all transfer parts",
              (transfer_s - transfer_line_s) * 1e3, static_cast<unsigned long long>(exchanges),
              Seconds(excess_reaction_ns) * 1e3,
              exchanges > 0 ? Seconds(excess_reaction_ns) * 1e6 / static_cast<double>(exchanges) : 0.0,
              Seconds(excess_stall_ns) * 1e3, Seconds(excess_late_ns) * 1e3);
  std::printf(
      "  reaction: from the box's answer to the tool's next byte (both pty hops, the tool's wake-up and its\n"
      "  next block); behind: the line idle inside a burst of the tool's bytes, because the tool or the pty\n"
      "  carrying its writes fell behind the line; box late: the simulated box's answers later than due\n");
  std::printf("  the tool's own clock: firmware stage %s s, software stage %s s\n",
              ToolClockLine(out_text, "Firmware update status").c_str(),
              ToolClockLine(out_text, "SW update status").c_str());

  const double user_s = UserSeconds(r.usage);
  const double sys_s = SystemSeconds(r.usage);
  const double cpu_percent = 100.0 * (user_s + sys_s) / r.process_wall_s;
  std::printf("\nCPU of the tool over the paced run\n");
  std::printf("  user %.3f s + system %.3f s over %.3f s wall = %.3f %%   target < %.0f %%  %s\n", user_s, sys_s,
              r.process_wall_s, cpu_percent, kCpuTargetPercent, Verdict(cpu_percent < kCpuTargetPercent));
  SummaryRow("2. CPU (user + system) / wall, paced", "< 1 %", Verdict(cpu_percent < kCpuTargetPercent),
             "%.2f %% (%.2f s / %.1f s)", cpu_percent, user_s + sys_s, r.process_wall_s);
  std::printf("\nMemory of the tool\n");
  std::printf("  peak resident set (VmHWM) %ld KiB = %.2f MiB   target < 4 MiB  %s\n", r.peak_rss_kib,
              static_cast<double>(r.peak_rss_kib) / 1024.0,
              Verdict(r.peak_rss_kib > 0 && r.peak_rss_kib < kRssTargetKiB));
  SummaryRow("3. peak resident set", "< 4 MiB", Verdict(r.peak_rss_kib > 0 && r.peak_rss_kib < kRssTargetKiB),
             "%.2f MiB", static_cast<double>(r.peak_rss_kib) / 1024.0);
}

void ReportUnpaced(const Recorder& rec, const RunResult& r) {
  uint64_t bytes = 0;
  int64_t wall_ns = 0;
  uint64_t body_bytes = 0;
  int64_t body_ns = 0;
  for (int p = 0; p < kPartCount; ++p) {
    const PartStats& s = rec.part(p);
    bytes += s.bytes_in + s.bytes_out;
    wall_ns += s.end_ns - s.start_ns;
    if (p == kBody) {
      body_bytes = s.bytes_in + s.bytes_out;
      body_ns = s.end_ns - s.start_ns;
    }
  }
  const double rate = static_cast<double>(bytes) / Seconds(wall_ns);
  const double body_rate = static_cast<double>(body_bytes) / Seconds(body_ns);
  std::printf("  whole update: %llu bytes in %.3f s = %.0f B/s = %.1f x the line   target >= %.0f x  %s\n",
              static_cast<unsigned long long>(bytes), Seconds(wall_ns), rate, rate / kLineBytesPerSecond,
              kHeadroomTarget, Verdict(rate / kLineBytesPerSecond >= kHeadroomTarget));
  SummaryRow("4. headroom, unpaced over a pty", ">= 50 x", Verdict(rate / kLineBytesPerSecond >= kHeadroomTarget),
             "%.1f x the line (%.0f B/s)", rate / kLineBytesPerSecond, rate);
  std::printf("  body alone:   %llu bytes in %.3f s = %.0f B/s = %.1f x the line\n",
              static_cast<unsigned long long>(body_bytes), Seconds(body_ns), body_rate,
              body_rate / kLineBytesPerSecond);
  std::printf("  the tool meanwhile: CPU user %.3f s + system %.3f s over %.3f s wall; peak resident set %ld KiB\n",
              UserSeconds(r.usage), SystemSeconds(r.usage), r.process_wall_s, r.peak_rss_kib);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: line_bench --tool BOXLOAD --link PATH [--port N] --sdf FILE --out FILE [--byte-us US]\n"
                 "                  [--boot-delay-ms MS] [--latency-ms MS] [--timeout-s S] [--report paced|unpaced|none]"
                 " [-- WRAPPER...]\n");
    return 2;
  }
  // Wake-ups on time to the microsecond: the default slack of 50 us would be charged to the tool.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  // A real box answers within microseconds whatever else the computer does: the simulated one
  // goes ahead of other programs when it may. The tool, forked from here, runs as usual.
  sched_param rt{};
  rt.sched_priority = 1;
  const bool realtime = sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &rt) == 0;
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<uint8_t> sdf = ReadWholeFile(o.sdf);
  if (sdf.size() < 20) {
    Fail("%s is not an SDF file", o.sdf.c_str());
  }

  BoxConfig config;
  // Microseconds throughout (see the top of the file).
  config.byte_time_ms = o.byte_us;
  config.boot_delay_ms = o.boot_delay_ms * 1000;
  config.ready_delay_ms = 0;
  BoxSim sim(config);
  const int64_t origin = MonotonicNs();
  Recorder rec(origin, o.byte_us);
  const RunResult r = Run(o, &sim, &rec, origin);

  const std::vector<uint8_t> out_bytes = ReadWholeFile(o.out);
  const std::string out_text(out_bytes.begin(), out_bytes.end());
  if (!Verify(sim, r, sdf, out_text)) {
    return 1;
  }
  if (o.report != "none" && !realtime) {
    std::printf("  (the simulated box runs at normal priority: its lateness may be larger on a busy machine)\n");
  }
  if (o.report == "paced") {
    ReportPaced(rec, r, out_text, o.byte_us);
  } else if (o.report == "unpaced") {
    ReportUnpaced(rec, r);
  }
  return 0;
}
