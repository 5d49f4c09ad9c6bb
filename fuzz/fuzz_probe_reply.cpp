// GetPlatformID's reply reader: arbitrary bytes from the box after one identification request.
//
// Input: [flags] [late index] [late delay / 4 ms] [stale count] then the bytes the box sends.
//   flags bit 0: the line hangs up after the last byte (else it goes silent)
//   flags bit 1: the first <stale count> bytes came before the request (the probe must purge
//                them); the rest is the answer to the request
#include <cstring>

#include "bootrom/bootrom.h"
#include "fuzz_support.h"

namespace {

constexpr uint8_t kRequest[] = {0xA5, 0x02, 0x00, 0x11, 0x12};

struct Expected {
  int result = 0;
  bool repair = false;
  uint8_t reply[kPlatformReplySize] = {};
  std::string text;
  size_t unread = 0;
};

// A probe succeeds on the first A5 that has 12 bytes after it, or on 05 08 / 0E 08 as the
// first two bytes; it fails on the first read that brings nothing.
void ReadReply(fuzz::LineModel& line, Expected& e) {
  uint8_t first = 0;
  uint8_t byte = 0;
  for (size_t position = 1; line.Read(kProbeTimeoutMs, &byte) == fuzz::LineModel::kByte; ++position) {
    if (byte == 0xA5) {
      e.reply[0] = byte;
      e.text = "STB response: A5 ";
      for (uint32_t i = 1; i < kPlatformReplySize; ++i) {
        if (line.Read(kProbeTimeoutMs, &e.reply[i]) != fuzz::LineModel::kByte) {
          return;
        }
        e.text += fuzz::Format("%X ", e.reply[i]);
      }
      e.text += "\n";
      e.result = 1;
      return;
    }
    if (position == 1) {
      first = byte;
    } else if (position == 2 && byte == 0x08 && (first == 0x05 || first == 0x0E)) {
      e.text = "STB: REPAIR_MODE\n";
      e.result = 1;
      e.repair = true;
      return;
    }
  }
}

Expected Model(const fuzz::LineScript& script) {
  fuzz::LineModel line(script);
  Expected e;
  ReadReply(line, e);
  e.unread = line.Unread();
  return e;
}

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
  fuzz::LineScript script;
  const uint8_t flags = fuzz::ReadOpening(in, 1, 4, &script);
  const uint8_t stale_count = in.Byte();
  const fuzz::Bytes stale = in.Take((flags & 2) != 0 ? stale_count : 0);
  script.bytes = in.Rest();

  fuzz::ResetRun();
  serial_memory::Push(stale);
  // The box answers once the whole request is out: the purge before it must not eat the answer.
  serial_memory::SetWriteHook([&script](uint8_t /*byte*/, uint64_t /*now*/) {
    if (serial_memory::Written().size() == sizeof kRequest) {
      fuzz::QueueScript(script);
    }
  });

  uint8_t reply[kPlatformReplySize] = {};
  const int result = GetPlatformID(serial_memory::Handle(), reply, kProbeTimeoutMs);
  const Expected want = Model(script);

  FUZZ_CHECK(result == want.result);
  FUZZ_CHECK_TEXT(fuzz::Console::Text(), want.text);
  FUZZ_CHECK(InRepairMode() == want.repair);
  if (result == 1 && !want.repair) {
    FUZZ_CHECK(std::memcmp(reply, want.reply, sizeof reply) == 0);
  }
  FUZZ_CHECK(serial_memory::Written() == fuzz::Bytes(kRequest, kRequest + sizeof kRequest));
  FUZZ_CHECK(serial_memory::Policies() == std::vector<uint32_t>{kProbeTimeoutMs});
  FUZZ_CHECK(serial_memory::Purges() == 1);
  FUZZ_CHECK(fuzz::DrainUnread() == want.unread);
}
