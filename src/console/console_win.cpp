// The console layer on Windows.
//
// Abort: the console system calls the control routine on a thread of its own; the event
// values of ConsoleEvent are the system's CTRL_* values. When the handler returns zero, the
// next routine in the chain, the system's default, ends the process.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "console/console.h"

static_assert(kConsoleCtrlC == CTRL_C_EVENT && kConsoleBreak == CTRL_BREAK_EVENT && kConsoleClose == CTRL_CLOSE_EVENT &&
                  kConsoleLogoff == CTRL_LOGOFF_EVENT && kConsoleShutdown == CTRL_SHUTDOWN_EVENT,
              "console events are passed through unchanged");

namespace {

ConsoleHandler g_handler = nullptr;
// Standard output's buffer when it is redirected, so the console text needs no heap.
char g_stdout_buffer[4096];
// How long an abort may take before the process is ended without its abort line.
constexpr DWORD kAbortGraceMs = 500;

BOOL WINAPI ControlRoutine(DWORD event) {
  if (g_handler == nullptr) {
    return FALSE;
  }
  const int handled = g_handler(event);
  // Whatever waits in the buffer of a redirected output was printed before the end.
  std::fflush(stdout);
  return handled != 0 ? TRUE : FALSE;
}

DWORD WINAPI AbortWatchdog(LPVOID /*unused*/) {
  Sleep(kAbortGraceMs);
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return 0;
}

}  // namespace

void ConsoleInit() {
  const int out = _fileno(stdout);
  // Text mode: every "\n" reaches the console, a file or a pipe as CR LF.
  _setmode(out, _O_TEXT);
  if (_isatty(out) != 0) {
    // Each print shows at once, prompts without a line end included.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, g_stdout_buffer, _IOFBF, sizeof g_stdout_buffer);
  }
}

void InstallConsoleControl(ConsoleHandler handler) {
  g_handler = handler;
  SetConsoleCtrlHandler(ControlRoutine, TRUE);
}

void ConsoleHoldOutput() {
  // The main thread holds the lock only for the moment of one print, unless it is stuck
  // writing to a pipe that nobody reads; then nothing more can be shown anyway, and the abort
  // must not wait for ever: end the process as the default handling would.
  const HANDLE watchdog = CreateThread(nullptr, 0, AbortWatchdog, nullptr, 0, nullptr);
  if (watchdog != nullptr) {
    CloseHandle(watchdog);
  }
  // Never released: the process ends right after the abort line. The stream lock is
  // recursive, so the handler's own prints still go through.
  _lock_file(stdout);
}

void WaitForKey() {
  std::fflush(stdout);
  // _getch reads the console itself with echo, line input and Ctrl+C processing off, so
  // Ctrl+C is a key here; without a console it returns at once.
  const int key = _getch();
  if (key == 0x00 || key == 0xE0) {
    // A function or cursor key comes as two codes: take the second too, so that it does
    // not reach the command prompt after the run.
    _getch();
  }
}

bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
