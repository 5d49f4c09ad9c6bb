#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/field_trace.h"
#include "app/front_end.h"
#include "app/run_state.h"
#include "app/trace_writer.h"
#include "bootloader/bootloader.h"
#include "bootrom/bootrom.h"
#include "common/common.h"
#include "common/trace.h"
#include "console/console.h"
#include "files/files.h"
#include "serial/port_argument.h"

RunState g_run_state;

namespace {
constexpr const char* kBuildDate = "May 9 1945";
}  // namespace

int OnConsoleControl(unsigned event) {
  if (event == kConsoleClose) {
    TraceFinish("%s", AbortNote(event));
    return 1;
  }
  // From here on the main thread cannot print: the abort line is the last line of the run.
  ConsoleHoldOutput();
  const PortHandle port = g_run_state.port.exchange(nullptr);
  if (port != nullptr) {
    ClosePort(port);
  }
  const int fd = g_run_state.sdf_fd.exchange(kNoFile);
  if (fd != kNoFile) {
    FileCloseForAbort(fd);
  }
  // Recorded before shown, as every line, and the trace's end at once: a line the main thread
  // prints meanwhile can no longer follow it there.
  static const char kAbortLine[] = "\nProcess aborted by user...\n";
  TraceFinishAfterText(kAbortLine, AbortNote(event));
  Print("%s", kAbortLine);
  std::fflush(stdout);
  return 0;
}

namespace {

// Realistic mistakes, on standard error only: standard output and the exit status stay those
// of the designed run.
void HintOptionsFirst(int argc, char** argv) {
  for (int i = 1; i < argc && i <= 2; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fflush(stdout);  // after the banner on a shared terminal
      std::fprintf(stderr, "boxload: options go after the port and the file: boxload <port#> <FileName> %s ...\n",
                   argv[i]);
      return;
    }
  }
}

// The port the argument word names, open and handed to the abort; null after the lines that
// refuse the word or tell why the port did not open, with the run's exit status in *status.
PortHandle OpenPortArgument(const PortArgument& port, const char* word, int* status) {
  if (port.kind == kPortNameTooLong) {
    std::fprintf(stderr, "boxload: the port name is too long (%lu characters, at most %lu)\n",
                 static_cast<unsigned long>(std::strlen(word)), static_cast<unsigned long>(kPortNameSize - 1));
    *status = kExitFailed;
    return nullptr;
  }
  const char* name = PortOpenName(port);
  if (name == nullptr) {
    Print("invalid COM port specified\n\n");  // a puts-style line: one more line end
    char meant[kPortNameSize];
    if (SuggestPortPath(word, meant, sizeof meant) != 0) {
      std::fflush(stdout);
      std::fprintf(stderr, "boxload: did you mean %s?\n", meant);
    }
    *status = kExitUsage;
    return nullptr;
  }
  const PortHandle handle = OpenPort(name);
  if (handle == nullptr) {
    TraceNote("port %s not opened (the reason is on stderr)", name);
    *status = kExitFailed;
    return nullptr;
  }
  g_run_state.port = handle;
  TraceNote("port %s open, read policy blocking", name);
  return handle;
}

void ReportFileOpenFailure(const char* file_name, int reason) {
  if (FileKindOf(file_name) == kFileOther) {
    std::fprintf(stderr, "\nboxload: %s: not a regular file: give the SDF file itself\n", file_name);
  } else {
    std::fprintf(stderr, "\nboxload: %s: %s\n", file_name, std::strerror(reason));
  }
}

}  // namespace

int BoxloadMain(int argc, char** argv) {
  ConsoleInit();
  InstallConsoleControl(OnConsoleControl);
  ShowBoxTextEscaped(OutputIsTerminal());
  static PortArgument port_argument;
  if (argc >= 3) {
    ReadPortArgument(argv[1], PortNamingRules(), &port_argument);
  }
  // Before the banner, so that the trace holds every line; and before any port is touched. A
  // malformed option is a usage error, refused before anything is opened.
  static BoxloadOptions options;
  ReadOptions(argc, argv, &options);
  bool trace_refused = false;
  if (options.trace_path != nullptr && !options.usage_error && !options.help) {
    const char* port_name = PortOpenName(port_argument);
    const char* port_device = port_name != nullptr ? PortDevicePath(port_name) : nullptr;
    trace_refused = StartTrace(options.trace_path, PortNameTable[0], port_device, argv[1], argv[2]) == 0;
  }

  Print("KMV-7720P FW update utility[ver %s,%s]\n", PortNameTable[0], kBuildDate);
  if (options.usage_error) {
    return kExitUsage;
  }
  if (options.help && argc >= 3) {
    PrintHelp();
    return kExitUpdated;  // asked and answered: nothing opened
  }
  if (trace_refused) {
    return kExitFailed;  // the reason is on standard error
  }
  if (argc < 3) {
    Print("BOXLOAD <port#> <FileName>\n");
    if (options.help) {
      PrintHelp();
    } else {
      HintOptionsFirst(argc, argv);
    }
    // Where a new user looks first: the ports this machine has.
    std::fflush(stdout);
    PrintPortList("");
    return kExitUsage;
  }
  HintOptionsFirst(argc, argv);

  const char* file_name = argv[2];
  const int fd = FileOpenRead(file_name);
  if (fd == kNoFile) {
    const int reason = errno;
    Print("Can't open file %s", file_name);
    std::fflush(stdout);
    ReportFileOpenFailure(file_name, reason);
    return kExitFailed;
  }
  g_run_state.sdf_fd = fd;

  // After the file's open: with both wrong, the file is the one reported.
  int status = kExitFailed;
  const PortHandle port = OpenPortArgument(port_argument, argv[1], &status);
  if (port == nullptr) {
    return status;
  }

  // No flush of standard output first: where it is a pipe, its text keeps its own pace.
  if (kFirmwareImageIsStandIn) {
    std::fprintf(stderr,
                 "boxload: this build carries a stand-in firmware image: it works with the simulated box only\n");
  }

  status = kExitFailed;
  if (RunFirmwareStage(port, options.platform) != 0) {
    Print("do_upload_firmware()\n");
    if (RunSoftwareStage(port, fd) != 0) {
      status = kExitUpdated;
    }
  } else {
    Print("FW update error...\n");
  }

  Print("press any key for terminate programm...\n");
  TraceFlush();  // complete on disk while the prompt waits
  WaitForKey();
  return status;
}
