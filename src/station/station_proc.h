// The station's room on the host, one job to a file and each file whole per platform; the build
// picks the _posix or the _win one.
//
// The children (station_children_*.cpp; Windows: station_helper_win.cpp)
//   StationHelperMain(argc, argv)    Windows: the station run as its own helper on a child's
//                                    console (the key, the abort); -1 for any other command line
//                                    and always on POSIX
//   StartChild(program, argv, out_path, err_path, &child, why, why_size)
//                                    runs program with argv (argv[0] first, null last): no
//                                    standard input, standard output and error new files
//                                    out_path and err_path (created exclusively: a name that
//                                    exists is never written), apart from the operator's Ctrl+C
//                                    (a session of its own on POSIX, a hidden console of its
//                                    own on Windows), with no terminal to wait on or a key
//                                    queued on its console (so the final key wait ends at
//                                    once); it ends when the station dies. 1 ok; nothing
//                                    printed otherwise, why says what went wrong: -1 a file
//                                    was not created ("cannot create run/slot1-1.log: File
//                                    exists"), 0 the program did not start ("cannot start
//                                    .../boxload: Permission denied")
//   AbortChild(&child)               the child's own abort, as a user's Ctrl+C: SIGINT to its
//                                    group (POSIX), Ctrl+Break (Ctrl+C where the console has
//                                    no Break) on its console (Windows)
//   KillChild(&child)                the last resort: ends the child's group at once
//   NudgeChild(&child)               a child seen at its final prompt that has not ended: one
//                                    more key for it (Windows); nothing on POSIX, where no
//                                    child has a terminal to wait on
//   PollChild(&child, &end)          1 when the child has ended, with how in end; 0 while it
//                                    runs. Never blocks
//
// Stop signals (station_signals_*.cpp)
//   CatchStopSignals()               Ctrl+C, and on POSIX SIGTERM and SIGHUP, no longer end the
//                                    station: StopSignal() tells which came, 0 for none. A
//                                    file-size limit no longer ends it either (SIGXFSZ ignored):
//                                    a write beyond it fails and is told as a record lost
//   EndByStopSignal(sig)             ends the station as sig ends a process (killed by SIGINT)
//
// The operator's keys and terminal (station_keys_*.cpp)
//   OutputIsTerminal()               standard output is a terminal (the live table) or not
//   TerminalSize(&columns, &rows)    its size (80 by 24 when it does not say)
//   KeysBegin() / KeysEnd()          the operator's keys one at a time from standard input (on
//                                    a terminal: no echo, no line editing, Ctrl+C still a
//                                    signal); KeysEnd restores the terminal, also after a stop.
//                                    KeysBegin returns 0 when the station is not its terminal's
//                                    foreground job: the terminal is left alone and keys are
//                                    read only once it is brought there (fg)
//   WaitForOperatorKey(ms)           a key pressed (a byte of standard input) within ms, or
//                                    -1; kNoMoreKeys once, when standard input has ended; with
//                                    keys off, or in the background, it only waits
//   RaiseDescriptorLimit()           the open files' soft limit up to its hard limit (POSIX):
//                                    128 slots hold a few files each; nothing on Windows
//
// Small facts of the file system and the clock (station_host_*.cpp; new files and folders are
// the file layer's: sdf/sdf_file.h)
//   ProgramBeside(name, path, size)  the program called name in the folder of the running
//                                    program (".exe" added on Windows); 0 when that folder is
//                                    unknown or the name does not fit
//   LogLineEndBytes()                what one "\n" of a child's console text takes in its log: 1,
//                                    or 2 on Windows, where boxload writes CR LF
//   PortIdentity(device, &id)        1 with what two names of one device share (the device
//                                    number after links are followed; the COM number); 0 when
//                                    the device cannot be looked at
//   UtcNowMs()                       milliseconds since 1970, UTC
//   UtcTimeText(ms, text, size)      "2026-12-07T09:00:00.123Z" for milliseconds since 1970
//   HostName(name, size)             the host's name (gethostname; the computer's name on
//                                    Windows), cut to fit; 0 when it cannot be had
//   AbsolutePath(path, out, size)    path from the root (links followed on POSIX); 0 when it
//                                    cannot be made or does not fit
#pragma once

#include <cstddef>
#include <cstdint>

struct ChildProcess {
  intptr_t id = 0;     // process id (POSIX) or process handle (Windows); 0 when none
  intptr_t group = 0;  // the process group (POSIX) or process id (Windows)
  bool running = false;
};

struct ChildEnd {
  int exit_code = -1;        // -1 when ended by a signal
  int signal = 0;            // POSIX: the signal that ended it
  bool by_abort = false;     // ended the way an abort ends it (SIGINT, STATUS_CONTROL_C_EXIT)
  bool not_started = false;  // the child never ran: its files or its program failed
  char text[24] = {};        // "0", "1", "SIGINT", "0xC000013A", "not started": as a shell would name the end
};

struct PortId {
  uint64_t major = 0;  // st_dev of the device node, or 0 on Windows
  uint64_t minor = 0;  // st_rdev (a device) or st_ino (anything else); the COM number on Windows
};

int StationHelperMain(int argc, char** argv);
int ProgramBeside(const char* name, char* path, size_t size);
inline constexpr int kChildStarted = 1;
inline constexpr int kChildNotStarted = 0;
inline constexpr int kChildFileNotMade = -1;

int StartChild(const char* program, const char* const* argv, const char* out_path, const char* err_path,
               ChildProcess* child, char* why, size_t why_size);
void AbortChild(ChildProcess* child);
void KillChild(ChildProcess* child);
void NudgeChild(ChildProcess* child);
int PollChild(ChildProcess* child, ChildEnd* end);
int LogLineEndBytes();
int PortIdentity(const char* device, PortId* id);
void CatchStopSignals();
int StopSignal();
[[noreturn]] void EndByStopSignal(int sig);
bool OutputIsTerminal();
void TerminalSize(int* columns, int* rows);
int KeysBegin();
void KeysEnd();
inline constexpr int kNoMoreKeys = -2;
int WaitForOperatorKey(int ms);
void RaiseDescriptorLimit();
int64_t UtcNowMs();
void UtcTimeText(int64_t ms, char* text, size_t size);
int HostName(char* name, size_t size);
int AbsolutePath(const char* path, char* out, size_t size);
