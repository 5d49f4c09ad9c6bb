// The simulated box: its boot ROM, then the remote bootloader that the image starts.
//
// A byte-driven state machine with no I/O of its own. Receive() takes each byte the tool
// wrote, with the time it arrived; PopOutput() hands out what the box sends, each item with
// the time it leaves. The same machine runs behind the in-memory port (virtual time) and on a
// pseudo-terminal (real time, PtyBox in stbsim/pty_box.h).
//
// The box checks what it receives as a real one would: request bytes, the boot ROM file
// header, every frame's checksum and FF fill, the SDF header's CRC, every block's checksum
// and fill. What it answers is chosen by BoxConfig, including injected faults.
//
// Choices where a real box leaves room:
//   - a damaged frame is answered 15 and not taken; an image with a frame missing is not
//     started, and the boot ROM goes back to answering probes
//   - the bootloader takes a header or block only when its verdict is 06; a block verdict
//     that is not 06 makes it expect the same block again
//   - the bootloader answers repeated probes (its first answer may not have arrived) and
//     sends the ready signal again after each, dropping one still queued (not yet popped);
//     an SDF header that starts with the probe request is taken for a probe
//   - a fault's index counts the occurrences of its point, from 0; it fires once
//   - before its final verdict the bootloader compares the CRC of the body it took with the
//     header's data_crc32 and refuses (15) on a mismatch (check_body); it holds only
//     data_length bytes, so a file whose data_crc32 also covers bytes after them is refused
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

// Where in the exchange a fault or a scripted answer applies.
enum class BoxPoint {
  kProbe,       // a GetPlatformID answer (index: 0-based probe count, both stages)
  kReset,       // the reset reply
  kGo,          // the go reply
  kFileHeader,  // the boot ROM file header and its answer
  kFrame,       // image frame (index: frame number)
  kReady,       // the bootloader's ready signal
  kSdfHeader,   // the SDF header and its verdict
  kBlock,       // an SDF block (index: 0-based count of blocks received, retries included)
  kAfterLast,   // the verdict after the last block
  kFinal,       // the last verdict
};

enum class BoxFault {
  kNone,
  kCorruptIn,   // one byte the tool sent at this point arrives damaged: the box must refuse it
  kCorruptOut,  // one byte of the box's answer leaves damaged
  kDrop,        // one byte of the box's answer is lost
  kNoise,       // extra bytes noise_byte go before the answer (noise_bytes of them, noise_gap_ms ahead)
  kDelay,       // the answer leaves delay_ms late
  kRefuse,      // the box refuses (15 to a verdict, silence to a boot ROM command)
  kUnknown,     // the answer is replaced by the byte 0x41
  kHangUp,      // the box hangs up instead of answering
  kExtraAck,    // one byte 06 of noise right behind the answer
  kNoiseAhead,  // one noise byte (noise_byte) as the message arrives, ahead of the box's time to
                // store it; at the final verdict, as the verdict before it leaves
};
// kCorruptIn has no effect at kReady, kAfterLast and kFinal (nothing arrives there).

struct FaultPlan {
  BoxFault fault = BoxFault::kNone;
  BoxPoint point = BoxPoint::kProbe;
  int index = 0;
  uint32_t delay_ms = 6000;
  uint32_t noise_bytes = 1;   // a burst, for kNoise
  uint32_t noise_gap_ms = 0;  // the answer follows the noise this much later
  uint8_t noise_byte = 0x5A;  // what the noise faults send: a verdict's value makes it one
};

struct BoxConfig {
  // Boot ROM.
  int silent_probes = 0;                         // probes left unanswered first; -1 = for ever
  std::vector<uint8_t> junk_before_reply;        // sent before each A5 reply
  uint8_t repair_first = 0;                      // 05 or 0E: box waits in repair mode
  std::vector<uint8_t> reset_reply{0x05, 0x08};  // answer to the reset request
  uint8_t go_reply = 0x09;
  uint8_t frame_ack = 0x09;  // 09 or 0A
  int odd_frame = -1;        // this frame is answered odd_frame_answer
  uint8_t odd_frame_answer = 0x41;
  uint32_t boot_delay_ms = 200;  // after the last frame, deaf this long
  bool never_boot = false;
  // Remote bootloader.
  std::vector<uint8_t> ready_noise;  // sent before 53 44 46 10
  uint32_t ready_delay_ms = 0;       // after the first probe answer
  uint8_t header_verdict = 0x06;
  int refuse_block = -1;  // this block (0-based) is refused
  int refuse_times = 0;   //   this many times with 15
  int odd_block = -1;     // this block gets odd_verdict once
  uint8_t odd_verdict = 0x41;
  std::string text;                         // sent as 02 text 00 before one verdict:
  bool text_before_header_verdict = false;  //   the header's,
  bool text_before_final = false;           //   the last one, else the one after the last block
  uint8_t after_last_verdict = 0x06;
  uint8_t final_verdict = 0x06;
  uint32_t store_ms = 0;         // the header's and each block's verdict leave this late: the time to store
  uint32_t store_jitter_ms = 0;  // each block's store takes up to this much more, varying by block
  uint32_t last_block_ms = 0;    // the last block's store time instead, when not 0
  uint32_t final_delay_ms = 0;   // the final verdict leaves this long after the one before it
  bool check_body = true;        // the body taken must match data_crc32, or the final verdict is 15
  FaultPlan fault;
  // Line pacing: ms per byte in each direction (0 = answer at once). 115,200 8N1 is 0.0868.
  double byte_time_ms = 0;
  // The 12 bytes after A5 in a probe answer (any other count is sent as given).
  std::vector<uint8_t> platform_id{0x4B, 0x4D, 0x56, 0x37, 0x37, 0x32, 0x30, 0x50, 0x00, 0x01, 0x0A, 0x1F};
};

// Where the box is; readable from another thread while a PtyBox runs it.
enum class BoxPhase {
  kBootRom,     // answering probes, reset and go
  kImage,       // taking the file header and frames
  kStarting,    // image taken; deaf for the boot delay (or for ever)
  kBootloader,  // probe answered, ready signal sent; waiting for the SDF header
  kBody,        // taking blocks
  kFinished,    // final verdict sent
  kHungUp,
};

struct BoxOutput {
  uint64_t at_ms;  // box time: ms here, whatever unit the driver's clock gives on a pty
  bool hang_up;
  uint8_t byte;
};

// The box's end of the line as a driver sees it (PtyBox, the in-memory port's hook): a
// byte-driven machine that takes each byte the tool wrote with the time it arrived, and hands
// out what it sends, each with the time it leaves. BoxSim plays a box; the replayer a trace.
class BoxMachine {
 public:
  virtual ~BoxMachine() = default;
  virtual void Receive(uint8_t byte, uint64_t now) = 0;
  // The next thing the box sends, in time order; false when nothing is queued.
  virtual bool PeekOutput(BoxOutput* out) const = 0;
  virtual bool PopOutput(BoxOutput* out) = 0;
  // True once the session must end at once (the replayer after the first byte that differs).
  virtual bool Ended() const { return false; }
};

class BoxSim : public BoxMachine {
 public:
  explicit BoxSim(BoxConfig config, std::FILE* log = nullptr);

  void Receive(uint8_t byte, uint64_t now_ms) override;
  bool PopOutput(BoxOutput* out) override;
  bool PeekOutput(BoxOutput* out) const override;

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
  int frames_seen() const { return frames_seen_; }
  int blocks_seen() const { return blocks_seen_; }  // retries included
  BoxPhase phase() const { return phase_.load(); }

 private:
  enum class State { kRomIdle, kRomHeader, kRomFrames, kStarting, kLoaderHeader, kLoaderBlocks, kDone };
  enum class Command { kNeedMore, kProbe, kReset, kStray };

  double Arrive(uint64_t now_ms);
  Command MatchCommand(uint8_t byte);
  void Stray(uint8_t byte, size_t count);
  void EndStrayRun();
  BoxFault TakeFault(BoxPoint point);
  void Reply(BoxPoint point, BoxFault fault, std::vector<uint8_t> bytes, size_t key, double at);
  void Queue(uint8_t byte, double at);
  void SetState(State state, BoxPhase phase);

  void RomIdleByte(uint8_t byte, double t);
  void RomProbe(double t);
  void RomReset(double t);
  void RomGo(double t);
  void RomHeader(double t);
  void RomFrame(double t);
  void StartingByte(uint8_t byte, double t);
  void LoaderProbe(double t);
  void SendReady(double at);
  void LoaderHeaderByte(uint8_t byte, double t);
  void LoaderHeader(double t);
  void LoaderBlock(double t);
  void Finish(double t);
  std::vector<uint8_t> ProbeAnswer(size_t* key) const;
  std::vector<uint8_t> WithText(bool text_here, uint8_t verdict) const;
  double BlockStoreMs(int received, bool last) const;

  void Complain(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

  BoxConfig config_;
  std::FILE* log_;
  std::deque<BoxOutput> out_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> body_;
  std::vector<uint8_t> sdf_header_;
  std::vector<std::string> complaints_;
  std::vector<uint8_t> pending_;  // bytes of the message being received
  State state_ = State::kRomIdle;
  std::atomic<BoxPhase> phase_{BoxPhase::kBootRom};
  int probes_seen_ = 0;
  bool hung_up_ = false;
  double now_ms_ = 0;     // arrival time of the byte being handled
  double in_clock_ = 0;   // when the line from the tool is free again
  double out_clock_ = 0;  // when the line to the tool is free again
  double ahead_ms_ = 0;   // how far ahead of its answer a kNoiseAhead byte goes
  uint64_t last_out_ms_ = 0;
  size_t ready_tail_ = 0;   // bytes of an unsent ready signal at the end of out_
  double ready_clock_ = 0;  // out_clock_ and last_out_ms_ before that ready signal
  uint64_t ready_last_ms_ = 0;
  int point_seen_[10] = {};
  bool go_allowed_ = false;
  size_t stray_count_ = 0;
  double boot_done_ms_ = 0;
  uint32_t image_length_ = 0;
  int frames_expected_ = 0;
  int frames_taken_ = 0;
  uint32_t data_length_ = 0;
  uint32_t blocks_expected_ = 0;
  uint32_t next_block_ = 0;
  int frames_seen_ = 0;
  int blocks_seen_ = 0;
  int refusals_left_ = 0;
  bool odd_block_done_ = false;
  bool update_complete_ = false;
};
