#include "serial/serial_memory.h"

#include <cstdio>
#include <deque>

#include "common/common.h"

struct PortDevice {
  uint32_t timeout_ms = kBlockingRead;
};

namespace memport {
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
};

State& S() {
  static State state;
  return state;
}

}  // namespace

void Reset() { S() = State{}; }
PortHandle Handle() { return &S().device; }
uint64_t Now() { return S().now; }

void PushAt(uint8_t byte, uint64_t at_ms) {
  State& s = S();
  s.last_at = at_ms > s.last_at ? at_ms : s.last_at;
  s.queue.push_back(Item{s.last_at, false, byte});
}

void Push(uint8_t byte, uint64_t delay_ms) {
  const State& s = S();
  const uint64_t base = s.last_at > s.now ? s.last_at : s.now;
  PushAt(byte, base + delay_ms);
}

void Push(const std::vector<uint8_t>& bytes, uint64_t delay_ms) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    Push(bytes[i], i == 0 ? delay_ms : 0);
  }
}

void PushHangUp(uint64_t delay_ms) {
  State& s = S();
  const uint64_t base = s.last_at > s.now ? s.last_at : s.now;
  s.last_at = base + delay_ms;
  s.queue.push_back(Item{s.last_at, true, 0});
}

void PushHangUpAt(uint64_t at_ms) {
  State& s = S();
  s.last_at = at_ms > s.last_at ? at_ms : s.last_at;
  s.queue.push_back(Item{s.last_at, true, 0});
}

void SetWriteHook(std::function<void(uint8_t, uint64_t)> hook) { S().hook = std::move(hook); }
void FailWritesFrom(uint64_t index, uint32_t error_code) {
  S().fail_writes_from = index;
  S().write_error = error_code;
}
void FailSetReadTimeout(bool fail) { S().fail_timeouts = fail; }

const std::vector<uint8_t>& Written() { return S().written; }
const std::vector<uint32_t>& Policies() { return S().policies; }
int Purges() { return S().purges; }
int Drains() { return S().drains; }
int TimeOuts() { return S().time_outs; }
bool BlockedForever() { return S().blocked_forever; }
bool Closed() { return S().closed; }

}  // namespace memport

using memport::S;

PortHandle OpenPort(const char* /*name*/) { return memport::Handle(); }

int SetReadTimeout(PortHandle port, uint32_t timeout_ms) {
  if (S().fail_timeouts) {
    Print("Unable to set the time-out parameters");
    return 0;
  }
  port->timeout_ms = timeout_ms;
  S().policies.push_back(timeout_ms);
  return 1;
}

int PortWrite(PortHandle /*port*/, int value) {
  auto& s = S();
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
  auto& s = S();
  *error = 0;
  if (s.hung_up) {
    *error = memport::kHangUp;
    return 0;
  }
  const bool timed = port->timeout_ms != kBlockingRead;
  if (s.queue.empty() || (timed && s.queue.front().at_ms > s.now + port->timeout_ms)) {
    if (!timed) {
      s.blocked_forever = true;
      *error = memport::kWouldBlockForever;
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
    *error = memport::kHangUp;
    return 0;
  }
  *byte = item.byte;
  return 1;
}

void PurgePort(PortHandle /*port*/) {
  auto& s = S();
  ++s.purges;
  // Only what has already arrived is in the driver's buffer.
  while (!s.queue.empty() && s.queue.front().at_ms <= s.now && !s.queue.front().hang_up) {
    s.queue.pop_front();
  }
}

void DrainPort(PortHandle /*port*/) { ++S().drains; }

void ClosePort(PortHandle /*port*/) { S().closed = true; }
