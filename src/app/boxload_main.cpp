#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/field_trace.h"
#include "app/front_end.h"
#include "app/port_argument.h"
#include "app/run_state.h"
#include "bootloader/bootloader.h"
#include "bootrom/bootrom.h"
#include "common/common.h"
#include "common/trace.h"
#include "console/console.h"
#include "sdf/sdf_file.h"

RunState g_run_state;

const char* const PortNameTable[9] = {"0.1", "com1", "com2", "com3", "com4", "com5", "com6", "com7", "com8"};

namespace {
constexpr const char* kBuildDate = "May 9 1945";
constexpr int kFirstPort = 1;
constexpr int kLastPort = 8;
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
  Print("\nProcess aborted by user...\n");
  std::fflush(stdout);
  TraceFinish("%s", AbortNote(event));
  return 0;
}

int BoxloadMain(int argc, char** argv) {
  ConsoleInit();
  InstallConsoleControl(OnConsoleControl);
  // Before the banner, so that the trace holds every line; and before any port is touched.
  const char* trace_path = nullptr;
  const bool no_trace =
      argc >= 3 && (TraceOption(argc, argv, &trace_path) == 0 ||
                    (trace_path != nullptr && StartTrace(trace_path, PortNameTable[0], argv[1], argv[2]) == 0));

  Print("KMV-7720P FW update utility[ver %s,%s]\n", PortNameTable[0], kBuildDate);
  if (no_trace) {
    return kExitFailed;  // the reason is on standard error
  }
  if (argc < 3) {
    Print("BOXLOAD <port#> <FileName>\n");
    // Where a new user looks first: the ports this machine has.
    std::fflush(stdout);
    PrintPortList("");
    return kExitUsage;
  }

  const char* file_name = argv[2];
  const int fd = FileOpenRead(file_name);
  if (fd == kNoFile) {
    const int reason = errno;
    Print("Can't open file %s", file_name);
    std::fflush(stdout);
    std::fprintf(stderr, "\nboxload: %s: %s\n", file_name, std::strerror(reason));
    return kExitFailed;
  }
  g_run_state.sdf_fd = fd;

  static PortArgument port_argument;
  ReadPortArgument(argv[1], PortNamingRules(), &port_argument);
  if (port_argument.kind == kPortNameTooLong) {
    std::fprintf(stderr, "boxload: the port name is too long (%lu characters, at most %lu)\n",
                 static_cast<unsigned long>(std::strlen(argv[1])), static_cast<unsigned long>(kPortNameSize - 1));
    return kExitFailed;
  }
  const int number = port_argument.number;
  if (port_argument.kind == kPortNumber && (number < kFirstPort || number > kLastPort)) {
    Print("invalid COM port specified\n\n");  // a puts-style line: one more line end
    return kExitUsage;
  }

  const char* port_name = port_argument.kind == kPortName ? port_argument.name : PortNameTable[number];
  const PortHandle port = OpenPort(port_name);
  if (port == nullptr) {
    TraceNote("port %s not opened (the reason is on stderr)", port_name);
    return kExitFailed;
  }
  g_run_state.port = port;
  TraceNote("port %s open, read policy blocking", port_name);

  // No flush of standard output first: where it is a pipe, its text keeps its own pace.
  if (kFirmwareImageIsStandIn) {
    std::fprintf(stderr,
                 "boxload: this build carries a stand-in firmware image: it works with the simulated box only\n");
  }

  int status = kExitFailed;
  if (RunFirmwareStage(port) != 0) {
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
