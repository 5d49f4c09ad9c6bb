#include "stbsim/box_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <iterator>

#include "common/common.h"
#include "sdf/sdf.h"

namespace {

constexpr uint8_t kProbeRequest[] = {0xA5, 0x02, 0x00, 0x11, 0x12};
constexpr uint8_t kResetRequest[] = {0xA5, 0x02, 0x00, 0x12, 0x13};
constexpr size_t kCommandSize = sizeof kProbeRequest;
constexpr uint8_t kPlatformMark = 0xA5;
constexpr uint8_t kRepairSecond = 0x08;
constexpr uint8_t kGoByte = 0x09;
constexpr uint8_t kHeaderAck = 0x09;
constexpr size_t kRomHeaderSize = 21;  // 20 header bytes and the end byte 09
constexpr size_t kFrameBytes = kBlockSize + 1;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kTextStart = 0x02;
constexpr uint8_t kTextEnd = 0x00;
constexpr uint8_t kReadySignal[] = {0x53, 0x44, 0x46, 0x10};
constexpr uint8_t kUnknownAnswer = 0x41;
constexpr uint8_t kNoiseByte = 0x5A;
constexpr uint8_t kLineDamage = 0x80;  // a damaged byte has its top bit flipped
// Larger lengths are taken for damaged headers rather than allocated.
constexpr uint32_t kMaxImageLength = 1u << 20;
constexpr uint32_t kMaxDataLength = 64u << 20;

const char* PointName(BoxPoint point) {
  switch (point) {
    case BoxPoint::kProbe:
      return "probe";
    case BoxPoint::kReset:
      return "reset";
    case BoxPoint::kGo:
      return "go";
    case BoxPoint::kFileHeader:
      return "file header";
    case BoxPoint::kFrame:
      return "frame";
    case BoxPoint::kReady:
      return "ready";
    case BoxPoint::kSdfHeader:
      return "SDF header";
    case BoxPoint::kBlock:
      return "block";
    case BoxPoint::kAfterLast:
      return "after-last verdict";
    case BoxPoint::kFinal:
      return "final verdict";
  }
  return "?";
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char one[4];
  for (const uint8_t b : bytes) {
    std::snprintf(one, sizeof one, "%s%02X", text.empty() ? "" : " ", b);
    text += one;
  }
  return text.empty() ? "nothing" : text;
}

bool StartsWith(const std::vector<uint8_t>& bytes, const uint8_t* prefix, size_t prefix_size) {
  const size_t n = std::min(bytes.size(), prefix_size);
  return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), prefix);
}

}  // namespace

BoxSim::BoxSim(BoxConfig config, std::FILE* log) : config_(std::move(config)), log_(log) {
  refusals_left_ = config_.refuse_times;
  go_allowed_ = config_.repair_first != 0;
}

bool BoxSim::image_complete() const { return frames_expected_ > 0 && frames_taken_ == frames_expected_; }

bool BoxSim::update_complete() const { return update_complete_; }

bool BoxSim::PeekOutput(BoxOutput* out) const {
  if (out_.empty()) {
    return false;
  }
  *out = out_.front();
  return true;
}

bool BoxSim::PopOutput(BoxOutput* out) {
  if (!PeekOutput(out)) {
    return false;
  }
  out_.pop_front();
  ready_tail_ = std::min(ready_tail_, out_.size());
  return true;
}

void BoxSim::Log(const char* format, ...) {
  if (log_ == nullptr) {
    return;
  }
  std::fprintf(log_, "stbsim [%8.1f ms] ", now_ms_);
  va_list args;
  va_start(args, format);
  std::vfprintf(log_, format, args);
  va_end(args);
  std::fputc('\n', log_);
  std::fflush(log_);
}

void BoxSim::Complain(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  complaints_.emplace_back(line);
  Log("complaint: %s", line);
}

void BoxSim::SetState(State state, BoxPhase phase) {
  state_ = state;
  phase_.store(phase);
}

// A byte that the tool hands to the line at now_ms is complete at the box one byte time after
// the line is free: a burst of writes arrives at line speed, not at once.
double BoxSim::Arrive(uint64_t now_ms) {
  const double now = static_cast<double>(now_ms);
  in_clock_ = config_.byte_time_ms > 0 ? std::max(now, in_clock_) + config_.byte_time_ms : now;
  return in_clock_;
}

void BoxSim::Queue(uint8_t byte, double at) {
  double done = std::max(at, out_clock_);
  if (config_.byte_time_ms > 0) {
    done += config_.byte_time_ms;
  }
  out_clock_ = done;
  // Whole milliseconds, never earlier than the byte is complete, and in queue order.
  last_out_ms_ = std::max(last_out_ms_, static_cast<uint64_t>(std::ceil(done - 1e-9)));
  out_.push_back(BoxOutput{last_out_ms_, false, byte});
}

BoxFault BoxSim::TakeFault(BoxPoint point) {
  const int seen = point_seen_[static_cast<int>(point)]++;
  if (config_.fault.fault != BoxFault::kNone && config_.fault.point == point && config_.fault.index == seen) {
    return config_.fault.fault;
  }
  return BoxFault::kNone;
}

// Sends an answer, applying the faults of the line. key is the byte that carries the meaning:
// the one that is damaged or lost.
void BoxSim::Reply(BoxPoint point, BoxFault fault, std::vector<uint8_t> bytes, size_t key, double at) {
  ready_tail_ = 0;
  switch (fault) {
    case BoxFault::kHangUp:
      Log("%s: hanging up instead of answering", PointName(point));
      hung_up_ = true;
      SetState(state_, BoxPhase::kHungUp);
      out_.push_back(BoxOutput{std::max(last_out_ms_, static_cast<uint64_t>(std::ceil(at))), true, 0});
      return;
    case BoxFault::kDelay:
      Log("%s: answer held back %u ms", PointName(point), config_.fault.delay_ms);
      at += config_.fault.delay_ms;
      break;
    case BoxFault::kNoise:
      if (!bytes.empty()) {
        bytes.insert(bytes.begin(), kNoiseByte);
      }
      break;
    case BoxFault::kCorruptOut:
      if (key < bytes.size()) {
        bytes[key] ^= kLineDamage;
        Log("%s: answer byte %zu damaged on the line", PointName(point), key);
      }
      break;
    case BoxFault::kDrop:
      if (key < bytes.size()) {
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(key));
        Log("%s: answer byte %zu lost on the line", PointName(point), key);
      }
      break;
    default:
      break;
  }
  for (const uint8_t b : bytes) {
    Queue(b, at);
  }
}

BoxSim::Command BoxSim::MatchCommand(uint8_t byte) {
  pending_.push_back(byte);
  const bool probe = StartsWith(pending_, kProbeRequest, kCommandSize);
  const bool reset = StartsWith(pending_, kResetRequest, kCommandSize);
  if (pending_.size() == kCommandSize && (probe || reset)) {
    pending_.clear();
    EndStrayRun();
    return probe ? Command::kProbe : Command::kReset;
  }
  if (probe || reset) {
    return Command::kNeedMore;
  }
  // The sequence broke: what came so far is stray, but an A5 may start the next request.
  size_t stray = pending_.size();
  pending_.clear();
  if (byte == kPlatformMark) {
    pending_.push_back(byte);
    --stray;
  }
  Stray(byte, stray);
  return Command::kStray;
}

// One complaint per run of unexpected bytes, not one per byte.
void BoxSim::Stray(uint8_t byte, size_t count) {
  if (count == 0) {
    return;
  }
  if (stray_count_ == 0) {
    Complain("unexpected byte %02X (%s)", byte, state_ == State::kDone ? "after the update" : "no request");
  }
  stray_count_ += count;
}

void BoxSim::EndStrayRun() {
  if (stray_count_ > 1) {
    Log("%zu stray bytes skipped", stray_count_);
  }
  stray_count_ = 0;
}

void BoxSim::Receive(uint8_t byte, uint64_t now_ms) {
  if (hung_up_) {
    return;
  }
  now_ms_ = Arrive(now_ms);
  const double t = now_ms_;
  switch (state_) {
    case State::kRomIdle:
      RomIdleByte(byte, t);
      break;
    case State::kRomHeader:
      pending_.push_back(byte);
      if (pending_.size() == kRomHeaderSize) {
        RomHeader(t);
      }
      break;
    case State::kRomFrames:
      pending_.push_back(byte);
      if (pending_.size() == kFrameBytes) {
        RomFrame(t);
      }
      break;
    case State::kStarting:
      StartingByte(byte, t);
      break;
    case State::kLoaderHeader:
      LoaderHeaderByte(byte, t);
      break;
    case State::kLoaderBlocks:
      pending_.push_back(byte);
      if (pending_.size() == kFrameBytes) {
        LoaderBlock(t);
      }
      break;
    case State::kDone:
      Stray(byte, 1);
      break;
  }
}

// ---- Boot ROM ----

void BoxSim::RomIdleByte(uint8_t byte, double t) {
  if (pending_.empty() && byte == kGoByte && go_allowed_) {
    EndStrayRun();
    RomGo(t);
    return;
  }
  switch (MatchCommand(byte)) {
    case Command::kProbe:
      RomProbe(t);
      break;
    case Command::kReset:
      RomReset(t);
      break;
    default:
      break;
  }
}

std::vector<uint8_t> BoxSim::ProbeAnswer(size_t* key) const {
  std::vector<uint8_t> bytes = config_.junk_before_reply;
  *key = bytes.size();
  bytes.push_back(kPlatformMark);
  bytes.insert(bytes.end(), config_.platform_id.begin(), config_.platform_id.end());
  return bytes;
}

void BoxSim::RomProbe(double t) {
  const int n = probes_seen_++;
  const BoxFault fault = TakeFault(BoxPoint::kProbe);
  if (fault == BoxFault::kCorruptIn) {
    Complain("probe %d arrived damaged: not answered", n);
    return;
  }
  const bool silent = config_.silent_probes < 0 || n < config_.silent_probes;
  if (silent || fault == BoxFault::kRefuse) {
    Log("probe %d: not answered", n);
    Reply(BoxPoint::kProbe, fault, {}, 0, t);
    return;
  }
  std::vector<uint8_t> bytes;
  size_t key = 0;
  if (config_.repair_first != 0) {
    bytes = {config_.repair_first, kRepairSecond};
  } else {
    bytes = ProbeAnswer(&key);
  }
  if (fault == BoxFault::kUnknown) {
    bytes = {kUnknownAnswer};
    key = 0;
  }
  Log("probe %d: boot ROM answers %s", n, Hex(bytes).c_str());
  Reply(BoxPoint::kProbe, fault, bytes, key, t);
}

void BoxSim::RomReset(double t) {
  const BoxFault fault = TakeFault(BoxPoint::kReset);
  if (fault == BoxFault::kCorruptIn) {
    Complain("reset request arrived damaged: not answered");
    return;
  }
  if (fault == BoxFault::kRefuse) {
    Log("reset request: not answered");
    return;
  }
  std::vector<uint8_t> bytes = config_.reset_reply;
  if (fault == BoxFault::kUnknown) {
    bytes = {kUnknownAnswer};
  }
  go_allowed_ = true;
  Log("reset request: answers %s", Hex(bytes).c_str());
  Reply(BoxPoint::kReset, fault, bytes, bytes.empty() ? 0 : bytes.size() - 1, t);
}

void BoxSim::RomGo(double t) {
  const BoxFault fault = TakeFault(BoxPoint::kGo);
  if (fault == BoxFault::kCorruptIn) {
    Complain("go byte arrived damaged: not answered");
    return;
  }
  if (fault == BoxFault::kRefuse) {
    Log("go byte: not answered");
    return;
  }
  const uint8_t answer = fault == BoxFault::kUnknown ? kUnknownAnswer : config_.go_reply;
  Log("go byte: answers %02X; file header next", answer);
  SetState(State::kRomHeader, BoxPhase::kImage);
  Reply(BoxPoint::kGo, fault, {answer}, 0, t);
}

void BoxSim::RomHeader(double t) {
  const BoxFault fault = TakeFault(BoxPoint::kFileHeader);
  if (fault == BoxFault::kCorruptIn) {
    pending_[6] ^= 0xFF;
  }
  const std::vector<uint8_t> header = std::move(pending_);
  pending_.clear();
  const uint32_t length = ReadLe32(header.data() + 2);
  const char* wrong = nullptr;
  if (header[0] != 0x01 || header[1] != 0x01) {
    wrong = "does not start 01 01";
  } else if (std::any_of(header.begin() + 6, header.begin() + 20, [](uint8_t b) { return b != 0; })) {
    wrong = "has nonzero bytes after the length";
  } else if (header[20] != kGoByte) {
    wrong = "does not end with 09";
  } else if (length == 0 || length > kMaxImageLength) {
    wrong = "gives an impossible length";
  }
  if (wrong != nullptr || fault == BoxFault::kRefuse) {
    if (wrong != nullptr) {
      Complain("file header %s: %s; refused", wrong, Hex(header).c_str());
    } else {
      Log("file header: refused");
    }
    SetState(State::kRomIdle, BoxPhase::kBootRom);
    Reply(BoxPoint::kFileHeader, fault, {}, 0, t);
    return;
  }
  image_length_ = length;
  image_.assign(length, 0);
  frames_expected_ = static_cast<int>((length + kBlockSize - 1) / kBlockSize);
  frames_taken_ = 0;
  frames_seen_ = 0;
  const uint8_t answer = fault == BoxFault::kUnknown ? kUnknownAnswer : kHeaderAck;
  Log("file header: image of %u bytes in %d frames; answers %02X", length, frames_expected_, answer);
  SetState(State::kRomFrames, BoxPhase::kImage);
  Reply(BoxPoint::kFileHeader, fault, {answer}, 0, t);
}

void BoxSim::RomFrame(double t) {
  const int k = frames_seen_++;
  const BoxFault fault = TakeFault(BoxPoint::kFrame);
  if (fault == BoxFault::kCorruptIn) {
    pending_[0] ^= 0x01;
  }
  const uint32_t offset = static_cast<uint32_t>(k) * kBlockSize;
  const uint32_t count = std::min<uint32_t>(kBlockSize, image_length_ - offset);
  const uint8_t sum = SumBytes(pending_.data(), kBlockSize);
  const bool sum_ok = sum == pending_[kBlockSize];
  const bool fill_ok =
      std::all_of(pending_.begin() + count, pending_.begin() + kBlockSize, [](uint8_t b) { return b == kFillByte; });
  uint8_t answer = k == config_.odd_frame ? config_.odd_frame_answer : config_.frame_ack;
  bool taken = sum_ok && fill_ok && fault != BoxFault::kRefuse;
  if (!sum_ok) {
    Complain("frame %d: checksum %02X, the data sums to %02X", k, pending_[kBlockSize], sum);
    answer = kNak;
  } else if (!fill_ok) {
    Complain("frame %d: carries %u image bytes but the rest is not FF", k, count);
    answer = kNak;
  }
  if (fault == BoxFault::kUnknown) {
    answer = kUnknownAnswer;
  }
  if (taken) {
    std::memcpy(image_.data() + offset, pending_.data(), count);
    ++frames_taken_;
  }
  pending_.clear();
  if (fault == BoxFault::kRefuse) {
    Log("frame %d: not answered, not taken", k);
    Reply(BoxPoint::kFrame, fault, {}, 0, t);
  } else {
    Log("frame %d: %u image bytes%s; answers %02X", k, count, taken ? "" : ", not taken", answer);
    Reply(BoxPoint::kFrame, fault, {answer}, 0, t);
  }
  if (hung_up_ || k + 1 < frames_expected_) {
    return;
  }
  if (image_complete()) {
    boot_done_ms_ = t + config_.boot_delay_ms;
    Log("image complete; %s", config_.never_boot ? "it never starts" : "starting it");
    SetState(State::kStarting, BoxPhase::kStarting);
  } else {
    Complain("image incomplete (%d of %d frames taken): not started", frames_taken_, frames_expected_);
    go_allowed_ = config_.repair_first != 0;
    SetState(State::kRomIdle, BoxPhase::kBootRom);
  }
}

// ---- Remote bootloader ----

void BoxSim::StartingByte(uint8_t byte, double t) {
  const Command command = MatchCommand(byte);
  if (command != Command::kProbe) {
    return;
  }
  if (!config_.never_boot && t >= boot_done_ms_) {
    LoaderProbe(t);
    return;
  }
  const int n = probes_seen_++;
  const BoxFault fault = TakeFault(BoxPoint::kProbe);
  Log("probe %d: not answered (starting the image)", n);
  Reply(BoxPoint::kProbe, fault, {}, 0, t);
}

void BoxSim::LoaderProbe(double t) {
  const int n = probes_seen_++;
  const BoxFault fault = TakeFault(BoxPoint::kProbe);
  if (fault == BoxFault::kCorruptIn) {
    Complain("probe %d arrived damaged: not answered", n);
    return;
  }
  if (fault == BoxFault::kRefuse) {
    Log("probe %d: not answered", n);
    return;
  }
  // An earlier ready signal that has not left yet goes after this answer instead.
  if (ready_tail_ > 0) {
    out_.resize(out_.size() - ready_tail_);
    out_clock_ = ready_clock_;
    last_out_ms_ = ready_last_ms_;
    ready_tail_ = 0;
  }
  size_t key = 0;
  std::vector<uint8_t> bytes = ProbeAnswer(&key);
  if (fault == BoxFault::kUnknown) {
    bytes = {kUnknownAnswer};
    key = 0;
  }
  Log("probe %d: bootloader answers %s", n, Hex(bytes).c_str());
  Reply(BoxPoint::kProbe, fault, bytes, key, t);
  if (hung_up_) {
    return;
  }
  SetState(State::kLoaderHeader, BoxPhase::kBootloader);
  SendReady(std::max(t, out_clock_) + config_.ready_delay_ms);
}

void BoxSim::SendReady(double at) {
  const BoxFault fault = TakeFault(BoxPoint::kReady);
  if (fault == BoxFault::kRefuse) {
    Log("ready signal withheld");
    return;
  }
  std::vector<uint8_t> bytes = config_.ready_noise;
  const size_t key = bytes.size();
  bytes.insert(bytes.end(), std::begin(kReadySignal), std::end(kReadySignal));
  if (fault == BoxFault::kUnknown) {
    bytes = {kUnknownAnswer};
  }
  Log("ready signal: %s", Hex(bytes).c_str());
  ready_clock_ = out_clock_;
  ready_last_ms_ = last_out_ms_;
  const size_t before = out_.size();
  Reply(BoxPoint::kReady, fault, bytes, key, at);
  ready_tail_ = hung_up_ ? 0 : out_.size() - before;
}

void BoxSim::LoaderHeaderByte(uint8_t byte, double t) {
  pending_.push_back(byte);
  // The tool probes again when the bootloader's answer did not reach it.
  if (pending_.size() == kCommandSize && StartsWith(pending_, kProbeRequest, kCommandSize)) {
    pending_.clear();
    LoaderProbe(t);
    return;
  }
  if (pending_.size() == kSdfHeaderSize) {
    LoaderHeader(t);
  }
}

std::vector<uint8_t> BoxSim::WithText(bool text_here, uint8_t verdict) const {
  if (!text_here || config_.text.empty()) {
    return {verdict};
  }
  // Sized up front: growing it byte by byte trips a false -Warray-bounds in g++ 12.
  std::vector<uint8_t> bytes(config_.text.size() + 3);
  bytes[0] = kTextStart;
  std::copy(config_.text.begin(), config_.text.end(), bytes.begin() + 1);
  bytes[bytes.size() - 2] = kTextEnd;
  bytes.back() = verdict;
  return bytes;
}

void BoxSim::LoaderHeader(double t) {
  const BoxFault fault = TakeFault(BoxPoint::kSdfHeader);
  if (fault == BoxFault::kCorruptIn) {
    pending_[0] ^= 0x01;
  }
  sdf_header_ = std::move(pending_);
  pending_.clear();
  uint32_t crc = 0;
  Crc32Update(sdf_header_.data(), &crc, kSdfHeaderCrcSpan);
  const uint32_t stored = ReadLe32(sdf_header_.data() + kSdfHeaderCrcOffset);
  const uint32_t length = ReadLe32(sdf_header_.data() + kSdfDataLengthOffset);
  uint8_t verdict = config_.header_verdict;
  if (crc != stored) {
    Complain("SDF header: header_crc32 %08X, the header gives %08X", stored, crc);
    verdict = kNak;
  } else if (length > kMaxDataLength) {
    Complain("SDF header: data_length %u is more than the box takes", length);
    verdict = kNak;
  }
  if (fault == BoxFault::kRefuse) {
    verdict = kNak;
  } else if (fault == BoxFault::kUnknown) {
    verdict = kUnknownAnswer;
  }
  Log("SDF header: data_length %u; verdict %02X", length, verdict);
  const std::vector<uint8_t> bytes = WithText(config_.text_before_header_verdict, verdict);
  Reply(BoxPoint::kSdfHeader, fault, bytes, bytes.size() - 1, t);
  if (verdict != kAck || hung_up_) {
    return;  // the tool may send another header
  }
  data_length_ = length;
  blocks_expected_ = (length + kBlockSize - 1) / kBlockSize;
  next_block_ = 0;
  body_.clear();
  SetState(State::kLoaderBlocks, BoxPhase::kBody);
  if (blocks_expected_ == 0) {
    Finish(t);
  }
}

void BoxSim::LoaderBlock(double t) {
  const int n = blocks_seen_++;
  const BoxFault fault = TakeFault(BoxPoint::kBlock);
  if (fault == BoxFault::kCorruptIn) {
    pending_[0] ^= 0x01;
  }
  const uint32_t k = next_block_;
  const uint32_t count = std::min<uint32_t>(kBlockSize, data_length_ - k * kBlockSize);
  const uint8_t sum = SumBytes(pending_.data(), kBlockSize);
  uint8_t verdict = kAck;
  if (sum != pending_[kBlockSize]) {
    Complain("block %u: checksum %02X, the data sums to %02X", k, pending_[kBlockSize], sum);
    verdict = kNak;
  } else if (!std::all_of(pending_.begin() + count, pending_.begin() + kBlockSize,
                          [](uint8_t b) { return b == kFillByte; })) {
    Complain("block %u: carries %u body bytes but the rest is not FF", k, count);
    verdict = kNak;
  } else if (fault == BoxFault::kRefuse) {
    verdict = kNak;
  } else if (static_cast<int>(k) == config_.refuse_block && refusals_left_ > 0) {
    --refusals_left_;
    verdict = kNak;
  } else if (static_cast<int>(k) == config_.odd_block && !odd_block_done_) {
    odd_block_done_ = true;
    verdict = config_.odd_verdict;
  }
  if (fault == BoxFault::kUnknown) {
    verdict = kUnknownAnswer;
  }
  if (verdict == kAck) {
    body_.insert(body_.end(), pending_.begin(), pending_.begin() + count);
    ++next_block_;
  }
  pending_.clear();
  Log("block %u (received #%d): %u body bytes; verdict %02X", k, n, count, verdict);
  Reply(BoxPoint::kBlock, fault, {verdict}, 0, t);
  if (verdict == kAck && !hung_up_ && next_block_ == blocks_expected_) {
    Finish(t);
  }
}

void BoxSim::Finish(double t) {
  const bool text_after_last = !config_.text_before_header_verdict && !config_.text_before_final;
  const BoxFault after_fault = TakeFault(BoxPoint::kAfterLast);
  uint8_t after = config_.after_last_verdict;
  if (after_fault == BoxFault::kRefuse) {
    after = kNak;
  } else if (after_fault == BoxFault::kUnknown) {
    after = kUnknownAnswer;
  }
  std::vector<uint8_t> bytes = WithText(text_after_last, after);
  Reply(BoxPoint::kAfterLast, after_fault, bytes, bytes.size() - 1, t);
  if (hung_up_) {
    return;
  }
  const BoxFault final_fault = TakeFault(BoxPoint::kFinal);
  uint8_t final_verdict = config_.final_verdict;
  if (final_fault == BoxFault::kRefuse) {
    final_verdict = kNak;
  } else if (final_fault == BoxFault::kUnknown) {
    final_verdict = kUnknownAnswer;
  }
  bytes = WithText(config_.text_before_final, final_verdict);
  Reply(BoxPoint::kFinal, final_fault, bytes, bytes.size() - 1, t);
  if (hung_up_) {
    return;
  }
  update_complete_ = after == kAck && final_verdict == kAck;
  Log("body of %zu bytes taken; verdicts %02X %02X; update %s", body_.size(), after, final_verdict,
      update_complete_ ? "complete" : "refused");
  SetState(State::kDone, BoxPhase::kFinished);
}
