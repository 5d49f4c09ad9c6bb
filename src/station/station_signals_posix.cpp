// Stop signals on POSIX: Ctrl+C, SIGTERM, SIGHUP and SIGQUIT as a flag the main loop reads.
#include <csignal>

#include <unistd.h>

#include "station/station_proc.h"

namespace {

volatile sig_atomic_t g_stop_signal = 0;

void OnStopSignal(int sig) {
  if (g_stop_signal == 0) {
    g_stop_signal = sig;
  }
}

}  // namespace

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
