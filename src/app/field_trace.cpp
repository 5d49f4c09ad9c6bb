#include "app/field_trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bootrom/firmware_image.h"
#include "common/trace.h"
#include "console/console.h"
#include "sdf/sdf.h"
#include "sdf/sdf_file.h"

namespace {

// "file NAME N bytes, data_crc32 XXXXXXXX" as far as the file can be read; the run's own check
// reports what is wrong with it.
void DescribeSdfFile(const char* file_name, char* out, size_t size) {
  const int fd = FileOpenRead(file_name);
  if (fd == kNoFile) {
    std::snprintf(out, size, "file %s unreadable", file_name);
    return;
  }
  const int64_t length = FileLength(fd);
  SdfHeader header{};
  if (ReadFileExactly(fd, header.bytes, kSdfHeaderSize) != 0) {
    std::snprintf(out, size, "file %s %lu bytes, data_crc32 %08lX", file_name, static_cast<unsigned long>(length),
                  static_cast<unsigned long>(data_crc32(header)));
  } else {
    std::snprintf(out, size, "file %s %lu bytes, no header", file_name, static_cast<unsigned long>(length));
  }
  FileClose(fd);
}

}  // namespace

int TraceOption(int argc, char** argv, const char** path) {
  *path = nullptr;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--trace") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "boxload: --trace needs the name of the file to write\n");
        return 0;
      }
      *path = argv[++i];
    } else if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr, "boxload: unknown option %s ignored\n", argv[i]);
    }
  }
  return 1;
}

int StartTrace(const char* path, const char* version, const char* port_argument, const char* file_name) {
  char file[512];
  DescribeSdfFile(file_name, file, sizeof file);
  char started[32] = "unknown";
  const std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);  // only the main thread, before any other runs
  if (utc == nullptr || std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", utc) == 0) {
    std::snprintf(started, sizeof started, "unknown");
  }
  char header[1024];
  std::snprintf(header, sizeof header, "version %s; image %lu bytes sha256 %s; port %s; %s; started %s", version,
                static_cast<unsigned long>(kFirmwareImageSize), FirmwareImageSha256, port_argument, file, started);
  if (TraceOpen(path, header) == 0) {
    std::fprintf(stderr, "boxload: cannot create the trace file %s: %s\n", path, std::strerror(errno));
    return 0;
  }
  return 1;
}

int EndTrace(int status) {
  TraceFinish("exit status %d", status);
  return status;
}

const char* AbortNote(unsigned event) {
  switch (event) {
    case kConsoleCtrlC:
      return "aborted by the user (Ctrl+C)";
    case kConsoleBreak:
      return "aborted by the user (Ctrl+Break)";
    case kConsoleClose:
      return "the console went away (window closed or hang-up): the run ends here";
    case kConsoleLogoff:
      return "aborted: the user logs off";
    default:
      return "aborted: the system shuts down or the process was told to end";
  }
}
