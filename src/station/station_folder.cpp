// The run's log folder: every file the station writes goes into it, and none of them over a
// file that exists.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "files/files.h"
#include "station/station_run.h"

namespace {

bool HoldsSummary(const char* folder) {
  char path[kPathSize + 16];
  std::snprintf(path, sizeof path, "%s/summary.csv", folder);
  return FileKindOf(path) != kFileMissing;
}

void SayFolderFailure(const char* folder) {
  const int reason = errno;
  char shown[kPathSize * 4];
  ShownText(folder, shown, sizeof shown);
  std::fprintf(stderr, "boxstation: %s: cannot make the folder: %s\n", shown, std::strerror(reason));
}

// boxstation-YYYYMMDD-HHMMSS (UTC) here, made by this station alone: a name taken (an earlier
// run's, or another station's started in the same second) gets a suffix, -2, -3, ...
bool MakeDefaultFolder(Station* s) {
  char utc[32];
  UtcTimeText(UtcNowMs(), utc, sizeof utc);
  // "2026-12-07T09:00:00.123Z" -> "20261207-090000"
  char stamp[16];
  int n = 0;
  for (const char* c = utc; *c != '\0' && n < 15; ++c) {
    if (*c >= '0' && *c <= '9') {
      stamp[n++] = *c;
      if (n == 8) {
        stamp[n++] = '-';
      }
    }
  }
  stamp[n] = '\0';
  std::snprintf(s->log_dir, sizeof s->log_dir, "boxstation-%s", stamp);
  for (int k = 2; k <= 1000; ++k) {
    if (FileMakeFolder(s->log_dir, true) != 0) {
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
    std::snprintf(s->log_dir, sizeof s->log_dir, "boxstation-%s-%d", stamp, k);
  }
  SayFolderFailure(s->log_dir);
  return false;
}

// --log-dir may name a folder that exists, but never one of an earlier run: every file the
// station writes there is new in any case.
bool MakeFolder(Station* s, const char* given) {
  if (given == nullptr) {
    return MakeDefaultFolder(s);
  }
  if (std::strlen(given) >= sizeof s->log_dir) {
    std::fprintf(stderr, "boxstation: the folder name is too long\n");
    return false;
  }
  CopyText(s->log_dir, sizeof s->log_dir, given);
  if (HoldsSummary(given)) {
    char shown[kPathSize * 4];
    ShownText(given, shown, sizeof shown);
    std::fprintf(stderr, "boxstation: %s holds an earlier run's summary: name another folder\n", shown);
    return false;
  }
  if (FileMakeFolder(s->log_dir, false) == 0) {
    SayFolderFailure(s->log_dir);
    return false;
  }
  return true;
}

}  // namespace

// The folder, and the start of each record_id. The station's name and the folder's path tell a
// reader where a row came from; the run id alone keeps it apart from every other run's, since a
// folder's path comes back when a folder is moved away, and cloned PCs share a host name.
bool MakeLogFolder(Station* s, const char* given) {
  if (!MakeFolder(s, given)) {
    return false;
  }
  char folder[kPathSize];
  if (AbsolutePath(s->log_dir, folder, sizeof folder) == 0) {
    CopyText(folder, sizeof folder, s->log_dir);
  }
  // The system's own random source (getrandom; RtlGenRandom on Windows), four words of it.
  std::random_device random;
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = 8 * i;
    std::snprintf(s->run_id + at, sizeof s->run_id - at, "%08x", static_cast<unsigned>(random()));
  }
  std::snprintf(s->record_prefix, sizeof s->record_prefix, "%s:%s:%s:", s->name, folder, s->run_id);
  return true;
}
