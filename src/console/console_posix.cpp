// The console layer on POSIX.
//
// Abort: SIGINT, SIGQUIT and SIGTERM are blocked in every thread and taken by one thread that
// waits in sigwait(), so the handler runs as ordinary code, never inside a signal handler.
// After the handler the process ends by the same signal with its default action, so a shell
// sees it killed by SIGINT. SIGHUP (the terminal went away) ends it without the abort line.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include "console/console.h"
#include "files/files.h"

namespace {

ConsoleHandler g_handler = nullptr;
// The signal being handled, so that ConsoleHoldOutput can end the process by it.
int g_current_signal = SIGINT;
// Standard output's buffer when it is redirected, so the console text needs no heap.
char g_stdout_buffer[4096];

// The key wait's terminal and its mode before the wait, restored on every way out. The lock
// makes "set the key mode" and "restore it for the abort" exclusive: once the abort has
// restored the mode, the main thread can no longer change it.
pthread_mutex_t g_key_lock = PTHREAD_MUTEX_INITIALIZER;
int g_key_fd = -1;
termios g_saved_mode{};
bool g_key_mode_changed = false;
bool g_aborting = false;
bool g_exiting = false;  // the run has ended on its own: exit() is under way

// Applies mode to the key wait's terminal unless the run is being aborted.
bool SetKeyMode(const termios& mode) {
  pthread_mutex_lock(&g_key_lock);
  bool done = false;
  if (!g_aborting && tcsetattr(g_key_fd, TCSANOW, &mode) == 0) {
    g_key_mode_changed = true;
    done = true;
  }
  pthread_mutex_unlock(&g_key_lock);
  return done;
}

void RestoreKeyMode(bool aborting) {
  pthread_mutex_lock(&g_key_lock);
  g_aborting = g_aborting || aborting;
  if (g_key_mode_changed) {
    tcsetattr(g_key_fd, TCSANOW, &g_saved_mode);
    g_key_mode_changed = false;
  }
  pthread_mutex_unlock(&g_key_lock);
}

// The abort begins unless the run has already ended; from here the process ends by the signal.
bool BeginAbort() {
  pthread_mutex_lock(&g_key_lock);
  const bool begin = !g_exiting;
  g_aborting = g_aborting || begin;
  pthread_mutex_unlock(&g_key_lock);
  if (begin) {
    RestoreKeyMode(true);
  }
  return begin;
}

// Run by exit() before it flushes standard output. An abort that has begun ends the process
// itself, with its line last: exit must neither flush its buffer too nor end the process
// with a status first.
void EndOfRun() {
  pthread_mutex_lock(&g_key_lock);
  const bool aborting = g_aborting;
  g_exiting = !aborting;
  pthread_mutex_unlock(&g_key_lock);
  if (aborting) {
    for (;;) {
      pause();  // abort signals are blocked in this thread: it sleeps until the abort ends the process
    }
  }
}

unsigned EventForSignal(int sig) {
  switch (sig) {
    case SIGINT:
      return kConsoleCtrlC;
    case SIGQUIT:
      return kConsoleBreak;
    case SIGHUP:
      return kConsoleClose;
    default:
      return kConsoleShutdown;
  }
}

void EndBySignal(int sig) {
  // Neither can fail for these signals; if the process still lives, _exit below ends it.
  (void)std::signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  (void)raise(sig);
  _exit(128 + sig);  // only if the default action did not end the process
}

void AbortSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

void* SignalThread(void* /*unused*/) {
  sigset_t set;
  AbortSignals(&set);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) {
      continue;
    }
    if (!BeginAbort()) {
      // Too late: exit() is under way and ends the process with the run's own status. Only an
      // exit stuck flushing into a pipe nobody reads is ended by the signal, silently.
      usleep(500000);
      EndBySignal(sig);
    }
    g_current_signal = sig;
    if (g_handler != nullptr) {
      g_handler(EventForSignal(sig));
    }
    // Whatever waits in the buffer of a redirected output was printed before the end; but a
    // main thread stuck in a print must not hold the end up.
    if (ftrylockfile(stdout) == 0) {
      std::fflush(stdout);
    }
    EndBySignal(sig);
  }
}

}  // namespace

void ConsoleInit() {
  // Started with a standard descriptor closed (`boxload 2 f.sdf >&-`), the SDF file or the port
  // would take its number, and the console text would go into the file or onto the line.
  if (FileStandardDescriptorsOpen() == 0) {
    _exit(1);  // nowhere safe to write: not even an error line
  }
  if (isatty(STDOUT_FILENO) != 0) {
    // Each print shows at once, prompts without a line end included.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, g_stdout_buffer, _IOFBF, sizeof g_stdout_buffer);
  }
  // A log reader that goes away (`boxload ... | head`) must not kill the tool in the middle of
  // writing the box: the update goes on, its text is lost.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Likewise a file-size limit (`ulimit -f`) reached by the trace: the write fails instead, the
  // trace says so, and the update goes on.
  (void)std::signal(SIGXFSZ, SIG_IGN);
}

void InstallConsoleControl(ConsoleHandler handler) {
  g_handler = handler;
  // Without it a Ctrl+C as the run ends could mix the two ends; the run itself is unaffected.
  (void)std::atexit(EndOfRun);
  sigset_t set;
  AbortSignals(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, SignalThread, nullptr) == 0) {
    pthread_detach(thread);
  } else {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

void ConsoleHoldOutput() {
  // Never released: the process ends right after the abort line. The main thread holds the
  // lock only for the moment of one print, unless it is stuck writing to a pipe that nobody
  // reads; then nothing more can be shown anyway, and the abort must not wait for ever.
  for (int i = 0; i < 50; ++i) {
    if (ftrylockfile(stdout) == 0) {
      return;
    }
    usleep(10000);
  }
  EndBySignal(g_current_signal);
}

void WaitForKey() {
  std::fflush(stdout);
  // The controlling terminal itself, not standard input; without one there is nobody to ask.
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) {
    close(fd);
    return;
  }
  g_key_fd = fd;
  g_saved_mode = mode;
  termios raw = mode;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // TCSANOW: a key typed earlier in the run still ends the wait at once.
  if (!SetKeyMode(raw)) {
    close(fd);
    return;
  }
  unsigned char key = 0;
  ssize_t n;
  do {
    n = read(fd, &key, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1 && key == 0x1B) {
    // A function or cursor key is an escape sequence: take the rest of it too, so that it
    // does not reach the shell after the run.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 1;
    if (SetKeyMode(raw)) {
      unsigned char rest[16];
      while (read(fd, rest, sizeof rest) > 0) {
      }
    }
  }
  RestoreKeyMode(false);
  close(fd);
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
