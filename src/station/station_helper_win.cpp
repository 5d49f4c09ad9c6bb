// The station's helper on a child's console, both sides: TellChildConsole runs the station
// again as a short helper, which attaches to the child's console and does one thing there.
//
// A process may be attached to one console only, and a console event reaches only the
// processes attached to the console it is raised in: what the station must tell a child's
// console (one key, queued up front, so that the final prompt ends at once; Ctrl+Break, the
// child's abort) goes through the helper.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "station/station_proc.h"
#include "station/station_win.h"

namespace {

constexpr const char* kHelperOption = "--child-console";

BOOL WINAPI IgnoreEvent(DWORD /*event*/) { return TRUE; }

}  // namespace

// Quoted as the C runtime splits a command line: backslashes double only before a quote.
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
