// The simulated box: its boot ROM, then the remote bootloader that the image starts.
//
// A byte-driven state machine with no I/O of its own. Receive() takes each byte the tool
// wrote, with the time it arrived; PopOutput() hands out what the box sends, each item with
// the time it leaves. The same machine runs behind the in-memory port (virtual time) and on a
// pseudo-terminal (real time, PtyBox below).
//
// The box checks what it receives as a real one would: request bytes, the boot ROM file
// header, every frame's checksum and FF fill, the SDF header's CRC, every block's checksum
// and fill. What it answers is chosen by BoxConfig, including injected faults.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

// Where in the exchange a fault or a scripted answer applies.
enum class BoxPoint {
  kProbe,        // a GetPlatformID answer (index: 0-based probe count, both stages)
  kReset,        // the reset reply
  kGo,           // the go reply
  kFileHeader,   // the boot ROM file header and its answer
  kFrame,        // image frame (index: frame number)
  kReady,        // the bootloader's ready signal
  kSdfHeader,    // the SDF header and its verdict
  kBlock,        // an SDF block (index: 0-based count of blocks received, retries included)
  kAfterLast,    // the verdict after the last block
  kFinal,        // the last verdict
};

enum class BoxFault {
  kNone,
  kCorruptIn,   // one byte the tool sent at this point arrives damaged: the box must refuse it
  kCorruptOut,  // one byte of the box's answer leaves damaged
  kDrop,        // one byte of the box's answer is lost
  kNoise,       // an extra byte 0x5A goes before the answer
  kDelay,       // the answer leaves delay_ms late
  kRefuse,      // the box refuses (15 to a verdict, silence to a boot ROM command)
  kUnknown,     // the answer is replaced by the byte 0x41
  kHangUp,      // the box hangs up instead of answering
};

struct BoxFaultSpec {
  BoxFault fault = BoxFault::kNone;
  BoxPoint point = BoxPoint::kProbe;
  int index = 0;
  uint32_t delay_ms = 6000;
};

struct BoxConfig {
  // Boot ROM.
  int silent_probes = 0;                         // probes left unanswered first; -1 = for ever
  std::vector<uint8_t> junk_before_reply;        // sent before each A5 reply
  uint8_t repair_first = 0;                      // 05 or 0E: box waits in repair mode
  std::vector<uint8_t> reset_reply{0x05, 0x08};  // answer to the reset request
  uint8_t go_reply = 0x09;
  uint8_t frame_ack = 0x09;                      // 09 or 0A
  int odd_frame = -1;                            // this frame is answered odd_frame_answer
  uint8_t odd_frame_answer = 0x41;
  uint32_t boot_delay_ms = 200;                  // after the last frame, deaf this long
  bool never_boot = false;
  // Remote bootloader.
  std::vector<uint8_t> ready_noise;              // sent before 53 44 46 10
  uint32_t ready_delay_ms = 0;                   // after the first probe answer
  uint8_t header_verdict = 0x06;
  int refuse_block = -1;                         // this block (0-based) is refused
  int refuse_times = 0;                          //   this many times with 15
  int odd_block = -1;                            // this block gets odd_verdict once
  uint8_t odd_verdict = 0x41;
  std::string text;                              // sent as 02 text 00 before the verdicts below
  bool text_before_header_verdict = false;
  bool text_before_final = false;
  uint8_t after_last_verdict = 0x06;
  uint8_t final_verdict = 0x06;
  BoxFaultSpec fault;
  // Line pacing: ms per byte in each direction (0 = answer at once). 115,200 8N1 is 0.0868.
  double byte_time_ms = 0;
};

struct BoxOutput {
  uint64_t at_ms;
  bool hang_up;
  uint8_t byte;
};

class BoxSim {
 public:
  explicit BoxSim(BoxConfig config, std::FILE* log = nullptr);

  void Receive(uint8_t byte, uint64_t now_ms);
  // The next thing the box sends, in time order; false when nothing is queued.
  bool PopOutput(BoxOutput* out);
  bool PeekOutput(BoxOutput* out) const;

  // What arrived intact: the image (as the file header's length gives it) and the SDF body
  // (data_length bytes), each the bytes of the frames/blocks the box accepted.
  const std::vector<uint8_t>& image() const { return image_; }
  const std::vector<uint8_t>& body() const { return body_; }
  const std::vector<uint8_t>& sdf_header() const { return sdf_header_; }
  bool image_complete() const;
  bool update_complete() const;  // final verdict 06 sent
  bool hung_up() const { return hung_up_; }
  // Protocol errors the box saw (bad request, bad checksum, bad fill, ...), one line each.
  const std::vector<std::string>& complaints() const { return complaints_; }
  int probes_seen() const { return probes_seen_; }

 private:
  // Implementation state; see box_sim.cpp.
  void Send(uint8_t byte, uint64_t at_ms);
  void Log(const char* format, ...);

  BoxConfig config_;
  std::FILE* log_;
  std::deque<BoxOutput> out_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> body_;
  std::vector<uint8_t> sdf_header_;
  std::vector<std::string> complaints_;
  std::vector<uint8_t> pending_;  // bytes of the message being received
  int state_ = 0;
  int probes_seen_ = 0;
  bool hung_up_ = false;
  uint64_t last_out_ms_ = 0;
  uint64_t boot_done_ms_ = 0;
  uint32_t image_length_ = 0;
  uint32_t data_length_ = 0;
  int frames_seen_ = 0;
  int blocks_seen_ = 0;
  int refusals_left_ = 0;
  bool update_complete_ = false;
};

// Plays a BoxSim on the master side of a new pseudo-terminal whose slave is linked at
// link_path. Run() returns when the box hung up, the update ended and the tool closed the
// port, or stop became true.
class PtyBox {
 public:
  PtyBox(BoxSim* sim, std::string link_path);
  ~PtyBox();
  bool Open();  // makes the pty (raw on both sides) and the link; false with a reason on stderr
  void Run(const std::atomic<bool>* stop);
  const std::string& slave_path() const { return slave_path_; }

 private:
  BoxSim* sim_;
  std::string link_path_;
  std::string slave_path_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
};
