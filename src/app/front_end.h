// The front end: the command line, the order of the two stages, the abort and the key prompt.
//
//   BoxloadMain(argc, argv)  the whole run; returns the exit status below. "--trace FILE" after
//                            the two arguments records it (app/field_trace.h); "--platform
//                            HEX" refuses a box of another model before its reset
//   OnConsoleControl(event)  the abort handler: frees the port and the file, prints the abort
//                            line; the console-close event is left alone
#pragma once

// Exit status of a run.
inline constexpr int kExitUpdated = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

int BoxloadMain(int argc, char** argv);
int OnConsoleControl(unsigned event);
