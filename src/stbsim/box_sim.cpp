// The simulated box's core: the line's timing, the injected faults, the replies and the
// command matcher that both of the box's stages use. The boot ROM model is in
// box_sim_bootrom.cpp, the bootloader model in box_sim_bootloader.cpp.
#include "stbsim/box_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <iterator>

#include "common/common.h"
#include "stbsim/box_sim_line.h"

using namespace box_line;  // the line's bytes, private to the box

namespace {

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
        for (uint32_t i = 0; i < config_.fault.noise_bytes; ++i) {
          Queue(config_.fault.noise_byte, at);
        }
        at += config_.fault.noise_gap_ms;
      }
      break;
    case BoxFault::kNoiseAhead:
      if (!bytes.empty()) {
        Log("%s: a noise byte %02X %.0f ms ahead of the answer", PointName(point), config_.fault.noise_byte, ahead_ms_);
        Queue(config_.fault.noise_byte, at - ahead_ms_);
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
  if (fault == BoxFault::kExtraAck && !bytes.empty()) {
    Log("%s: a 06 of noise right behind the answer", PointName(point));
    Queue(kExtraAckByte, at);
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
