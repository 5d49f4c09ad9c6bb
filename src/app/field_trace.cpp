#include "app/field_trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/trace_writer.h"
#include "bootrom/firmware_image.h"
#include "common/common.h"
#include "common/trace.h"
#include "common/trace_header.h"
#include "console/console.h"
#include "sdf/sdf.h"
#include "files/files.h"
#include "serial/serial.h"

namespace {

// The file's part of the header, as far as the file can be read; the run's own check reports
// what is wrong with it.
void DescribeSdfFile(const char* file_name, TraceHeader* header) {
  std::snprintf(header->sdf_file, sizeof header->sdf_file, "%s", file_name);
  const int fd = FileOpenRead(file_name);
  if (fd == kNoFile) {
    return;
  }
  header->sdf_bytes = FileLength(fd);
  header->file = kHeaderFileNoHeader;
  SdfHeader sdf{};
  if (ReadFileExactly(fd, sdf.bytes, kSdfHeaderSize) != 0) {
    // The header's first 8 bytes name the software: a bench's records say which a box got.
    HexText(sdf.bytes, kSdfIdSize, header->sdf_id);
    std::snprintf(header->data_crc32, sizeof header->data_crc32, "%08lX",
                  static_cast<unsigned long>(data_crc32(sdf)));
    header->file = kHeaderFileRead;
  }
  FileClose(fd);
}

}  // namespace

namespace {
bool IsHelpWord(const char* word) { return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0; }
}  // namespace

void PrintHelp() {
  std::fflush(stdout);  // after the banner on a shared terminal
  std::fprintf(stderr,
               "usage: boxload <port#> <FileName> [--trace FILE] [--platform HEX]\n"
               "  <port#>          1 to 8 (com1 to com8), or the port's device: a path on Linux, COMn on Windows\n"
               "  <FileName>       the SDF file to send\n"
               "  --trace FILE     record every byte, line and event of the run in FILE (stbsim --replay plays it)\n"
               "  --platform HEX   update only a box whose boot ROM answers with these bytes, or a leading part\n"
               "  --help           this text; with the two arguments the run ends here, nothing opened\n"
               "Without arguments the machine's serial ports are listed.\n");
}

void ReadOptions(int argc, char** argv, BoxloadOptions* options) {
  *options = BoxloadOptions{};
  if (argc == 2) {
    options->help = IsHelpWord(argv[1]);
    return;
  }
  for (int i = 3; i < argc && !options->usage_error; ++i) {
    const char* word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (std::strcmp(word, "--trace") == 0) {
      if (value == nullptr || value[0] == '\0') {
        std::fprintf(stderr,
                     "boxload: --trace needs the name of the file to write: boxload <port#> <FileName> --trace FILE\n");
        options->usage_error = true;
      } else {
        options->trace_path = value;
      }
      ++i;  // the value, whatever it reads like
    } else if (std::strcmp(word, "--platform") == 0) {
      if (value == nullptr || ReadPlatformPrefix(value, &options->platform) == 0) {
        std::fprintf(stderr,
                     "boxload: --platform takes 1 to 12 bytes in hex, such as 4B4D5637 or \"4B 4D 56 37\", not "
                     "%s\n",
                     value != nullptr ? value : "nothing");
        options->usage_error = true;
      }
      ++i;
    } else if (IsHelpWord(word)) {
      options->help = true;
    } else if (std::strncmp(word, "--", 2) == 0) {
      std::fprintf(stderr, "boxload: unknown option %s ignored\n", word);
    }
  }
}

int IsWindowsDeviceName(const char* path) {
  if (std::strncmp(path, "\\\\.\\", 4) == 0 || std::strncmp(path, "\\\\?\\", 4) == 0) {
    return 1;  // the device namespace
  }
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || (*p == ':' && p == path + 1)) {
      base = p + 1;
    }
  }
  // The name before any extension or colon, trailing blanks dropped: "nul.txt" and "COM1:" are
  // devices too.
  char stem[8];
  size_t n = 0;
  for (const char* p = base; *p != '\0' && *p != '.' && *p != ':'; ++p) {
    if (n == sizeof stem - 1) {
      return 0;
    }
    stem[n++] = static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
  }
  while (n > 0 && stem[n - 1] == ' ') {
    --n;
  }
  stem[n] = '\0';
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : kNames) {
    if (std::strcmp(stem, name) == 0) {
      return 1;
    }
  }
  const bool numbered = std::strncmp(stem, "COM", 3) == 0 || std::strncmp(stem, "LPT", 3) == 0;
  if (!numbered || stem[3] == '\0') {
    return 0;
  }
  for (const char* p = stem + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') {
      return 0;
    }
  }
  return 1;
}

int StartTrace(const char* path, const char* version, const char* port_device, const char* port_argument,
               const char* file_name) {
  // Every refusal comes before anything is opened: the trace must never land on the SDF file,
  // on the line, or on a device that blocks or changes when opened.
  const char* refusal = nullptr;
  if (PortNamingRules() == kNamedByComName && IsWindowsDeviceName(path) != 0) {
    refusal = "a device name, not a file";
  } else if (port_device != nullptr &&
             (std::strcmp(path, port_device) == 0 || FileSameObject(path, port_device) != 0)) {
    refusal = "that is the serial port";
  } else if (FileSameObject(path, file_name) != 0) {
    refusal = "that is the SDF file";
  } else if (FileKindOf(path) == kFileDirectory || FileKindOf(path) == kFileOther) {
    refusal = "not a regular file (a device, FIFO, socket or directory)";
  }
  CreateRefusal why = kCreateFailed;
  std::FILE* file = nullptr;
  if (refusal == nullptr) {
    file = FileCreateReplacing(path, file_name, &why);
    refusal = why == kCreateNotRegular ? "not a regular file (a device, FIFO, socket or directory)"
              : why == kCreateIsSpared ? "that is the SDF file"
                                       : nullptr;
  }
  if (refusal != nullptr) {
    std::fprintf(stderr, "boxload: --trace %s: %s: give the trace a file name of its own\n", path, refusal);
    return 0;
  }
  if (file == nullptr) {
    std::fprintf(stderr, "boxload: cannot create the trace file %s: %s\n", path, std::strerror(errno));
    return 0;
  }

  static TraceHeader fields;  // large: not on the stack
  std::snprintf(fields.version, sizeof fields.version, "%s", version);
  fields.image_bytes = kFirmwareImageSize;
  std::snprintf(fields.image_sha256, sizeof fields.image_sha256, "%s", FirmwareImageSha256);
  std::snprintf(fields.port, sizeof fields.port, "%s", port_argument);
  DescribeSdfFile(file_name, &fields);
  std::snprintf(fields.started, sizeof fields.started, "unknown");
  const std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);  // only the main thread, before any other runs
  if (utc == nullptr || std::strftime(fields.started, sizeof fields.started, "%Y-%m-%dT%H:%M:%SZ", utc) == 0) {
    std::snprintf(fields.started, sizeof fields.started, "unknown");
  }
  static char header[sizeof fields.port * 4 + sizeof fields.sdf_file * 4 + 512];
  FormatTraceHeader(fields, header, sizeof header);
  if (TraceStart(file, header) == 0) {
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
