#include "serial/serial_memory.h"

#include <cstdio>
#include <deque>

#include "common/common.h"

struct PortDevice {
  uint32_t timeout_ms = kBlockingRead;
};

namespace serial_memory {
namespace {

struct Item {
  uint64_t at_ms;
  bool hang_up;
  uint8_t byte;
};

struct State {
  PortDevice device;
  uint64_t now = 0;
  uint64_t last_at = 0;
  std::deque<Item> queue;
  bool hung_up = false;
  std::function<void(uint8_t, uint64_t)> hook;
  uint64_t fail_writes_from = UINT64_MAX;
  uint32_t write_error = 0;
  bool fail_timeouts = false;
  std::vector<uint8_t> written;
  std::vector<uint32_t> policies;
  int purges = 0;
  int drains = 0;
  int time_outs = 0;
  bool blocked_forever = false;
  bool closed = false;
  uint64_t bytes_read = 0;
  int reads_after_failure = 0;
};

// The one port: the in-memory backend serves a single device per process.
State& Port() {
  static State state;
  return state;
}

}  // namespace

void Reset() { Port() = State{}; }
PortHandle Handle() { return &Port().device; }
uint64_t Now() { return Port().now; }

void PushAt(uint8_t byte, uint64_t at_ms) {
  State& s = Port();
  s.last_at = at_ms > s.last_at ? at_ms : s.last_at;
  s.queue.push_back(Item{s.last_at, false, byte});
}

void Push(uint8_t byte, uint64_t delay_ms) {
  const State& s = Port();
  const uint64_t base = s.last_at > s.now ? s.last_at : s.now;
  PushAt(byte, base + delay_ms);
}

void Push(const std::vector<uint8_t>& bytes, uint64_t delay_ms) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    Push(bytes[i], i == 0 ? delay_ms : 0);
  }
}

void PushHangUp(uint64_t delay_ms) {
  State& s = Port();
  const uint64_t base = s.last_at > s.now ? s.last_at : s.now;
  s.last_at = base + delay_ms;
  s.queue.push_back(Item{s.last_at, true, 0});
}

void PushHangUpAt(uint64_t at_ms) {
  State& s = Port();
  s.last_at = at_ms > s.last_at ? at_ms : s.last_at;
  s.queue.push_back(Item{s.last_at, true, 0});
}

void SetWriteHook(std::function<void(uint8_t, uint64_t)> hook) { Port().hook = std::move(hook); }
void FailWritesFrom(uint64_t index, uint32_t error_code) {
  Port().fail_writes_from = index;
  Port().write_error = error_code;
}
void FailSetReadTimeout(bool fail) { Port().fail_timeouts = fail; }

const std::vector<uint8_t>& Written() { return Port().written; }
const std::vector<uint32_t>& Policies() { return Port().policies; }
int Purges() { return Port().purges; }
int Drains() { return Port().drains; }
int TimeOuts() { return Port().time_outs; }
bool BlockedForever() { return Port().blocked_forever; }
bool Closed() { return Port().closed; }
uint64_t BytesRead() { return Port().bytes_read; }
int ReadsAfterFailure() { return Port().reads_after_failure; }

}  // namespace serial_memory

using serial_memory::Port;

PortHandle OpenPort(const char* /*name*/) { return serial_memory::Handle(); }

int SetReadTimeout(PortHandle port, uint32_t timeout_ms) {
  if (Port().fail_timeouts) {
    Print("Unable to set the time-out parameters");
    return 0;
  }
  port->timeout_ms = timeout_ms;
  Port().policies.push_back(timeout_ms);
  return 1;
}

int PortWrite(PortHandle /*port*/, int value) {
  auto& s = Port();
  if (s.written.size() >= s.fail_writes_from) {
    if (s.write_error != 0) {
      Print("PortWrite: errcode %Xh(%d)\n", s.write_error, static_cast<int>(s.write_error));
    }
    return 0;
  }
  const auto byte = static_cast<uint8_t>(value);
  s.written.push_back(byte);
  if (s.hook) {
    s.hook(byte, s.now);
  }
  return 1;
}

int PortRead(PortHandle port, uint8_t* byte, uint32_t* error) {
  auto& s = Port();
  *error = 0;
  if (s.hung_up || s.blocked_forever) {
    ++s.reads_after_failure;
  }
  if (s.hung_up) {
    *error = serial_memory::kHangUp;
    return 0;
  }
  const bool timed = port->timeout_ms != kBlockingRead;
  if (s.queue.empty() || (timed && s.queue.front().at_ms > s.now + port->timeout_ms)) {
    if (!timed) {
      s.blocked_forever = true;
      *error = serial_memory::kWouldBlockForever;
      return 0;
    }
    s.now += port->timeout_ms;
    ++s.time_outs;
    return 0;
  }
  const auto item = s.queue.front();
  s.queue.pop_front();
  if (item.at_ms > s.now) {
    s.now = item.at_ms;
  }
  if (item.hang_up) {
    s.hung_up = true;
    *error = serial_memory::kHangUp;
    return 0;
  }
  *byte = item.byte;
  ++s.bytes_read;
  return 1;
}

int PortInputWaiting(PortHandle /*port*/) {
  const auto& s = Port();
  return !s.hung_up && !s.queue.empty() && s.queue.front().at_ms <= s.now && !s.queue.front().hang_up ? 1 : 0;
}

void PurgePort(PortHandle /*port*/) {
  auto& s = Port();
  ++s.purges;
  // Only what has already arrived is in the driver's buffer.
  while (!s.queue.empty() && s.queue.front().at_ms <= s.now && !s.queue.front().hang_up) {
    s.queue.pop_front();
  }
}

void DrainPort(PortHandle /*port*/) { ++Port().drains; }

void ClosePort(PortHandle /*port*/) { Port().closed = true; }
