// startup_bench: time from exec to the usage line, for the tool run without arguments.
//
//   startup_bench RUNS TOOL
//
// Each run spawns the program with its standard output on a pipe and stops the clock when the
// usage line has come through. /bin/echo printing the same line is timed in alternation with
// the tool, as the floor that process creation alone sets on this machine.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "summary.h"

extern char** environ;

namespace {

constexpr const char* kUsageLine = "BOXLOAD <port#> <FileName>";

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Microseconds from the spawn to the usage line; -1 when the line never came or the program's
// exit status was not the expected one.
double TimeOnce(std::vector<char*> argv, int expected_status) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // No controlling terminal: nothing can wait for a key.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  argv.push_back(nullptr);

  const int64_t start = NowNs();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  close(pipe_fds[1]);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) {
    close(pipe_fds[0]);
    return -1;
  }
  std::string text;
  int64_t seen = -1;
  char buffer[512];
  for (;;) {
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    if (seen < 0 && text.find(kUsageLine) != std::string::npos) {
      seen = NowNs();
    }
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (seen < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != expected_status) {
    return -1;
  }
  return static_cast<double>(seen - start) / 1e3;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: startup_bench RUNS TOOL\n");
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  std::string tool = argv[2];
  std::string echo = "/bin/echo";
  std::string line = kUsageLine;
  std::vector<double> tool_us;
  std::vector<double> echo_us;
  for (int i = 0; i < runs; ++i) {
    // The tool without arguments prints its usage line and ends with status 2.
    const double t = TimeOnce({tool.data()}, 2);
    const double e = TimeOnce({echo.data(), line.data()}, 0);
    if (t < 0 || e < 0) {
      std::fprintf(stderr, "startup_bench: run %d: %s did not print its usage line as expected\n", i,
                   t < 0 ? tool.c_str() : echo.c_str());
      return 1;
    }
    tool_us.push_back(t);
    echo_us.push_back(e);
  }
  const double tool_median = Percentile(tool_us, 0.5);
  const double echo_median = Percentile(echo_us, 0.5);
  std::printf("  boxload:   median %.0f us (10%% %.0f us, 90%% %.0f us) over %d runs\n", tool_median,
              Percentile(tool_us, 0.1), Percentile(tool_us, 0.9), runs);
  std::printf("  /bin/echo: median %.0f us, the cost of starting any process here; boxload = %.2f x that\n",
              echo_median, tool_median / echo_median);
  SummaryRow("5. start-up, exec to usage line", "none set", "-", "%.2f ms median (%.2f x /bin/echo)", tool_median / 1e3,
             tool_median / echo_median);
  return 0;
}
