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

// Runs tmux with args on a server of this test's own; returns its standard output.
std::string Tmux(const std::string& server, const std::vector<std::string>& args, int* status = nullptr) {
  std::vector<std::string> words = {"tmux", "-L", server, "-f", "/dev/null"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);
  // The pane's shell is sh, and no tmux the test itself may run in is reached.
  std::vector<std::string> env_text = {"SHELL=/bin/sh"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TMUX", 4) != 0 && std::strncmp(*e, "SHELL=", 6) != 0) {
      env_text.emplace_back(*e);
    }
  }
  std::vector<char*> env;
  for (std::string& e : env_text) {
    env.push_back(e.data());
  }
  env.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    return "";
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "tmux", &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  if (spawned == 0) {
    char chunk[4096];
    ssize_t n;
    while ((n = read(out[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
      text.append(chunk, n > 0 ? static_cast<size_t>(n) : 0);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (status != nullptr) {
      *status = st;
    }
  }
  close(out[0]);
  return text;
}

bool TmuxInstalled() { return access("/usr/bin/tmux", X_OK) == 0 || access("/usr/local/bin/tmux", X_OK) == 0; }

template <typename Check>
bool WaitFor(Check check, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!check()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string FileText(const std::string& path) {
  if (access(path.c_str(), R_OK) != 0) {
    return "";
  }
  const std::vector<uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

enum class Ending { kKeyPress, kCtrlCInStage, kSigtermInKeyWait, kCtrlCInKeyWait };

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
    for (const char* name : {"/before", "/after", "/status", "/pid"}) {
      unlink((d + name).c_str());
    }
    BoxConfig config;
    if (s.silent_box) {
      config.silent_probes = -1;
    }
    BoxOnPty box(config);
    // The outer shell survives the Ctrl+C (a trap, not an ignored signal, which the tool would
    // inherit); the inner one leaves its pid to the tool it becomes.
    const std::string command = "trap : INT; stty -g > " + d + "/before; sh -c 'echo $$ > " + d + "/pid; exec " + tool +
                                " 2 " + file + "'; echo $? > " + d + "/status; stty -g > " + d + "/after; sleep 60";
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
    }
    EXPECT_TRUE(WaitFor([&] { return !FileText(d + "/after").empty(); }, 5s)) << "the run did not end";
    EXPECT_EQ(FileText(d + "/status"), s.status);
    const std::string before = FileText(d + "/before");
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(FileText(d + "/after"), before);
    EXPECT_EQ(pane_shows("Process aborted by user..."), s.abort_line);
    if (tty >= 0) {
      close(tty);
    }
    Tmux(server, {"kill-server"});
    box.Finish();
  }
}

}  // namespace
