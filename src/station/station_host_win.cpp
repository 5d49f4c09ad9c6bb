// Small facts of the host on Windows: where the station's program lies, what names one port,
// the standard handles, the clock and its text, the host's name.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "serial/port_argument.h"
#include "station/station_proc.h"

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

// boxload's standard output is in text mode: "\n" reaches the log as CR LF.
int LogLineEndBytes() { return 2; }

// Windows gives a console program its standard handles or none; nothing takes their place.

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

int64_t UtcNowMs() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  // 100 ns steps since 1601.
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>((ticks - 116444736000000000ULL) / 10000);
}

void UtcTimeText(int64_t ms, char* text, size_t size) {
  const __time64_t t = ms / 1000;
  tm parts{};
  char seconds[32];
  if (_gmtime64_s(&parts, &t) != 0 || std::strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &parts) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(ms));
    return;
  }
  std::snprintf(text, size, "%s.%03dZ", seconds, static_cast<int>(ms % 1000));
}

int HostName(char* name, size_t size) {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof host;
  if (GetComputerNameA(host, &n) == 0 || host[0] == '\0') {
    return 0;
  }
  std::snprintf(name, size, "%s", host);
  return 1;
}

int AbsolutePath(const char* path, char* out, size_t size) {
  const DWORD n = GetFullPathNameA(path, static_cast<DWORD>(size), out, nullptr);
  return n > 0 && n < size ? 1 : 0;
}
