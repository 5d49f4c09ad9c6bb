// The Windows serial layer on a real port: run under Wine with com2 mapped to the pseudo-terminal
// of tests/wine/pty_peer.py, com3 to /dev/null and com8 to nothing (run-wine-tests does this).
//
// Prints one "ok"/"not ok" line per group and exits nonzero when a check failed. What the
// layer prints itself ("PortWrite: errcode ...", the configuration messages, the stderr
// reasons) is checked by the runner.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <initializer_list>

#include "serial/serial.h"

namespace {

int g_failures = 0;
bool g_group_failed = false;

#define CHECK(condition)                                                    \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "  line %d: %s failed\n", __LINE__, #condition); \
      g_group_failed = true;                                                \
    }                                                                       \
  } while (0)

void EndGroup(const char* name) {
  std::printf("%s - %s\n", g_group_failed ? "not ok" : "ok", name);
  std::fflush(stdout);
  g_failures += g_group_failed ? 1 : 0;
  g_group_failed = false;
}

struct Read {
  int result;
  uint8_t byte;
  uint32_t error;
  ULONGLONG ms;
};

Read TimedRead(PortHandle port) {
  Read r{0, 0, 0, 0};
  const ULONGLONG start = GetTickCount64();
  r.result = PortRead(port, &r.byte, &r.error);
  r.ms = GetTickCount64() - start;
  return r;
}

// The peer's answer to a command, read under the blocking policy.
uint8_t Ask(PortHandle port, char command) {
  PortWrite(port, command);
  Read r = TimedRead(port);
  CHECK(r.result == 1);
  return r.byte;
}

}  // namespace

int main() {
  PortHandle port = OpenPort("com2");
  if (port == nullptr) {
    std::printf("not ok - com2 does not open\n");
    return 1;
  }

  // Every setting of the flag word that a pty can show: 115,200 8N1, no flow control of either
  // kind, no parity checking.
  const uint8_t settings = Ask(port, 't');
  if (settings != 0x7F) {
    std::fprintf(stderr, "  line settings seen by the other end: 0x%02X, expected 0x7F\n", settings);
  }
  CHECK(settings == 0x7F);
  // Bytes that a terminal in cooked mode or with XON/XOFF would swallow or change.
  for (const int value : {0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF}) {
    PortWrite(port, 'e');
    CHECK(PortWrite(port, value) == 1);
    Read r = TimedRead(port);
    CHECK(r.result == 1 && r.byte == value);
  }
  EndGroup("OpenPort configures the line as asked; bytes pass unchanged");

  // Timed policies: a read gives up after T ms with error 0; one that gets its byte in time
  // returns at once; the blocking policy waits longer than any timed one.
  CHECK(SetReadTimeout(port, kProbeTimeoutMs) == 1);
  Read r = TimedRead(port);
  CHECK(r.result == 0 && r.error == 0);
  CHECK(r.ms >= 450 && r.ms < 1500);
  CHECK(SetReadTimeout(port, kBootRomTimeoutMs) == 1);
  PortWrite(port, 'd');
  r = TimedRead(port);
  CHECK(r.result == 1 && r.byte == 'D');
  CHECK(r.ms >= 900 && r.ms < 4000);
  CHECK(SetReadTimeout(port, kBlockingRead) == 1);
  PortWrite(port, 'd');
  r = TimedRead(port);
  CHECK(r.result == 1 && r.byte == 'D');
  CHECK(r.ms >= 900);
  EndGroup("read policies: 500 ms and 5,000 ms time-outs, blocking");

  // A change of policy keeps what was received; a purge discards it, and only it.
  PortWrite(port, 's');
  Sleep(300);
  CHECK(SetReadTimeout(port, kProbeTimeoutMs) == 1);
  r = TimedRead(port);
  CHECK(r.result == 1 && r.byte == '0');
  DrainPort(port);
  PurgePort(port);
  r = TimedRead(port);
  CHECK(r.result == 0 && r.error == 0);
  PortWrite(port, 'e');
  PortWrite(port, 'x');
  DrainPort(port);
  r = TimedRead(port);
  CHECK(r.result == 1 && r.byte == 'x');
  EndGroup("SetReadTimeout keeps received bytes; PurgePort discards them");

  // After the abort handler closed the port, a blocked caller must see a failure, never a
  // time-out, and a write reports the system's code.
  PortWrite(port, 'q');
  DrainPort(port);
  ClosePort(port);
  r = TimedRead(port);
  CHECK(r.result == 0 && r.error != 0);
  CHECK(PortWrite(port, 'x') == 0);
  EndGroup("a closed port: reads fail with an error code, writes fail");

  // Ports that cannot be used: nothing is returned, the reasons are printed.
  CHECK(OpenPort("com3") == nullptr);
  CHECK(OpenPort("com8") == nullptr);
  // The configuration message has no line end of its own.
  std::printf("\n");
  EndGroup("a device that is no serial port, and a port that does not exist");

  return g_failures == 0 ? 0 : 1;
}
