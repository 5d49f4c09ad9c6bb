// The simulated box's remote bootloader: its probe answer and ready signal, the SDF header and
// its verdict, the blocks with theirs, and the two closing verdicts.
#include <algorithm>
#include <cstring>

#include "common/common.h"
#include "sdf/sdf.h"
#include "stbsim/box_sim.h"
#include "stbsim/box_sim_line.h"

using namespace box_line;  // the line's bytes, private to the box

namespace {

// Larger lengths are taken for damaged headers rather than allocated.
constexpr uint32_t kMaxDataLength = 64u << 20;

}  // namespace

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
  // A box that stores slowly prepares its flash for the header as slowly.
  t += config_.store_ms;
  ahead_ms_ = config_.store_ms;
  const std::vector<uint8_t> bytes = WithText(config_.text_before_header_verdict, verdict);
  Reply(BoxPoint::kSdfHeader, fault, bytes, bytes.size() - 1, t);
  ahead_ms_ = 0;
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
  ahead_ms_ = BlockStoreMs(n, k + 1 == blocks_expected_);
  t += ahead_ms_;
  Reply(BoxPoint::kBlock, fault, {verdict}, 0, t);
  ahead_ms_ = 0;
  if (verdict == kAck && !hung_up_ && next_block_ == blocks_expected_) {
    Finish(t);
  }
}

// The same for every run: a block's jitter follows from its count of arrival.
double BoxSim::BlockStoreMs(int received, bool last) const {
  const uint32_t base = last && config_.last_block_ms != 0 ? config_.last_block_ms : config_.store_ms;
  if (config_.store_jitter_ms == 0) {
    return base;
  }
  const uint32_t mix = (static_cast<uint32_t>(received) + 1u) * 2654435761u;
  return base + (mix >> 8) % (config_.store_jitter_ms + 1);
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
  uint32_t crc = 0;
  Crc32Update(body_.data(), &crc, static_cast<uint32_t>(body_.size()));
  const uint32_t stated = ReadLe32(sdf_header_.data() + kSdfDataCrcOffset);
  if (config_.check_body && crc != stated) {
    Complain("body: CRC %08X, data_crc32 %08X: the update is refused", crc, stated);
    final_verdict = kNak;
  }
  if (final_fault == BoxFault::kRefuse) {
    final_verdict = kNak;
  } else if (final_fault == BoxFault::kUnknown) {
    final_verdict = kUnknownAnswer;
  }
  bytes = WithText(config_.text_before_final, final_verdict);
  // The box checks the body it stored before it gives its last verdict.
  ahead_ms_ = config_.final_delay_ms;
  Reply(BoxPoint::kFinal, final_fault, bytes, bytes.size() - 1, t + config_.final_delay_ms);
  ahead_ms_ = 0;
  if (hung_up_) {
    return;
  }
  update_complete_ = after == kAck && final_verdict == kAck;
  Log("body of %zu bytes taken; verdicts %02X %02X; update %s", body_.size(), after, final_verdict,
      update_complete_ ? "complete" : "refused");
  SetState(State::kDone, BoxPhase::kFinished);
}
