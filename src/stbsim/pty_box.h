// The simulated box on a pseudo-terminal: a BoxMachine (a BoxSim, or the replayer of a trace)
// played on the master side of a new pty whose slave is linked at a path the tool opens as its
// port.
//
//   PtyBox(sim, link_path)   nothing opened yet
//   Open()                   makes the pty (raw on both sides) and the link; false with a reason
//                            on stderr; never blocks
//   Run(stop)                one session: returns when the tool closes the port (tool_closed()),
//                            when the box hangs up (after a short grace for the last bytes), on
//                            a failing poll (a line on stderr), when the machine has Ended(),
//                            or when stop is set
//   set_sim(sim)             the machine for the next session
//   set_clock(clock)         the box's time unit and origin (default: ms since Open())
//   set_hook(hook)           who sees the session's bytes as they pass (default: nobody)
//   set_latency_ms(ms)       hold the box's bytes as a USB adapter's latency timer does: they
//                            reach the tool when 62 are waiting (a full packet) or ms after the
//                            first of them; 0 (default): at once
//   MonotonicNs()            CLOCK_MONOTONIC in ns, the clock of PtyClock and PtyBoxHook
//
// A session is one opening of the port by the tool. The next session needs a fresh pty: call
// Open() again (the tool's exclusive mode outlives its close while the master is open) and give
// it a fresh machine with set_sim(). The destructor removes the link only while it still names
// this box's pty: another box may have taken the path over.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "stbsim/box_sim.h"

int64_t MonotonicNs();

// Box time on a pty: whole units since the origin. The box is unit-agnostic; a benchmark that
// must not round every exchange up to a millisecond runs it in microseconds.
struct PtyClock {
  int64_t ns_per_unit = 1000000;  // 1 ms
  int64_t origin_ns = -1;         // MonotonicNs(); -1: set by each Open()
  // Looks for due output without sleeping this long before it is due: waking from a sleep can
  // take a busy machine some hundred microseconds.
  int64_t early_ns = 0;
};

// Sees a session as it runs (the benchmark's recorder and watchdog); times are MonotonicNs().
class PtyBoxHook {
 public:
  virtual ~PtyBoxHook() = default;
  // Each pass of Run()'s loop, first; tool_seen once the tool's first byte has arrived.
  virtual void Turn(bool /*tool_seen*/) {}
  // One byte from the tool, before the box takes it.
  virtual void ToolByte(int64_t /*at_ns*/) {}
  // count bytes of the box written to the pty; the first was due at first_due (box time).
  virtual void BoxWrote(size_t /*count*/, uint64_t /*first_due*/, int64_t /*at_ns*/) {}
};

class PtyBox {
 public:
  PtyBox(BoxMachine* sim, std::string link_path);
  ~PtyBox();
  PtyBox(const PtyBox&) = delete;
  PtyBox& operator=(const PtyBox&) = delete;
  bool Open();
  void Run(const std::atomic<bool>* stop);
  void set_sim(BoxMachine* sim) { sim_ = sim; }
  void set_clock(const PtyClock& clock) { clock_ = clock; }
  void set_hook(PtyBoxHook* hook) { hook_ = hook; }
  void set_latency_ms(uint32_t ms) { latency_ns_ = int64_t{ms} * 1000000; }
  const std::string& slave_path() const { return slave_path_; }
  bool tool_closed() const { return tool_closed_; }  // the last Run() ended by the tool's close

 private:
  struct Session;  // what the steps of one Run() share
  // Run()'s steps: queue the box's output that is due, release it to the tool as the adapter's
  // latency timer does, read the tool's bytes. Each returns false when the session has ended.
  bool QueueOutput(Session* session, uint64_t now);
  void ReleaseOutput(Session* session, uint64_t now);
  bool ReadTool(Session* session);
  int64_t WaitNs(const Session& session) const;  // how long ReadTool may wait for the tool
  void HangUp(Session* session);
  void Close();
  // false when the pty goes away
  bool WriteAll(const uint8_t* data, size_t size);
  uint64_t Now() const;  // box time

  BoxMachine* sim_;
  std::string link_path_;
  std::string slave_path_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  PtyClock clock_;
  int64_t origin_ns_ = 0;
  PtyBoxHook* hook_ = nullptr;
  int64_t latency_ns_ = 0;
  bool tool_closed_ = false;
};
