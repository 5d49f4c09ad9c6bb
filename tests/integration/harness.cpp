#include "integration/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "sdf/sdf.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

std::string PortPath(int port_number) { return BOXLOAD_PORT_PREFIX + std::to_string(port_number - 1); }

BoxOnPty::BoxOnPty(const BoxConfig& config, const std::string& link_path, uint32_t latency_ms)
    : log_(std::tmpfile()), sim_(config, log_), pty_(&sim_, link_path) {
  if (log_ != nullptr) {
    fcntl(fileno(log_), F_SETFD, FD_CLOEXEC);  // not for the tool to inherit
  }
  pty_.set_latency_ms(latency_ms);
  if (!pty_.Open()) {
    ADD_FAILURE() << "the simulated box cannot open its pty";
    done_ = true;
    return;
  }
  thread_ = std::thread([this] {
    pty_.Run(&stop_);
    tool_closed_ = pty_.tool_closed();
    done_ = true;
  });
}

BoxOnPty::~BoxOnPty() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  if (log_ != nullptr) {
    std::fclose(log_);
  }
}

bool BoxOnPty::WaitForPhase(BoxPhase phase, int timeout_ms) const {
  const auto start = Clock::now();
  while (sim_.phase() != phase) {
    if (SecondsSince(start) * 1000 > timeout_ms) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

const BoxSim& BoxOnPty::Finish(double wait_seconds) {
  // The tool has ended when this is called: its close reaches the box at once.
  const auto start = Clock::now();
  while (!done_ && SecondsSince(start) < wait_seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  return sim_;
}

std::string BoxOnPty::Log() {
  std::string text;
  if (log_ == nullptr) {
    return text;
  }
  std::fflush(log_);
  std::rewind(log_);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, log_)) > 0) {
    text.append(chunk, n);
  }
  std::fseek(log_, 0, SEEK_END);
  return text;
}

ToolResult RunBoxload(const std::vector<std::string>& args, const ToolOptions& options) {
  ToolResult result;
  const std::string program = std::string(BOXLOAD_BIN_DIR) + "/" + options.program;
  std::vector<char*> argv;
  for (const std::string& word : options.prefix) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const bool to_file = !options.stdout_file.empty();

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.terminal.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  } else {
    // Opened after setsid() and without O_NOCTTY: it becomes the controlling terminal.
    posix_spawn_file_actions_addopen(&actions, 0, options.terminal.c_str(), O_RDWR, 0);
  }
  if (to_file) {
    posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: no controlling terminal, so the final key wait is skipped. Signals
  // as a shell would leave them, whatever the test runner did to its own.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const auto start = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (to_file) {
    close(out_pipe[0]);
  }
  if (spawned != 0) {
    ADD_FAILURE() << argv[0] << ": " << std::strerror(spawned);
    if (!to_file) {
      close(out_pipe[0]);
    }
    close(err_pipe[0]);
    return result;
  }

  pollfd fds[2] = {{to_file ? -1 : out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  bool interrupted = false;
  int open_pipes = to_file ? 1 : 2;
  while (open_pipes > 0) {
    const double seconds = SecondsSince(start);
    if (seconds * 1000 > options.timeout_ms && !result.timed_out) {
      kill(pid, SIGKILL);
      result.timed_out = true;
    }
    if (!interrupted && options.interrupt_when && options.interrupt_when(seconds)) {
      result.interrupted_at = SecondsSince(start);
      kill(pid, options.interrupt_signal);
      interrupted = true;
    }
    if (poll(fds, 2, 10) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char chunk[4096];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
        if (!interrupted && i == 0 && !options.interrupt_on_output.empty() &&
            result.out.find(options.interrupt_on_output) != std::string::npos) {
          result.interrupted_at = SecondsSince(start);
          kill(pid, options.interrupt_signal);
          interrupted = true;
        }
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.seconds = SecondsSince(start);
  result.exited = WIFEXITED(status);
  result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (to_file) {
    const std::vector<uint8_t> bytes = ReadFile(options.stdout_file);
    result.out.assign(bytes.begin(), bytes.end());
  }
  return result;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "boxload-it-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  std::string file = path_ + "/" + name;
  std::FILE* f = std::fopen(file.c_str(), "wb");
  EXPECT_NE(f, nullptr) << file;
  if (f != nullptr) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
  }
  return file;
}

void SetDataLength(std::vector<uint8_t>* sdf, uint32_t data_length) {
  WriteLe32(sdf->data() + kSdfDataLengthOffset, data_length);
  uint32_t crc = 0;
  Crc32Update(sdf->data(), &crc, kSdfHeaderCrcSpan);
  WriteLe32(sdf->data() + kSdfHeaderCrcOffset, crc);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    ADD_FAILURE() << "cannot read " << path;
    return bytes;
  }
  uint8_t chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  std::fclose(f);
  return bytes;
}

std::string Banner() { return "KMV-7720P FW update utility[ver 0.1,May 9 1945]\n"; }

std::string ProbeAnswerLine(const BoxConfig& config) {
  std::string line = "STB response: A5 ";
  char value[8];
  for (const uint8_t b : config.platform_id) {
    std::snprintf(value, sizeof value, "%X ", b);
    line += value;
  }
  return line + "\n";
}

std::string FirmwareStageText(const BoxConfig& config) {
  const bool repair = config.repair_first != 0;
  std::string text = Banner() + "Send 'GetPlatformID' and waiting STB response\n";
  if (repair) {
    // No reset exchange: the reply buffer keeps its initial zeros.
    text += "STB: REPAIR_MODE\nSendResetCommand: STB response 0,0\n";
  } else {
    char line[64];
    const auto& reply = config.reset_reply;
    std::snprintf(line, sizeof line, "SendResetCommand: STB response %X,%X\n",
                  reply.size() >= 2 ? reply[reply.size() - 2] : 0, reply.back());
    text += ProbeAnswerLine(config) + line;
  }
  text += "SendFileHeader...\nSendFile...\n";
  for (int k = 0; k <= 11; ++k) {
    text += "SendFile: " + std::to_string(k) + "(Kb)\r";
    if (k == config.odd_frame) {
      char line[64];
      const uint8_t b = config.odd_frame_answer;
      const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
      std::snprintf(line, sizeof line, "SendBytes: bad response(0x09 or 0x0A) %X(%c)\n", b, letter ? b : '.');
      text += line;
    }
  }
  // After the image the bootloader answers as the boot ROM did (a repair box: with A5 too).
  return text + "\nWaiting STB response\n" + ProbeAnswerLine(config) +
         "\nFirmware update status: OK, [overall time: S.MMM(seconds)]\n";
}

std::string SoftwareStageText(uint32_t data_length, const std::string& text_after_last) {
  std::string text =
      "do_upload_firmware()\nCheck SDF file... OK\nSendFileHeader... Wait For STB ready\n"
      "Remote BootLoader is ready\nwait STB response:\nOK\nSendSDFFile... \n";
  const uint32_t whole = data_length / 1024;
  for (uint32_t k = 0; k < whole; ++k) {
    text += "Send " + std::to_string(k) + "Kb\r";
  }
  if (data_length % 1024 != 0) {
    text += "Send " + std::to_string(whole) + "Kb\r";
  }
  text += "Send " + std::to_string(whole) + "Kb\r\n";
  return text + text_after_last + "OK\n\nSW update status: OK, [overall time: S.MMM(seconds)]\n";
}

std::string KeyPrompt() { return "press any key for terminate programm...\n"; }

std::string Normalised(const std::string& out) {
  static const std::regex kTime(R"(\[overall time: [0-9]+\.[0-9]{3}\(seconds\)\])");
  return std::regex_replace(out, kTime, "[overall time: S.MMM(seconds)]");
}

Terminal::Terminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "no pty: " << std::strerror(errno);
    return;
  }
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

Terminal::~Terminal() {
  if (slave_ >= 0) {
    close(slave_);
  }
  if (master_ >= 0) {
    close(master_);
  }
}

termios Terminal::Mode() const {
  termios mode{};
  tcgetattr(slave_, &mode);
  return mode;
}

std::string Tmux(const std::string& server, const std::vector<std::string>& args, int* status) {
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

std::string FileText(const std::string& path) {
  if (access(path.c_str(), R_OK) != 0) {
    return "";
  }
  const std::vector<uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}
