// The station's children on Windows.
//
// A console event reaches only the processes attached to the console it is raised in, and
// boxload's final prompt reads its console itself. So each child gets a console of its own,
// without a window: the operator's keys and Ctrl+C stay the station's, and an event raised on
// the child's console reaches the child alone. What the station must tell a child's console
// (one key, queued up front, so that the final prompt ends at once; Ctrl+Break, the child's
// abort) goes through the station's helper (station_helper_win.cpp).
//
// No new process group: it would make the child ignore Ctrl+C, and a console that cannot raise
// Ctrl+Break (Wine's) is then left with no abort at all. The console of its own already sets
// the child apart.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "station/station_proc.h"
#include "station/station_win.h"

namespace {

// Children that KillChild ended, so that their end is told as such and not as an abort.
HANDLE g_killed[64];

bool TakeKilled(HANDLE process) {
  for (HANDLE& killed : g_killed) {
    if (killed == process) {
      killed = nullptr;
      return true;
    }
  }
  return false;
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

// The child's standard handles: the null device in, new files out_path and err_path out. A name
// that exists is never written: CREATE_NEW fails on it. False with why when one is not had.
bool OpenStandardHandles(const char* out_path, const char* err_path, HANDLE handles[3], char* why, size_t why_size) {
  const HANDLE in = Inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = Inheritable(out_path, GENERIC_WRITE, CREATE_NEW);
  const DWORD out_code = GetLastError();
  const HANDLE err =
      out == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : Inheritable(err_path, GENERIC_WRITE, CREATE_NEW);
  const DWORD err_code = GetLastError();
  if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
    handles[0] = in;
    handles[1] = out;
    handles[2] = err;
    return true;
  }
  const bool out_failed = out == INVALID_HANDLE_VALUE;
  char reason[160];
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
  return false;
}

// A station that dies takes its children with it: the job ends them when its last handle goes.
// Without one the children still run.
void PutInJob(HANDLE process) {
  static HANDLE job = nullptr;
  if (job == nullptr) {
    job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) == 0) {
      std::fprintf(stderr,
                   "boxstation: no job object (error %lu): a station that dies may leave its boxload "
                   "children running\n",
                   GetLastError());
    }
  }
  if (job != nullptr) {
    AssignProcessToJobObject(job, process);
  }
}

}  // namespace

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
  HANDLE handles[3];  // the child's standard input, output and error
  if (!OpenStandardHandles(out_path, err_path, handles, why, why_size)) {
    return kChildFileNotMade;
  }
  const HANDLE in = handles[0];
  const HANDLE out = handles[1];
  const HANDLE err = handles[2];
  // Only these three go to the child, not every inheritable handle the station holds.
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
    char reason[160];
    ErrorText(code, reason, sizeof reason);
    std::snprintf(why, why_size, "cannot start %s: %s", program, reason);
    return kChildNotStarted;
  }
  PutInJob(pi.hProcess);
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
    return 1;
  }
  const auto process = reinterpret_cast<HANDLE>(child->id);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
    return 0;
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
  return 1;
}
