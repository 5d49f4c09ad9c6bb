// The tool on a real terminal (a tmux pane): whatever way the run ends, the terminal's mode
// (stty -g) afterwards is the one it had before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "integration/harness.h"

namespace {

using namespace std::chrono_literals;

// kOwnTerminalNamed: the pane's own tty named as the port, with no standard descriptor on it.
enum class Ending { kKeyPress, kCtrlCInStage, kSigtermInKeyWait, kCtrlCInKeyWait, kOwnTerminalNamed };

struct Scenario {
  const char* name;
  Ending ending;
  bool silent_box;
  const char* status;  // as the pane's shell reports it
  bool abort_line;
};

TEST(Terminal, TheModeIsTheSameAfterTheRunHoweverItEnds) {
  if (!TmuxInstalled()) {
    GTEST_SKIP() << "tmux is not installed (scripts/deps installs it)";
  }
  const Scenario scenarios[] = {
      {"a key ends the final wait", Ending::kKeyPress, false, "0\n", false},
      {"Ctrl+C during a stage", Ending::kCtrlCInStage, true, "130\n", true},
      {"SIGTERM during the key wait", Ending::kSigtermInKeyWait, false, "143\n", true},
      {"Ctrl+C during the key wait is a key", Ending::kCtrlCInKeyWait, false, "0\n", false},
      {"the terminal under its own name as the port", Ending::kOwnTerminalNamed, false, "1\n", false},
  };
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf(RandomBytes(2000, 41)));
  const std::string tool = std::string(BOXLOAD_BIN_DIR) + "/boxload";

  int round = 0;
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    // A server of its own each time: the last one may still be going away.
    const std::string server = "boxload-test-" + std::to_string(getpid()) + "-" + std::to_string(round++);
    const std::string d = dir.path();
    for (const char* name : {"/before", "/after", "/status", "/pid", "/err"}) {
      unlink((d + name).c_str());
    }
    BoxConfig config;
    if (s.silent_box) {
      config.silent_probes = -1;
    }
    BoxOnPty box(config);
    // The outer shell survives the Ctrl+C (a trap, not an ignored signal, which the tool would
    // inherit); the inner one leaves its pid to the tool it becomes.
    const std::string run = s.ending == Ending::kOwnTerminalNamed
                                ? tool + " $(tty) " + file + " </dev/null >/dev/null 2>" + d + "/err"
                                : tool + " 2 " + file;
    const std::string command = "trap : INT; stty -g > " + d + "/before; sh -c 'echo $$ > " + d + "/pid; exec " + run +
                                "'; echo $? > " + d + "/status; stty -g > " + d + "/after; sleep 60";
    int status = 0;
    Tmux(server, {"new-session", "-d", "-s", "t", "-x", "120", "-y", "40", command}, &status);
    ASSERT_EQ(status, 0) << "tmux did not start";
    const std::string pane_tty = Tmux(server, {"display-message", "-p", "-t", "t", "#{pane_tty}"});
    const int tty = open(pane_tty.substr(0, pane_tty.find('\n')).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(tty, 0) << pane_tty;
    auto in_key_wait = [&] {
      termios mode{};
      return tcgetattr(tty, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
    };
    auto pane_shows = [&](const std::string& text) {
      return Tmux(server, {"capture-pane", "-p", "-t", "t"}).find(text) != std::string::npos;
    };

    switch (s.ending) {
      case Ending::kKeyPress:
        ASSERT_TRUE(WaitFor(in_key_wait, 10s));
        Tmux(server, {"send-keys", "-t", "t", "x"});
        break;
      case Ending::kCtrlCInStage:
        ASSERT_TRUE(WaitFor([&] { return pane_shows("waiting STB response"); }, 10s));
        std::this_thread::sleep_for(300ms);  // into the probes
        Tmux(server, {"send-keys", "-t", "t", "C-c"});
        break;
      case Ending::kSigtermInKeyWait: {
        ASSERT_TRUE(WaitFor(in_key_wait, 10s));
        const pid_t pid = std::stoi(FileText(d + "/pid"));
        ASSERT_GT(pid, 1);
        kill(pid, SIGTERM);
        break;
      }
      case Ending::kCtrlCInKeyWait:
        ASSERT_TRUE(WaitFor(in_key_wait, 10s));
        Tmux(server, {"send-keys", "-t", "t", "C-c"});
        break;
      case Ending::kOwnTerminalNamed:
        break;  // refused at once
    }
    EXPECT_TRUE(WaitFor([&] { return !FileText(d + "/after").empty(); }, 5s)) << "the run did not end";
    EXPECT_EQ(FileText(d + "/status"), s.status);
    const std::string before = FileText(d + "/before");
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(FileText(d + "/after"), before);
    EXPECT_EQ(pane_shows("Process aborted by user..."), s.abort_line);
    if (s.ending == Ending::kOwnTerminalNamed) {
      EXPECT_NE(FileText(d + "/err").find(": that is the terminal boxload runs in, not the box's port"),
                std::string::npos)
          << FileText(d + "/err");
    }
    if (tty >= 0) {
      close(tty);
    }
    Tmux(server, {"kill-server"});
    box.Finish();
  }
}

}  // namespace
