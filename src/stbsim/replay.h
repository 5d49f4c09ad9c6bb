// The box's side of a recorded trace (boxload --trace), played back to the tool.
//
//   LoadTrace(path, &trace, &error)   reads a trace: its header and its TX, RX and time-out
//                                     events with their times; false with a reason
//   Replayer(trace, fast)             a BoxMachine, as BoxSim is, in microseconds: Receive()
//                                     takes each byte the tool writes and checks it against the
//                                     TX lines in order; once a TX line is matched, the RX bytes
//                                     after it are due at the recorded delay after that line's
//                                     first byte (fast: at once, unless a recorded time-out lies
//                                     between: the tool must time out again first); Ended()
//                                     after the first byte that differs
//   Replayer::Difference()            after the first byte that differs: the trace line, the
//                                     byte offset, the expected and the received byte
//   ServeReplay(...)                  the replayer on a PtyBox, for one session
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "stbsim/box_sim.h"

struct TraceEvent {
  enum Kind { kTx, kRx, kTimeOut };
  Kind kind;
  int line;       // 1-based line of the trace file
  int64_t at_us;  // recorded time since the start of the run
  std::vector<uint8_t> bytes;
};

struct Trace {
  std::string header;              // the second header line, without "# "
  std::string image_sha256;        // from the header; empty when it names none
  std::vector<std::string> lines;  // the whole file, for quoting a line
  std::vector<TraceEvent> events;
};

bool LoadTrace(const std::string& path, Trace* trace, std::string* error);

class Replayer : public BoxMachine {
 public:
  Replayer(const Trace* trace, bool fast);

  // The session starts (the port is ready for the tool) at now_us.
  void Start(uint64_t now_us);
  void Receive(uint8_t byte, uint64_t now_us) override;
  bool PeekOutput(BoxOutput* out) const override;
  bool PopOutput(BoxOutput* out) override;
  bool Ended() const override { return differed_; }

  bool differed() const { return differed_; }
  // Every TX byte matched and every RX byte handed out.
  bool finished() const { return !differed_ && next_ >= trace_->events.size() && out_.empty(); }
  std::string Difference() const { return difference_; }
  uint64_t matched() const { return tx_offset_; }

 private:
  void Advance();

  const Trace* trace_;
  bool fast_;
  size_t next_ = 0;         // the event being waited for (a TX line) or the end
  size_t in_line_ = 0;      // bytes of that TX line already matched
  uint64_t tx_offset_ = 0;  // TX bytes matched in all
  int64_t anchor_real_us_ = 0;
  int64_t anchor_recorded_us_ = 0;
  bool timed_out_since_anchor_ = false;
  std::deque<BoxOutput> out_;
  bool differed_ = false;
  std::string difference_;
};

// stbsim --replay: serves one session of the trace on a new pty linked at link. Returns the
// exit status: 0 when the tool sent exactly the trace's bytes and closed the port, 2 after the
// first difference (printed on stderr), 1 when the trace cannot be read, the pty cannot be
// made, the tool stopped early, or stop was set.
int ServeReplay(const std::string& trace_path, const std::string& link, bool fast, const std::atomic<bool>* stop);
