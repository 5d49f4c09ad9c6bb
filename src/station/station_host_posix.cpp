// Small facts of the host on POSIX: where the station's program lies, what names one device,
// the standard descriptors, the clock and its text, the host's name.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "station/station_proc.h"

int ProgramBeside(const char* name, char* path, size_t size) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    return 0;
  }
  self[n] = '\0';
  char* slash = std::strrchr(self, '/');
  if (slash == nullptr) {
    return 0;
  }
  *slash = '\0';
  const int written = std::snprintf(path, size, "%s/%s", self, name);
  return written > 0 && static_cast<size_t>(written) < size ? 1 : 0;
}

int LogLineEndBytes() { return 1; }

int PortIdentity(const char* device, PortId* id) {
  struct stat info {};
  if (stat(device, &info) != 0) {
    return 0;
  }
  // A by-id link and its target, or two device nodes of one tty, share st_rdev.
  if (S_ISCHR(info.st_mode)) {
    id->major = 0;
    id->minor = static_cast<uint64_t>(info.st_rdev);
  } else {
    id->major = static_cast<uint64_t>(info.st_dev);
    id->minor = static_cast<uint64_t>(info.st_ino);
  }
  return 1;
}

int64_t UtcNowMs() {
  timespec now{};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void UtcTimeText(int64_t ms, char* text, size_t size) {
  const time_t t = static_cast<time_t>(ms / 1000);
  tm parts{};
  char seconds[32];
  if (gmtime_r(&t, &parts) == nullptr || std::strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &parts) == 0) {
    std::snprintf(text, size, "%lld", static_cast<long long>(ms));
    return;
  }
  std::snprintf(text, size, "%s.%03dZ", seconds, static_cast<int>(ms % 1000));
}

int HostName(char* name, size_t size) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
    return 0;
  }
  std::snprintf(name, size, "%s", host);
  return 1;
}

int AbsolutePath(const char* path, char* out, size_t size) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) {
    return 0;
  }
  const int written = std::snprintf(out, size, "%s", resolved);
  return written > 0 && static_cast<size_t>(written) < size ? 1 : 0;
}
