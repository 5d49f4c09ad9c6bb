// The station's room on Windows.
//
// A console event reaches only the processes attached to the console it is raised in, and
// boxload's final prompt reads its console itself. So each child gets a console of its own,
// without a window: the operator's keys and Ctrl+C stay the station's, and an event raised on
// the child's console reaches the child alone. What the station must tell a child's console
// (one key, queued up front, so that the final prompt ends at once; Ctrl+Break, the child's
// abort) goes through a short run of the station itself attached to that console, as a process
// may attach to one console only.
//
// No new process group: it would make the child ignore Ctrl+C, and a console that cannot raise
// Ctrl+Break (Wine's) is then left with no abort at all. The console of its own already sets
// the child apart.
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "serial/port_argument.h"
#include "station/station_proc.h"

namespace {

constexpr DWORD kControlCExit = 0xC000013AU;  // STATUS_CONTROL_C_EXIT
constexpr const char* kHelperOption = "--child-console";

// The system ends a program whose console window is closed as soon as its control routine
// returns, and after about 5 s in any case: the routine holds on meanwhile, so that the main
// loop can abort the children and write the summary.
constexpr DWORD kCloseHoldMs = 4500;

volatile LONG g_stop = 0;
HANDLE g_job = nullptr;
bool g_keys_on = false;
// Children that KillChild ended, so that their end is told as such and not as an abort.
HANDLE g_killed[64];

BOOL WINAPI OnControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    InterlockedCompareExchange(&g_stop, static_cast<LONG>(event) + 1, 0);
    if (event == CTRL_CLOSE_EVENT) {
      Sleep(kCloseHoldMs);
    }
    return TRUE;
  }
  return FALSE;
}

bool TakeKilled(HANDLE process) {
  for (HANDLE& killed : g_killed) {
    if (killed == process) {
      killed = nullptr;
      return true;
    }
  }
  return false;
}

// Appends one argument to a command line as the C runtime splits it again.
bool AppendArgument(char* line, size_t size, const char* arg) {
  size_t n = std::strlen(line);
  auto put = [&](char c) {
    if (n + 1 >= size) {
      return false;
    }
    line[n++] = c;
    line[n] = '\0';
    return true;
  };
  if (n > 0 && !put(' ')) {
    return false;
  }
  const bool quote = arg[0] == '\0' || std::strpbrk(arg, " \t\"") != nullptr;
  if (quote && !put('"')) {
    return false;
  }
  for (const char* c = arg;; ++c) {
    size_t backslashes = 0;
    while (*c == '\\') {
      ++backslashes;
      ++c;
    }
    // Backslashes are literal except before a quote (and before the closing one).
    const size_t times = *c == '"' || (*c == '\0' && quote) ? backslashes * 2 : backslashes;
    for (size_t i = 0; i < times; ++i) {
      if (!put('\\')) {
        return false;
      }
    }
    if (*c == '\0') {
      break;
    }
    if ((*c == '"' && !put('\\')) || !put(*c)) {
      return false;
    }
  }
  return !quote || put('"');
}

HANDLE Inheritable(const char* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// The system's own words for an error code, on one line.
void ErrorText(DWORD code, char* text, size_t size) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           static_cast<DWORD>(size), nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' || text[n - 1] == ' ')) {
    --n;
  }
  if (n == 0) {
    std::snprintf(text, size, "error %lu", static_cast<unsigned long>(code));
  } else {
    text[n] = '\0';
  }
}

void SetErrno(DWORD code) {
  errno = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS      ? EEXIST
          : code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND ? ENOENT
          : code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL    ? ENOSPC
          : code == ERROR_INVALID_NAME                                   ? EINVAL
                                                                         : EACCES;
}

// Runs the station's helper on the child's console; 1 when it did its part.
int TellChildConsole(const ChildProcess* child, const char* what) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) {
    return 0;
  }
  char line[MAX_PATH + 64] = {};
  char pid[16];
  std::snprintf(pid, sizeof pid, "%lu", static_cast<unsigned long>(child->group));
  if (!AppendArgument(line, sizeof line, self) || !AppendArgument(line, sizeof line, kHelperOption) ||
      !AppendArgument(line, sizeof line, pid) || !AppendArgument(line, sizeof line, what)) {
    return 0;
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // No console of its own: it attaches to the child's.
  if (!CreateProcessA(self, line, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi)) {
    return 0;
  }
  CloseHandle(pi.hThread);
  DWORD code = 1;
  if (WaitForSingleObject(pi.hProcess, 5000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, 1);
  }
  CloseHandle(pi.hProcess);
  return code == 0 ? 1 : 0;
}

BOOL WINAPI IgnoreEvent(DWORD /*event*/) { return TRUE; }

}  // namespace

int StationHelperMain(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], kHelperOption) != 0) {
    return -1;
  }
  const DWORD pid = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
  FreeConsole();
  // A child just started may not have its console yet.
  bool attached = false;
  for (int i = 0; i < 40 && pid != 0 && !(attached = AttachConsole(pid) != 0); ++i) {
    Sleep(50);
  }
  if (!attached) {
    return 1;
  }
  int status = 1;
  if (std::strcmp(argv[3], "break") == 0) {
    // The helper shares the console for a moment: the event must not end it first. The
    // console is the child's own, so all on it (group 0) is the child and the helper. boxload
    // takes Ctrl+Break and Ctrl+C alike; Wine's console raises only Ctrl+C.
    SetConsoleCtrlHandler(IgnoreEvent, TRUE);
    status = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0) || GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 0 : 1;
    Sleep(100);  // the event is delivered on a thread of its own: not after the helper is gone
  } else if (std::strcmp(argv[3], "key") == 0) {
    const HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (in != INVALID_HANDLE_VALUE) {
      INPUT_RECORD key[2]{};
      for (int i = 0; i < 2; ++i) {
        key[i].EventType = KEY_EVENT;
        key[i].Event.KeyEvent.bKeyDown = i == 0 ? TRUE : FALSE;
        key[i].Event.KeyEvent.wRepeatCount = 1;
        key[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
        key[i].Event.KeyEvent.uChar.AsciiChar = '\r';
      }
      DWORD written = 0;
      status = WriteConsoleInputA(in, key, 2, &written) && written == 2 ? 0 : 1;
      CloseHandle(in);
    }
  }
  FreeConsole();
  return status;
}

int ProgramBeside(const char* name, char* path, size_t size) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) {
    return 0;
  }
  char* slash = std::strrchr(self, '\\');
  char* other = std::strrchr(self, '/');
  if (other != nullptr && (slash == nullptr || other > slash)) {
    slash = other;
  }
  if (slash == nullptr) {
    return 0;
  }
  *slash = '\0';
  const size_t length = std::strlen(name);
  const bool has_suffix = length >= 4 && _stricmp(name + length - 4, ".exe") == 0;
  const int written = std::snprintf(path, size, "%s\\%s%s", self, name, has_suffix ? "" : ".exe");
  return written > 0 && static_cast<size_t>(written) < size ? 1 : 0;
}

int StartChild(const char* program, const char* const* argv, const char* out_path, const char* err_path,
               ChildProcess* child, char* why, size_t why_size) {
  static char line[32768];
  line[0] = '\0';
  for (const char* const* a = argv; *a != nullptr; ++a) {
    if (!AppendArgument(line, sizeof line, *a)) {
      std::snprintf(why, why_size, "the command line of %s is too long", program);
      return kChildNotStarted;
    }
  }
  char reason[160];
  // A name that exists is never written: CREATE_NEW fails on it.
  const HANDLE in = Inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = Inheritable(out_path, GENERIC_WRITE, CREATE_NEW);
  const DWORD out_code = GetLastError();
  const HANDLE err =
      out == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : Inheritable(err_path, GENERIC_WRITE, CREATE_NEW);
  const DWORD err_code = GetLastError();
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
    const bool out_failed = out == INVALID_HANDLE_VALUE;
    ErrorText(out_failed ? out_code : err_code, reason, sizeof reason);
    std::snprintf(why, why_size, "cannot create %s: %s",
                  in == INVALID_HANDLE_VALUE ? "NUL"
                  : out_failed               ? out_path
                                             : err_path,
                  reason);
    for (HANDLE h : {in, out, err}) {
      if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
      }
    }
    return kChildFileNotMade;
  }
  // Only these three go to the child, not every inheritable handle the station holds.
  HANDLE handles[3] = {in, out, err};
  SIZE_T attr_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
  static char attr_storage[256];
  STARTUPINFOEXA si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.StartupInfo.wShowWindow = SW_HIDE;
  si.StartupInfo.hStdInput = in;
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = err;
  // A console of its own without a window: no window flashes up per box, and none is handed
  // to a terminal program that ignores the hidden start.
  // Suspended until it is in the job: a station that dies in between must not leave it behind.
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
  if (attr_size <= sizeof attr_storage) {
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_storage);
    if (InitializeProcThreadAttributeList(list, 1, 0, &attr_size) &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles, nullptr,
                                  nullptr)) {
      si.lpAttributeList = list;
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
  }
  PROCESS_INFORMATION pi{};
  const BOOL started =
      CreateProcessA(program, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si.StartupInfo, &pi);
  const DWORD code = GetLastError();
  if (si.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(si.lpAttributeList);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) {
    ErrorText(code, reason, sizeof reason);
    std::snprintf(why, why_size, "cannot start %s: %s", program, reason);
    return kChildNotStarted;
  }
  // A station that dies takes its children with it: the job ends them when its last handle goes.
  if (g_job == nullptr) {
    g_job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (g_job == nullptr ||
        SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits) == 0) {
      std::fprintf(stderr,
                   "boxstation: no job object (error %lu): a station that dies may leave its boxload "
                   "children running\n",
                   GetLastError());
    }
  }
  if (g_job != nullptr) {
    AssignProcessToJobObject(g_job, pi.hProcess);
  }
  ResumeThread(pi.hThread);
  child->id = reinterpret_cast<intptr_t>(pi.hProcess);
  child->group = static_cast<intptr_t>(pi.dwProcessId);
  child->running = true;
  CloseHandle(pi.hThread);
  // One key waits in its console long before its final prompt, which then ends at once.
  (void)TellChildConsole(child, "key");
  return kChildStarted;
}

void AbortChild(ChildProcess* child) {
  if (child->running) {
    // If the helper cannot reach the console, the station's grace period ends in KillChild.
    (void)TellChildConsole(child, "break");
  }
}

void KillChild(ChildProcess* child) {
  const auto process = reinterpret_cast<HANDLE>(child->id);
  if (child->running && TerminateProcess(process, 1) != 0) {
    for (HANDLE& killed : g_killed) {
      if (killed == nullptr || killed == process) {
        killed = process;
        break;
      }
    }
  }
}

void NudgeChild(ChildProcess* child) {
  if (child->running) {
    (void)TellChildConsole(child, "key");
  }
}

int PollChild(ChildProcess* child, ChildEnd* end) {
  if (!child->running) {
    return kChildStarted;
  }
  const auto process = reinterpret_cast<HANDLE>(child->id);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
    return kChildNotStarted;
  }
  DWORD code = 0;
  const bool known = GetExitCodeProcess(process, &code) != 0;
  const bool killed = TakeKilled(process);
  CloseHandle(process);
  child->running = false;
  *end = ChildEnd{};
  if (killed || !known) {
    std::snprintf(end->text, sizeof end->text, "%s", killed ? "killed" : "lost");
  } else if (code == kControlCExit) {
    end->by_abort = true;
    std::snprintf(end->text, sizeof end->text, "0x%08lX", static_cast<unsigned long>(code));
  } else if (code > 255) {
    std::snprintf(end->text, sizeof end->text, "0x%08lX", static_cast<unsigned long>(code));
  } else {
    end->exit_code = static_cast<int>(code);
    std::snprintf(end->text, sizeof end->text, "%lu", static_cast<unsigned long>(code));
  }
  return kChildStarted;
}

int CreateNewFile(const char* path) {
  const HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrno(GetLastError());
    return 0;
  }
  CloseHandle(h);
  return 1;
}

std::FILE* OpenNewFile(const char* path) {
  const HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrno(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) {
    _close(fd);
  }
  return f;
}

// boxload's standard output is in text mode: "\n" reaches the log as CR LF.
int LogLineEndBytes() { return 2; }

// Windows gives a console program its standard handles or none; nothing takes their place.
int StandardDescriptorsOpen() { return 1; }

int PortIdentity(const char* device, PortId* id) {
  // One COM number is one port, under "comN" and "\\.\COMn" alike.
  const int n = PortComNumber(device);
  if (n == 0) {
    return 0;
  }
  id->major = 0;
  id->minor = static_cast<uint64_t>(n);
  return 1;
}

void CatchStopSignals() {
  // A station started with Ctrl+C ignored (start /b, a launcher's own process group) takes it
  // again, and so do the children, which inherit the setting.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

int StopSignal() { return static_cast<int>(g_stop); }

void EndByStopSignal(int /*sig*/) {
  std::fflush(stdout);
  ExitProcess(kControlCExit);  // as a console program ended by Ctrl+C
}

bool OutputIsTerminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // The table moves the cursor with escape sequences: only where the console takes them.
  return GetConsoleMode(out, &mode) && SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void TerminalSize(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return;
  }
  *columns = 80;
  *rows = 24;
}

// A console has no background jobs: the keys are always the station's.
int KeysBegin() {
  DWORD mode = 0;
  g_keys_on = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  return 1;
}

void KeysEnd() { g_keys_on = false; }

int WaitForOperatorKey(int ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  for (;;) {
    if (g_keys_on && _kbhit() != 0) {
      const int key = _getch();
      if (key == 0 || key == 0xE0) {
        (void)_getch();  // the second code of a function or cursor key
        continue;
      }
      return key == '\r' ? '\n' : key;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) {
      return -1;
    }
    Sleep(static_cast<DWORD>(end - now < 20 ? end - now : 20));
  }
}

int MakeFolder(const char* path, bool fresh) {
  if (CreateDirectoryA(path, nullptr)) {
    return 1;
  }
  const DWORD code = GetLastError();
  const DWORD attributes = GetFileAttributesA(path);
  if (!fresh && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 1;
  }
  // The caller names the reason with strerror: a missing parent folder is not a refusal.
  SetErrno(code);
  return 0;
}

void UtcTimeText(int64_t seconds, char* text, size_t size) {
  const __time64_t t = seconds;
  tm parts{};
  if (_gmtime64_s(&parts, &t) != 0 || std::strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(seconds));
  }
}
