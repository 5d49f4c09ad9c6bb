// The station's room on Windows: CreateProcess with a process group per child, every child in
// one job that ends with the station, console events as flags.
//
// A child is given the station's console, if the station has one, in a process group of its
// own: GenerateConsoleCtrlEvent reaches a process only through a console it shares, and only a
// group id picks one child out of the others. A new group ignores Ctrl+C, so the abort is
// CTRL_BREAK_EVENT, which boxload's control routine takes as it takes Ctrl+C.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "station/station_proc.h"

namespace {

// The system's end of a process after a Ctrl+C or Ctrl+Break left to its default handling.
constexpr DWORD kAbortExit = STATUS_CONTROL_C_EXIT;
// What TerminateProcess leaves as the exit code of a child that the station ended.
constexpr DWORD kKilledExit = 1;
// On a console closing, logging off or shutting down, the system ends the station as soon as
// the control routine returns (and after about 5 s in any case): the routine holds on so that
// the main loop can abort the children and write the summary.
constexpr DWORD kCloseHoldMs = 4500;

volatile LONG g_stop_signal = 0;
HANDLE g_job = nullptr;
// The whole command line of one child: the longest CreateProcess takes.
char g_command_line[32768];
// Room for a list of three inherited handles; the size is asked for at run time.
alignas(16) unsigned char g_attribute_room[256];

// Children ended by KillChild, so that PollChild names the end as such; a handful at a time.
constexpr int kKilledRoom = 64;
HANDLE g_killed[kKilledRoom];

// Keys: the console's input in its own mode, or a pipe or file read a byte at a time.
enum KeySource { kKeysNone, kKeysConsole, kKeysPipe, kKeysFile };
KeySource g_keys = kKeysNone;
DWORD g_saved_input_mode = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const LONG sig = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
  InterlockedCompareExchange(&g_stop_signal, sig, 0);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(kCloseHoldMs);
  }
  return TRUE;
}

// One argument as the C runtime's command line parser reads it back: quoted when it holds a
// blank or a quote, backslashes doubled only where a quote follows them.
bool AppendArgument(const char* arg, size_t* used) {
  char* out = g_command_line;
  const size_t room = sizeof g_command_line;
  size_t n = *used;
  auto put = [&](char c) {
    if (n + 1 >= room) {
      return false;
    }
    out[n++] = c;
    return true;
  };
  if (n > 0 && !put(' ')) {
    return false;
  }
  const bool plain = arg[0] != '\0' && std::strpbrk(arg, " \t\n\v\"") == nullptr;
  if (plain) {
    for (const char* c = arg; *c != '\0'; ++c) {
      if (!put(*c)) {
        return false;
      }
    }
  } else {
    if (!put('"')) {
      return false;
    }
    for (const char* c = arg;; ++c) {
      size_t backslashes = 0;
      while (*c == '\\') {
        ++backslashes;
        ++c;
      }
      // Before a quote, or before the closing quote, each backslash is doubled.
      const size_t times = *c == '"' ? backslashes * 2 + 1 : *c == '\0' ? backslashes * 2 : backslashes;
      for (size_t i = 0; i < times; ++i) {
        if (!put('\\')) {
          return false;
        }
      }
      if (*c == '\0') {
        break;
      }
      if (!put(*c)) {
        return false;
      }
    }
    if (!put('"')) {
      return false;
    }
  }
  out[n] = '\0';
  *used = n;
  return true;
}

void ReportError(const char* what, const char* name, DWORD code) {
  char text[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) {
    --length;
  }
  text[length] = '\0';
  std::fprintf(stderr, "boxstation: %s %s: %s (%lu)\n", what, name, length > 0 ? text : "system error",
               static_cast<unsigned long>(code));
}

// The job that ends every child when its last handle goes: when the station ends, however.
bool MakeJob() {
  if (g_job != nullptr) {
    return true;
  }
  const HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) {
    ReportError("cannot make the job for", "the children", GetLastError());
    return false;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) == 0) {
    ReportError("cannot set up the job for", "the children", GetLastError());
    CloseHandle(job);
    return false;
  }
  g_job = job;
  return true;
}

HANDLE OpenInherited(const char* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Shared every way: the station reads the log while the child writes it, and may remove it.
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void CloseAll(HANDLE* handles, int count) {
  for (int i = 0; i < count; ++i) {
    if (handles[i] != INVALID_HANDLE_VALUE) {
      CloseHandle(handles[i]);
    }
  }
}

bool WasKilled(HANDLE process) {
  for (HANDLE& h : g_killed) {
    if (h == process) {
      h = nullptr;
      return true;
    }
  }
  return false;
}

bool EndsWithExe(const char* name) {
  const size_t n = std::strlen(name);
  return n >= 4 && _stricmp(name + n - 4, ".exe") == 0;
}

}  // namespace

int ProgramBeside(const char* name, char* path, size_t size) {
  char self[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) {
    return 0;
  }
  char* slash = std::strrchr(self, '\\');
  char* other = std::strrchr(self, '/');
  if (slash == nullptr || (other != nullptr && other > slash)) {
    slash = other;
  }
  if (slash == nullptr) {
    return 0;
  }
  *slash = '\0';
  const int written = std::snprintf(path, size, "%s\\%s%s", self, name, EndsWithExe(name) ? "" : ".exe");
  return written > 0 && static_cast<size_t>(written) < size ? 1 : 0;
}

int StartChild(const char* program, const char* const* argv, const char* out_path, const char* err_path,
               ChildProcess* child) {
  size_t used = 0;
  g_command_line[0] = '\0';
  for (const char* const* arg = argv; *arg != nullptr; ++arg) {
    if (!AppendArgument(*arg, &used)) {
      std::fprintf(stderr, "boxstation: cannot start %s: the command line is too long\n", program);
      return 0;
    }
  }
  if (!MakeJob()) {
    return 0;
  }
  HANDLE standard[3] = {OpenInherited("NUL", GENERIC_READ, OPEN_EXISTING),
                        OpenInherited(out_path, GENERIC_WRITE, CREATE_ALWAYS),
                        OpenInherited(err_path, GENERIC_WRITE, CREATE_ALWAYS)};
  const char* names[3] = {"NUL", out_path, err_path};
  for (int i = 0; i < 3; ++i) {
    if (standard[i] == INVALID_HANDLE_VALUE) {
      ReportError("cannot open", names[i], GetLastError());
      CloseAll(standard, 3);
      return 0;
    }
  }

  // These three alone are inherited: not the summary files, nor another child's log.
  STARTUPINFOEXA start{};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.StartupInfo.hStdInput = standard[0];
  start.StartupInfo.hStdOutput = standard[1];
  start.StartupInfo.hStdError = standard[2];
  DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED;
  SIZE_T attribute_size = 0;
  (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &attribute_size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(g_attribute_room);
  bool have_list = attribute_size <= sizeof g_attribute_room &&
                   InitializeProcThreadAttributeList(attributes, 1, 0, &attribute_size) != 0;
  if (have_list) {
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, standard, sizeof standard, nullptr,
                                  nullptr) != 0) {
      start.lpAttributeList = attributes;
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
      DeleteProcThreadAttributeList(attributes);
      have_list = false;
    }
  }
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(program, g_command_line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                      &start.StartupInfo, &info);
  const DWORD code = GetLastError();
  if (have_list) {
    DeleteProcThreadAttributeList(attributes);
  }
  CloseAll(standard, 3);
  if (started == 0) {
    ReportError("cannot start", program, code);
    return 0;
  }
  // In the job before it runs a single instruction: nothing it starts escapes either.
  if (AssignProcessToJobObject(g_job, info.hProcess) == 0) {
    ReportError("cannot hold in its job", program, GetLastError());
    TerminateProcess(info.hProcess, kKilledExit);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  child->id = reinterpret_cast<intptr_t>(info.hProcess);
  child->group = static_cast<intptr_t>(info.dwProcessId);  // the group's id is its first process's
  child->running = true;
  return 1;
}

void AbortChild(ChildProcess* child) {
  if (child->running) {
    (void)GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(child->group));
  }
}

void KillChild(ChildProcess* child) {
  if (!child->running) {
    return;
  }
  const auto process = reinterpret_cast<HANDLE>(child->id);
  if (TerminateProcess(process, kKilledExit) != 0) {
    for (HANDLE& h : g_killed) {
      if (h == nullptr) {
        h = process;
        break;
      }
    }
  }
}

int PollChild(ChildProcess* child, ChildEnd* end) {
  if (!child->running) {
    return 1;
  }
  const auto process = reinterpret_cast<HANDLE>(child->id);
  const DWORD waited = WaitForSingleObject(process, 0);
  if (waited == WAIT_TIMEOUT) {
    return 0;
  }
  *end = ChildEnd{};
  DWORD code = 0;
  if (waited != WAIT_OBJECT_0 || GetExitCodeProcess(process, &code) == 0) {
    std::snprintf(end->text, sizeof end->text, "lost");
  } else if (WasKilled(process)) {
    std::snprintf(end->text, sizeof end->text, "killed");
  } else if (code >= 0xC0000000UL) {
    // An exception or an abort: the system's status, as a shell shows it.
    end->by_abort = code == kAbortExit;
    std::snprintf(end->text, sizeof end->text, "0x%08lX", static_cast<unsigned long>(code));
  } else {
    end->exit_code = static_cast<int>(code);
    std::snprintf(end->text, sizeof end->text, "%lu", static_cast<unsigned long>(code));
  }
  (void)WasKilled(process);
  CloseHandle(process);
  child->id = 0;
  child->running = false;
  return 1;
}

int PortIdentity(const char* device, PortId* id) {
  // "com2", "COM12" and "\\.\COM12" name ports by number alone.
  const char* name = device;
  if (std::strncmp(name, "\\\\.\\", 4) == 0) {
    name += 4;
  }
  if (_strnicmp(name, "com", 3) != 0 || name[3] < '1' || name[3] > '9') {
    return 0;
  }
  unsigned long number = 0;
  for (const char* c = name + 3; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || number > 100000) {
      return 0;
    }
    number = number * 10 + static_cast<unsigned long>(*c - '0');
  }
  id->major = 0;
  id->minor = number;
  return 1;
}

void CatchStopSignals() { (void)SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int StopSignal() { return static_cast<int>(g_stop_signal); }

void EndByStopSignal(int sig) {
  // As the system's own handling ends a console program on that event.
  std::fflush(nullptr);
  ExitProcess(sig == SIGINT || sig == SIGBREAK ? kAbortExit : 1);
}

bool OutputIsTerminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || GetConsoleMode(out, &mode) == 0) {
    return false;
  }
  // The table moves the cursor with escape sequences: a console that cannot take them gets
  // the event lines instead.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) {
    return 80;
  }
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? width : 80;
}

void KeysBegin() {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  g_keys = kKeysNone;
  if (in == nullptr || in == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD mode = 0;
  if (GetConsoleMode(in, &mode) != 0) {
    g_saved_input_mode = mode;
    // Keys as they are pressed, without echo; processed input stays, so Ctrl+C is still the
    // stop event.
    (void)SetConsoleMode(in, ENABLE_PROCESSED_INPUT);
    (void)FlushConsoleInputBuffer(in);
    g_keys = kKeysConsole;
  } else if (GetFileType(in) == FILE_TYPE_PIPE) {
    g_keys = kKeysPipe;
  } else if (GetFileType(in) == FILE_TYPE_DISK) {
    g_keys = kKeysFile;
  }
}

void KeysEnd() {
  if (g_keys == kKeysConsole) {
    (void)SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_saved_input_mode);
  }
  g_keys = kKeysNone;
}

int WaitForOperatorKey(int ms) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(ms > 0 ? ms : 0);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (g_keys == kKeysConsole) {
      if (WaitForSingleObject(in, left) != WAIT_OBJECT_0) {
        return -1;
      }
      INPUT_RECORD record{};
      DWORD count = 0;
      if (ReadConsoleInputA(in, &record, 1, &count) == 0 || count != 1) {
        g_keys = kKeysNone;
        continue;
      }
      // Key releases, Shift alone, the mouse and window changes are no keys.
      if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown != 0 &&
          record.Event.KeyEvent.uChar.AsciiChar != 0) {
        const auto key = static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
        return key == '\r' ? '\n' : key;
      }
    } else if (g_keys == kKeysPipe || g_keys == kKeysFile) {
      DWORD waiting = 0;
      if (g_keys == kKeysPipe && PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr) == 0) {
        g_keys = kKeysNone;  // the writer went away: wait on time alone from now
        continue;
      }
      if (g_keys == kKeysFile || waiting > 0) {
        unsigned char key = 0;
        DWORD n = 0;
        if (ReadFile(in, &key, 1, &n, nullptr) == 0 || n != 1) {
          g_keys = kKeysNone;
          continue;
        }
        return key == '\r' ? '\n' : key;
      }
      if (left == 0) {
        return -1;
      }
      Sleep(left < 10 ? left : 10);
    } else {
      Sleep(left);
      return -1;
    }
  }
}

int MakeFolder(const char* path) {
  if (CreateDirectoryA(path, nullptr) != 0) {
    return 1;
  }
  const DWORD code = GetLastError();
  const DWORD attributes = GetFileAttributesA(path);
  if (code == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 1;
  }
  // The caller names the reason with strerror.
  errno = code == ERROR_ALREADY_EXISTS                                   ? EEXIST
          : code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND ? ENOENT
          : code == ERROR_ACCESS_DENIED                                  ? EACCES
          : code == ERROR_INVALID_NAME                                   ? EINVAL
                                                                         : EIO;
  return 0;
}

void UtcTimeText(int64_t seconds, char* text, size_t size) {
  // FILETIME counts 100 ns from 1601.
  constexpr int64_t kFrom1601 = 11644473600LL;
  const auto ticks = static_cast<ULONGLONG>(seconds + kFrom1601) * 10000000ULL;
  FILETIME file_time{static_cast<DWORD>(ticks & 0xFFFFFFFFULL), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME t{};
  if (seconds < -kFrom1601 || FileTimeToSystemTime(&file_time, &t) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(seconds));
    return;
  }
  std::snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}
