// The station's room on POSIX: fork and exec, a session per child, signals as flags.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "station/station_proc.h"

namespace {

volatile sig_atomic_t g_stop_signal = 0;
bool g_keys_on = false;
bool g_terminal_mode_changed = false;
termios g_saved_terminal{};

void OnStopSignal(int sig) {
  if (g_stop_signal == 0) {
    g_stop_signal = sig;
  }
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, const char* const* argv, const char* out_path, const char* err_path,
                            pid_t parent) {
  // A session of its own: no controlling terminal, so boxload's final key wait finds no console
  // and returns at once, and the operator's Ctrl+C reaches the station alone.
  (void)setsid();
#ifdef __linux__
  // A station killed outright must not leave a box half written by a child nobody watches:
  // the child takes the same abort as from the operator.
  (void)prctl(PR_SET_PDEATHSIG, SIGINT);
  if (getppid() != parent) {
    _exit(127);
  }
#else
  (void)parent;
#endif
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    _exit(127);
  }
  // Signals as a shell leaves them: the station's own handlers and mask are not the child's.
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  (void)signal(SIGINT, SIG_DFL);
  (void)signal(SIGTERM, SIG_DFL);
  (void)signal(SIGHUP, SIG_DFL);
  (void)signal(SIGPIPE, SIG_DFL);
  execv(program, const_cast<char* const*>(argv));
  const char* reason = strerror(errno);
  (void)!write(2, "boxstation: cannot start boxload: ", 34);
  (void)!write(2, reason, strlen(reason));
  (void)!write(2, "\n", 1);
  _exit(127);
}

}  // namespace

int StationHelperMain(int /*argc*/, char** /*argv*/) { return -1; }

int ProgramBeside(const char* name, char* path, size_t size) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    return 0;
  }
  self[n] = '\0';
  char* slash = std::strrchr(self, '/');
  if (slash == nullptr) {
    return 0;
  }
  *slash = '\0';
  const int written = std::snprintf(path, size, "%s/%s", self, name);
  return written > 0 && static_cast<size_t>(written) < size ? 1 : 0;
}

int StartChild(const char* program, const char* const* argv, const char* out_path, const char* err_path,
               ChildProcess* child) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "boxstation: cannot start %s: %s\n", program, std::strerror(errno));
    return 0;
  }
  if (pid == 0) {
    ExecChild(program, argv, out_path, err_path, parent);
  }
  child->id = pid;
  child->group = pid;  // setsid made it the leader of its own group
  child->running = true;
  return 1;
}

void AbortChild(ChildProcess* child) {
  if (child->running) {
    // The group: the child may not have reached setsid yet, then the process itself.
    if (kill(-static_cast<pid_t>(child->group), SIGINT) != 0) {
      (void)kill(static_cast<pid_t>(child->id), SIGINT);
    }
  }
}

void KillChild(ChildProcess* child) {
  if (child->running) {
    if (kill(-static_cast<pid_t>(child->group), SIGKILL) != 0) {
      (void)kill(static_cast<pid_t>(child->id), SIGKILL);
    }
  }
}

void NudgeChild(ChildProcess* /*child*/) {}

int PollChild(ChildProcess* child, ChildEnd* end) {
  if (!child->running) {
    return 1;
  }
  int status = 0;
  pid_t got;
  do {
    got = waitpid(static_cast<pid_t>(child->id), &status, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) {
    return 0;
  }
  child->running = false;
  *end = ChildEnd{};
  if (got > 0 && WIFEXITED(status)) {
    end->exit_code = WEXITSTATUS(status);
    std::snprintf(end->text, sizeof end->text, "%d", end->exit_code);
  } else if (got > 0 && WIFSIGNALED(status)) {
    end->signal = WTERMSIG(status);
    end->by_abort = end->signal == SIGINT;
    const char* name = end->signal == SIGINT    ? "SIGINT"
                       : end->signal == SIGKILL ? "SIGKILL"
                       : end->signal == SIGTERM ? "SIGTERM"
                       : end->signal == SIGSEGV ? "SIGSEGV"
                       : end->signal == SIGABRT ? "SIGABRT"
                                                : nullptr;
    if (name != nullptr) {
      std::snprintf(end->text, sizeof end->text, "%s", name);
    } else {
      std::snprintf(end->text, sizeof end->text, "signal %d", end->signal);
    }
  } else {
    std::snprintf(end->text, sizeof end->text, "lost");
  }
  return 1;
}

int PortIdentity(const char* device, PortId* id) {
  struct stat info {};
  if (stat(device, &info) != 0) {
    return 0;
  }
  // A by-id link and its target, or two device nodes of one tty, share st_rdev.
  if (S_ISCHR(info.st_mode)) {
    id->major = 0;
    id->minor = static_cast<uint64_t>(info.st_rdev);
  } else {
    id->major = static_cast<uint64_t>(info.st_dev);
    id->minor = static_cast<uint64_t>(info.st_ino);
  }
  return 1;
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  (void)sigaction(SIGINT, &action, nullptr);
  (void)sigaction(SIGTERM, &action, nullptr);
  (void)sigaction(SIGHUP, &action, nullptr);
  (void)sigaction(SIGQUIT, &action, nullptr);
  // A reader of the station's output that goes away must not end it with its children running.
  (void)signal(SIGPIPE, SIG_IGN);
}

int StopSignal() { return g_stop_signal; }

void EndByStopSignal(int sig) {
  (void)signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  (void)sigprocmask(SIG_UNBLOCK, &one, nullptr);
  (void)raise(sig);
  // raise() returns when the signal does not end the process (cppcheck takes it for noreturn).
  // cppcheck-suppress unreachableCode
  _exit(128 + sig);
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

int TerminalWidth() {
  winsize size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void KeysBegin() {
  g_keys_on = true;
  termios mode{};
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &mode) != 0) {
    return;
  }
  g_saved_terminal = mode;
  // Keys as they are pressed, without echo; ISIG stays, so Ctrl+C is still the stop signal.
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0) {
    g_terminal_mode_changed = true;
  }
}

void KeysEnd() {
  if (g_terminal_mode_changed) {
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
    g_terminal_mode_changed = false;
  }
  g_keys_on = false;
}

int WaitForOperatorKey(int ms) {
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  if (!g_keys_on) {
    (void)poll(nullptr, 0, ms);
    return -1;
  }
  if (poll(&pfd, 1, ms) <= 0 || (pfd.revents & POLLIN) == 0) {
    if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      g_keys_on = false;  // the keys are gone (a closed pipe): wait on time alone from now
    }
    return -1;
  }
  unsigned char key = 0;
  const ssize_t n = read(STDIN_FILENO, &key, 1);
  if (n == 0) {
    g_keys_on = false;
  }
  if (n != 1) {
    return -1;
  }
  return key == '\r' ? '\n' : key;
}

int MakeFolder(const char* path) {
  if (mkdir(path, 0755) == 0) {
    return 1;
  }
  struct stat info {};
  return errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
}

void UtcTimeText(int64_t seconds, char* text, size_t size) {
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  if (gmtime_r(&t, &parts) == nullptr || std::strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(seconds));
  }
}
