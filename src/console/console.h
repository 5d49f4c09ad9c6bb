// The console layer: what the front end needs from the host besides the serial port.
//
//   ConsoleInit()                   first of all: closed standard descriptors are reopened on
//                                   the null device (POSIX), so that nothing opened later takes
//                                   their numbers; standard output unbuffered on a console,
//                                   4 KB buffered when redirected; a reader that goes away
//                                   (SIGPIPE) or a file-size limit (SIGXFSZ) fails a write
//                                   instead of ending the process (POSIX)
//   InstallConsoleControl(handler)  calls handler(event) on a thread of its own when the user
//                                   aborts (Ctrl+C, Ctrl+Break, log-off, shut-down) or the
//                                   console goes away (kConsoleClose); the process then ends
//                                   as the platform ends it for that event
//   ConsoleHoldOutput()             from the handler: takes standard output for good, so that
//                                   nothing the main thread prints can follow the abort line
//   WaitForKey()                    one key press on the console itself, no echo, Ctrl+C read
//                                   as a key; returns at once when there is no console
//   OutputIsTerminal()              true when standard output is a terminal (a console), not a
//                                   file or a pipe
#pragma once

enum ConsoleEvent : unsigned {
  kConsoleCtrlC = 0,
  kConsoleBreak = 1,
  kConsoleClose = 2,
  kConsoleLogoff = 5,
  kConsoleShutdown = 6,
};

// Returns nonzero when the event was handled, zero to pass it on to the default handling.
using ConsoleHandler = int (*)(unsigned event);

void ConsoleInit();
void InstallConsoleControl(ConsoleHandler handler);
void ConsoleHoldOutput();
void WaitForKey();
bool OutputIsTerminal();
