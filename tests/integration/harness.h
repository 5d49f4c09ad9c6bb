// The integration bench: the real boxload binary against the simulated box on a pseudo-terminal.
//
//   BoxOnPty box(config, link_path, latency_ms)
//                             a BoxSim behind a pty linked at the device of port 2 (or at the
//                             path given), served on a thread until the tool closes the port
//                             (or the box hangs up); latency_ms > 0 holds its bytes as a USB
//                             adapter's latency timer does
//   RunBoxload(args, opts)    runs bin/boxload (or opts.program) in a session of its own (no
//                             controlling terminal unless opts gives one, so the final key
//                             wait is skipped) and
//                             collects what it printed
//   ExpectedRun / Normalised  the console text of a whole update, with the two overall times
//                             written as "S.MMM"
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stbsim/box_sim.h"
#include "stbsim/pty_box.h"
#include "support/sdf_files.h"  // MakeSdf, RandomBytes

// The device that "com2" opens.
std::string PortPath(int port_number);

class BoxOnPty {
 public:
  explicit BoxOnPty(const BoxConfig& config, const std::string& link_path = PortPath(2), uint32_t latency_ms = 0);
  ~BoxOnPty();
  BoxOnPty(const BoxOnPty&) = delete;
  BoxOnPty& operator=(const BoxOnPty&) = delete;

  // Safe while the box runs.
  bool WaitForPhase(BoxPhase phase, int timeout_ms) const;
  // Ends the session (waiting up to wait_seconds for the tool's close; none for a tool that
  // never opened the port) and hands over the box: only then may its state be read.
  const BoxSim& Finish(double wait_seconds = 3);
  // What the box logged, for failure reports.
  std::string Log();
  bool tool_closed() const { return tool_closed_; }

 private:
  std::FILE* log_;
  BoxSim sim_;
  PtyBox pty_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  bool tool_closed_ = false;
  std::thread thread_;
};

struct ToolResult {
  std::string out;
  std::string err;
  bool exited = false;  // ended by exit(), with exit_code
  int exit_code = -1;
  int signal = 0;  // or killed by this signal
  bool timed_out = false;
  double seconds = 0;
  double interrupted_at = -1;  // when the interrupt signal was sent, if it was
  double cpu_seconds = 0;      // user and system time the tool used
};

// A pseudo-terminal for the tool to take as its controlling terminal. The test keeps the
// master and a slave descriptor of its own, to read the mode the tool leaves.
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  const std::string& path() const { return path_; }
  termios Mode() const;
  // The key wait has begun when line input is off.
  bool InKeyWait() const { return (Mode().c_lflag & ICANON) == 0; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

struct ToolOptions {
  int timeout_ms = 12000;  // then it is killed and timed_out set
  // Checked every few ms while the tool runs; interrupt_signal goes to the tool when it
  // returns true.
  std::function<bool(double seconds)> interrupt_when;
  int interrupt_signal = SIGINT;
  // Or at once when standard output (a pipe) shows this text.
  std::string interrupt_on_output;
  // Standard output into this file instead of a pipe (read back into ToolResult::out).
  std::string stdout_file;
  // A terminal (the slave of a pty) as standard input and controlling terminal, so that the
  // final key wait happens; empty: no terminal, the wait is skipped.
  std::string terminal;
  // A command that runs the tool, such as a privilege dropper: prefix[0] is executed with the
  // rest of prefix, then the tool's path and arguments.
  std::vector<std::string> prefix;
  // Another program of the build (boxstation).
  std::string program = "boxload";
};

// tmux on a server of the test's own (-L server, no configuration, the pane's shell sh): its
// standard output, and its wait status in status.
std::string Tmux(const std::string& server, const std::vector<std::string>& args, int* status = nullptr);
bool TmuxInstalled();
// A file's text, "" when it cannot be read.
std::string FileText(const std::string& path);

// Polls check every 20 ms until it holds (true) or limit has passed (false).
template <typename Check>
bool WaitFor(Check check, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!check()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

ToolResult RunBoxload(const std::vector<std::string>& args, const ToolOptions& options = {});

// A directory of its own for the test's files, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Rewrites data_length and header_crc32 to match (the data CRC stays as it was).
void SetDataLength(std::vector<uint8_t>* sdf, uint32_t data_length);
std::vector<uint8_t> ReadFile(const std::string& path);

// Console text.
std::string Banner();
std::string ProbeAnswerLine(const BoxConfig& config);
// Banner to the firmware stage's overall-time line, for a box answering as config says.
std::string FirmwareStageText(const BoxConfig& config);
// From "do_upload_firmware()" to the software stage's overall-time line.
std::string SoftwareStageText(uint32_t data_length, const std::string& text_after_last = "");
std::string KeyPrompt();
// The overall times replaced by "S.MMM" (a time without three millisecond digits stays as is).
std::string Normalised(const std::string& out);
