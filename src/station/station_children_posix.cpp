// The station's children on POSIX: fork and exec, a session per child, its end by waitpid.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "files/files.h"
#include "station/station_proc.h"

namespace {

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

// A child's output file, made new by the file layer: never over a name that exists.
int OpenNew(const char* path) {
  std::FILE* f = FileOpenNew(path);
  if (f == nullptr) {
    return -1;
  }
  const int fd = fcntl(fileno(f), F_DUPFD_CLOEXEC, 0);
  const int reason = errno;
  (void)std::fclose(f);
  errno = reason;
  return fd;
}

}  // namespace

// No helper mode: a child has no console to be told anything on.
int StationHelperMain(int /*argc*/, char** /*argv*/) { return -1; }

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
