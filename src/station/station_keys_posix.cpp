// The operator's terminal on POSIX: its size, and keys one at a time in the foreground alone;
// standard input's bytes as they come when it is a pipe or a file.
#include <csignal>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "station/station_proc.h"

namespace {

bool g_keys_on = false;
bool g_keys_terminal = false;  // the keys come from a terminal
bool g_terminal_mode_changed = false;
termios g_saved_terminal{};

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

}  // namespace

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

void TerminalSize(int* columns, int* rows) {
  winsize size{};
  const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  *columns = known && size.ws_col > 0 ? size.ws_col : 80;
  *rows = known && size.ws_row > 0 ? size.ws_row : 24;
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
      return kNoMoreKeys;
    }
    return -1;
  }
  unsigned char key = 0;
  const ssize_t n = read(STDIN_FILENO, &key, 1);
  if (n == 0) {
    g_keys_on = false;
    return kNoMoreKeys;
  }
  return n == 1 ? key : -1;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
  }
}
