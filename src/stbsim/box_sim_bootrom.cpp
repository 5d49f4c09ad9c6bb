// The simulated box's boot ROM: probes, the reset and go exchange, the file header and the
// image frames, then the boot delay before the bootloader answers.
#include <algorithm>
#include <cstring>

#include "common/common.h"
#include "sdf/sdf.h"
#include "stbsim/box_sim.h"
#include "stbsim/box_sim_line.h"

using namespace box_line;  // the line's bytes, private to the box

namespace {

// Larger lengths are taken for damaged headers rather than allocated.
constexpr uint32_t kMaxImageLength = 1u << 20;

}  // namespace

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
