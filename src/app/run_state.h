// The state of one run that the front end shares with its abort handler.
//
//   g_run_state   the port handle and the SDF descriptor, set as soon as each is opened and
//                 kept for the life of the process; the abort handler frees both
#pragma once

#include <atomic>

#include "files/files.h"
#include "serial/serial.h"

struct RunState {
  // Atomic because the abort handler reads them from its own thread.
  std::atomic<PortHandle> port{nullptr};
  std::atomic<int> sdf_fd{kNoFile};
};

extern RunState g_run_state;
