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
bool g_keys_terminal = false;  // the keys come from a terminal
bool g_terminal_mode_changed = false;
termios g_saved_terminal{};

void OnStopSignal(int sig) {
  if (g_stop_signal == 0) {
    g_stop_signal = sig;
  }
}

// In the child between fork and exec: only async-signal-safe calls. out and err are the new
// files the parent created; an exec that fails sends its errno up report (close-on-exec, so
// the parent reads nothing once the program runs).
[[noreturn]] void ExecChild(const char* program, const char* const* argv, int out, int err, int report, pid_t parent) {
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
  int reason = 0;
  const int in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
    reason = errno;
  } else {
    // Signals as a shell leaves them: the station's own handlers and mask are not the child's.
    // SIGXFSZ stays ignored: a size limit cuts the child's files, never its update.
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    (void)signal(SIGINT, SIG_DFL);
    (void)signal(SIGTERM, SIG_DFL);
    (void)signal(SIGHUP, SIG_DFL);
    (void)signal(SIGPIPE, SIG_DFL);
    execv(program, const_cast<char* const*>(argv));
    reason = errno;
  }
  (void)!write(report, &reason, sizeof reason);
  _exit(127);
}

int OpenNew(const char* path) { return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644); }

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
               ChildProcess* child, char* why, size_t why_size) {
  const int out = OpenNew(out_path);
  if (out < 0) {
    std::snprintf(why, why_size, "cannot create %s: %s", out_path, std::strerror(errno));
    return kChildFileNotMade;
  }
  const int err = OpenNew(err_path);
  if (err < 0) {
    std::snprintf(why, why_size, "cannot create %s: %s", err_path, std::strerror(errno));
    (void)close(out);
    return kChildFileNotMade;
  }
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    std::snprintf(why, why_size, "cannot start %s: %s", program, std::strerror(errno));
    (void)close(out);
    (void)close(err);
    return kChildNotStarted;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    ExecChild(program, argv, out, err, report[1], parent);
  }
  const int fork_error = errno;
  (void)close(out);
  (void)close(err);
  (void)close(report[1]);
  int reason = pid < 0 ? fork_error : 0;
  if (pid > 0) {
    // Returns at the exec (nothing read) or with the reason it failed.
    ssize_t n;
    do {
      n = read(report[0], &reason, sizeof reason);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof reason)) {
      reason = 0;
    }
  }
  (void)close(report[0]);
  if (reason != 0) {
    std::snprintf(why, why_size, "cannot start %s: %s", program, std::strerror(reason));
    if (pid > 0) {
      (void)waitpid(pid, nullptr, 0);
    }
    return kChildNotStarted;
  }
  child->id = pid;
  child->group = pid;  // setsid made it the leader of its own group
  child->running = true;
  return kChildStarted;
}

int CreateNewFile(const char* path) {
  const int fd = OpenNew(path);
  if (fd < 0) {
    return 0;
  }
  (void)close(fd);
  return 1;
}

std::FILE* OpenNewFile(const char* path) {
  const int fd = OpenNew(path);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    const int reason = errno;
    (void)close(fd);
    errno = reason;
  }
  return f;
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
                       : end->signal == SIGXFSZ ? "SIGXFSZ"
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

int LogLineEndBytes() { return 1; }

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

int StandardDescriptorsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
      return 0;
    }
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
  (void)signal(SIGXFSZ, SIG_IGN);
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

void TerminalSize(int* columns, int* rows) {
  winsize size{};
  const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  *columns = known && size.ws_col > 0 ? size.ws_col : 80;
  *rows = known && size.ws_row > 0 ? size.ws_row : 24;
}

// The station's terminal is its standard input's, and it reads keys only in the foreground:
// a background job that reads its terminal, or changes its mode, is stopped by the shell.
bool InForeground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

void TakeKeys() {
  termios mode{};
  if (tcgetattr(STDIN_FILENO, &mode) != 0) {
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

int KeysBegin() {
  g_keys_on = true;
  g_keys_terminal = isatty(STDIN_FILENO) != 0;
  if (!g_keys_terminal) {
    return 1;
  }
  if (!InForeground()) {
    return 0;
  }
  TakeKeys();
  return 1;
}

void KeysEnd() {
  if (g_terminal_mode_changed) {
    // Also from the background (put there after fg): the mode is restored, not stopped on.
    sigset_t ttou;
    sigset_t was;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    (void)sigprocmask(SIG_BLOCK, &ttou, &was);
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
    (void)sigprocmask(SIG_SETMASK, &was, nullptr);
    g_terminal_mode_changed = false;
  }
  g_keys_on = false;
}

int WaitForOperatorKey(int ms) {
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  const bool foreground = !g_keys_terminal || InForeground();
  if (g_keys_on && foreground && g_keys_terminal && !g_terminal_mode_changed) {
    TakeKeys();  // brought to the foreground since
  }
  if (!g_keys_on || !foreground) {
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

int MakeFolder(const char* path, bool fresh) {
  if (mkdir(path, 0755) == 0) {
    return 1;
  }
  struct stat info {};
  return !fresh && errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
}

void UtcTimeText(int64_t seconds, char* text, size_t size) {
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  if (gmtime_r(&t, &parts) == nullptr || std::strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(seconds));
  }
}
