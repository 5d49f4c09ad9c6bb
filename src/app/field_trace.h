// The front end's side of the field trace: the options after the two arguments, the trace's
// header, and its last line.
//
//   TraceOption(argc, argv, &path)    reads the arguments after the two positional ones:
//                                     "--trace FILE" sets path (else it stays null); an
//                                     unknown "--" word gets one warning line on stderr, any
//                                     other word is ignored; 0 after a stderr line when --trace
//                                     has no file name (a usage error); "--platform HEX"
//                                     is left to PlatformOption
//   PlatformOption(argc, argv, &prefix)  "--platform HEX" after the two arguments sets the
//                                     platform that the box must answer with (bootrom.h);
//                                     without it prefix stays empty; 0 after a stderr line when
//                                     HEX is missing or malformed (a usage error)
//   HelpOption(argc, argv)            1 when "--help" (or "-h") stands after the two arguments, or
//                                     as the only one
//   PrintHelp()                       the usage and every option, on standard error
//   StartTrace(path, version, port_device, port_argument, file_name)
//                                     refuses, with one stderr line and 0, a path that is the
//                                     SDF file or the port under any name, an existing file
//                                     that is not a regular one, or (Windows) a device name;
//                                     else creates the trace with its header (version, image
//                                     size and SHA-256, port, SDF file size, data_crc32 and id,
//                                     start time UTC), names escaped as console text. Touches
//                                     no port.
//   IsWindowsDeviceName(path)         1 for CON, PRN, AUX, NUL, COMn, LPTn (any case, any
//                                     extension, any folder) and the device namespace
//   EndTrace(status)                  the exit-status note, last; returns status
//   AbortNote(event)                  the text of the abort's last note for a console event
#pragma once

#include "bootrom/bootrom.h"

int TraceOption(int argc, char** argv, const char** path);
int HelpOption(int argc, char** argv);
void PrintHelp();
int PlatformOption(int argc, char** argv, PlatformPrefix* prefix);
int StartTrace(const char* path, const char* version, const char* port_device, const char* port_argument,
               const char* file_name);
int IsWindowsDeviceName(const char* path);
int EndTrace(int status);
const char* AbortNote(unsigned event);
