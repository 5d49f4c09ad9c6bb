// What the serial backends tell the field trace. Each call is one test of TraceActive() when
// no trace runs, and never touches the port.
//
//   TracePortByte(kind, byte)      a byte written or read
//   TraceReadPolicy(timeout_ms)    a NOTE: the read policy now in force
//   TraceReadTimedOut()            a NOTE: a read gave up after the policy's time
//   TracePortAction(what)          a NOTE: "drain", "purge", "port freed by the abort"
//   TracePortError(what, code, reason)  a NOTE: a failed call with the system's code
#pragma once

#include <cstdint>

#include "common/trace.h"
#include "serial/serial.h"

// The policy last applied, for the time-out note.
inline uint32_t g_traced_read_policy = kBlockingRead;

inline void TracePortByte(TraceKind kind, uint8_t byte) {
  if (TraceActive()) {
    TraceByte(kind, byte);
  }
}

inline void TraceReadPolicy(uint32_t timeout_ms) {
  if (TraceActive()) {
    g_traced_read_policy = timeout_ms;
    if (timeout_ms == kBlockingRead) {
      TraceNote("read policy blocking");
    } else {
      TraceNote("read policy %lu ms", static_cast<unsigned long>(timeout_ms));
    }
  }
}

inline void TraceReadTimedOut() {
  if (TraceActive()) {
    TraceNote("read timed out after %lu ms", static_cast<unsigned long>(g_traced_read_policy));
  }
}

inline void TracePortAction(const char* what) {
  if (TraceActive()) {
    TraceNote("%s", what);
  }
}

inline void TracePortError(const char* what, uint32_t code, const char* reason) {
  if (TraceActive()) {
    TraceNote("%s failed: error %lu (%s)", what, static_cast<unsigned long>(code), reason);
  }
}
