// The front end's side of the field trace: the options after the two arguments, the trace's
// header, and its last line.
//
//   TraceOption(argc, argv, &path)    reads the arguments after the two positional ones:
//                                     "--trace FILE" sets path (else it stays null); an
//                                     unknown "--" word gets one warning line on stderr, any
//                                     other word is ignored; 0 after a stderr line when --trace
//                                     has no file name
//   StartTrace(path, version, port_argument, file_name)
//                                     creates the trace with its header (version, image size
//                                     and SHA-256, port, SDF file size and data_crc32, start
//                                     time UTC); 0 after one stderr line. Touches no port.
//   EndTrace(status)                  the exit-status note, last; returns status
//   AbortNote(event)                  the text of the abort's last note for a console event
#pragma once

int TraceOption(int argc, char** argv, const char** path);
int StartTrace(const char* path, const char* version, const char* port_argument, const char* file_name);
int EndTrace(int status);
const char* AbortNote(unsigned event);
