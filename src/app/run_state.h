// Process-wide state of one run, shared by the stages and the abort handler.
//
//   g_run_state            the port handle, the SDF descriptor and the repair-mode flag
//   PortNameTable          index 0 the version, 1..8 the port names "com1".."com8"
//   OnConsoleControl(ev)   the abort handler: closes the port and the file, prints the
//                          abort line; the console-close event is left alone
//   ParsePortNumber(text)  the port argument as the C runtime's atoi reads it, 0 when it
//                          overflows
//   BoxloadMain(argc,argv) the whole run; returns the exit status
//   RunFirmwareStage(port) / RunSoftwareStage(port, fd)   the two stages, 1 = success
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/serial.h"

inline constexpr uint32_t kRepairModeMark = 0xEEEEDDDDu;

struct RunState {
  // Atomic because the abort handler reads them from its own thread.
  std::atomic<PortHandle> port{nullptr};
  std::atomic<int> sdf_fd{-1};
  uint32_t repair_mode = 0;
};

extern RunState g_run_state;

inline bool InRepairMode() { return g_run_state.repair_mode == kRepairModeMark; }

extern const char* const PortNameTable[9];

int OnConsoleControl(unsigned event);
int ParsePortNumber(const char* text);
int BoxloadMain(int argc, char** argv);

// Exit status of a run.
inline constexpr int kExitUpdated = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

int RunFirmwareStage(PortHandle port);
int RunSoftwareStage(PortHandle port, int sdf_fd);
