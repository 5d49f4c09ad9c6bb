// What the station's Windows files share, and nothing else includes.
//
//   AppendArgument(line, size, arg)   one argument onto a command line, quoted as the C runtime
//                                     splits it again; false when it does not fit
//   TellChildConsole(&child, what)    runs the station's helper on the child's console: "key"
//                                     queues one Enter, "break" raises Ctrl+Break (or Ctrl+C);
//                                     1 when the helper did its part
#pragma once

#include <windows.h>

#include <cstddef>

#include "station/station_proc.h"

inline constexpr DWORD kControlCExit = 0xC000013AU;  // STATUS_CONTROL_C_EXIT: ended by Ctrl+C

bool AppendArgument(char* line, size_t size, const char* arg);
int TellChildConsole(const ChildProcess* child, const char* what);
