// The front end's side of the field trace: the options after the two arguments, the trace's
// header, and its last line.
//
//   ReadOptions(argc, argv, &options)  the words after the two positional ones (or, alone,
//                                     the first): "--trace FILE", "--platform HEX" (1 to 12
//                                     bytes, common/platform_prefix.h), "--help" or "-h"; an unknown "--" word
//                                     gets one warning line on stderr, any other word is
//                                     ignored; usage_error after a stderr line when --trace has
//                                     no file name or HEX is missing or malformed
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

#include "common/platform_prefix.h"

struct BoxloadOptions {
  const char* trace_path = nullptr;  // null without --trace
  PlatformPrefix platform;           // empty without --platform
  bool help = false;
  bool usage_error = false;
};
void ReadOptions(int argc, char** argv, BoxloadOptions* options);
void PrintHelp();
int StartTrace(const char* path, const char* version, const char* port_device, const char* port_argument,
               const char* file_name);
int IsWindowsDeviceName(const char* path);
int EndTrace(int status);
const char* AbortNote(unsigned event);
