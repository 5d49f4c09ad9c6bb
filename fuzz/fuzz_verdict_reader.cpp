// The bootloader's verdicts with their text messages: WaitResponse alone, SendBlockWithRetry
// sending one block up to the chosen number of times, or SendSDFHeader (ready signal, header,
// verdict).
//
// Input: [flags] [failing write / 16] [tries] [count, 2 bytes] [block pattern seed]
//        then the bytes the bootloader sends.
//   flags bit 0: the line hangs up after the last byte (else it stays open and silent)
//   flags bit 1: SendBlockWithRetry (else WaitResponse)
//   flags bit 2: from the chosen write on, every write fails
//   flags bit 3: ... and the system gives error code 0, so the failure is silent
//   flags bit 4: SendSDFHeader, with the block's first 20 bytes as the header (before bit 1)
// tries runs from -1 to 4, count from -1 to 1,024.
#include <algorithm>
#include <cstring>

#include "bootloader/bootloader.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t kData = 1024;
constexpr uint8_t kReady[] = {0x53, 0x44, 0x46, 0x10};

enum Verdict { kAck, kNotAck, kDead };

// One verdict: any number of 02 ... 00 texts, printed as they come, then the verdict byte.
Verdict ReadVerdict(fuzz::LineModel& line, std::string& text) {
  uint8_t byte = 0;
  auto next = [&]() {
    if (line.Read(kBlockingRead, &byte) == fuzz::LineModel::kByte) {
      return true;
    }
    text += "WaitResponse: read error...\n";
    return false;
  };
  if (!next()) {
    return kDead;
  }
  while (byte == 0x02) {
    for (;;) {
      if (!next()) {
        return kDead;
      }
      if (byte == 0x00) {
        break;
      }
      text += static_cast<char>(byte);
    }
    if (!next()) {
      return kDead;
    }
  }
  if (byte == 0x06) {
    return kAck;
  }
  if (byte != 0x15) {
    text += fuzz::Format("Unknown response: 0x%X\n", byte);
  }
  return kNotAck;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz::Console::Init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  fuzz::LineScript script;
  const uint8_t flags = in.Byte();
  script.hang_up_at_end = (flags & 1) != 0;
  const bool block = (flags & 2) != 0;
  const bool header_exchange = (flags & 0x10) != 0;
  fuzz::WireModel wire;
  const size_t fail_at = static_cast<size_t>(in.Byte()) * 16;
  wire.fail_from = (flags & 4) != 0 ? fail_at : SIZE_MAX;
  wire.loud = (flags & 8) == 0;
  const int32_t tries = static_cast<int32_t>(in.Byte() % 6) - 1;
  const int32_t count = static_cast<int32_t>(in.Word() % (kData + 2)) - 1;
  const uint8_t seed = in.Byte();
  script.bytes = in.Rest();

  uint8_t buffer[kData];
  for (uint32_t i = 0; i < kData; ++i) {
    buffer[i] = static_cast<uint8_t>(seed + i * 7);
  }
  SdfHeader header{};
  std::copy(buffer, buffer + kSdfHeaderSize, header.bytes);

  fuzz::ResetRun();
  fuzz::QueueScript(script);
  fuzz::FailWrites(wire);
  int result = 0;
  if (header_exchange) {
    // The boot ROM's policy is still in force: the exchange must switch to blocking reads.
    SetReadTimeout(memport::Handle(), kBootRomTimeoutMs);
    result = SendSDFHeader(memport::Handle(), header);
    FUZZ_CHECK(memport::Policies().back() == kBlockingRead);
  } else {
    SetReadTimeout(memport::Handle(), kBlockingRead);
    result = block ? SendBlockWithRetry(memport::Handle(), buffer, count, tries) : WaitResponse(memport::Handle());
  }

  int want = 0;
  std::string& text = wire.text;
  fuzz::LineModel line(script);
  if (header_exchange) {
    text += "Wait For STB ready\n";
    size_t matched = 0;
    uint8_t byte = 0;
    while (matched < sizeof kReady && line.Read(kBlockingRead, &byte) == fuzz::LineModel::kByte) {
      matched = byte == kReady[matched] ? matched + 1 : 0;
    }
    if (matched < sizeof kReady) {
      text += "SendSDFHeader: read error...\n";
    } else {
      text += "Remote BootLoader is ready\n";
      // The header's writes are not looked at: a dead port still gets to the verdict.
      for (const uint8_t b : header.bytes) {
        wire.Write(b);
      }
      text += "wait STB response:\n";
      want = ReadVerdict(line, text) == kAck ? 1 : 0;
    }
  } else if (!block) {
    want = ReadVerdict(line, text) == kAck ? 1 : 0;
  } else {
    // Bytes from count on become FF (all of them for a negative count), then the checksum.
    fuzz::Bytes frame(kData);
    unsigned sum = 0;
    for (uint32_t i = 0; i < kData; ++i) {
      frame[i] = static_cast<int32_t>(i) < count ? static_cast<uint8_t>(seed + i * 7) : 0xFF;
      sum += frame[i];
    }
    frame.push_back(static_cast<uint8_t>(sum));
    FUZZ_CHECK(tries <= 0 || std::memcmp(buffer, frame.data(), kData) == 0);
    for (int32_t t = 0; t < tries && want == 0; ++t) {
      // A dead port ends the block at its first failed write, and no further try is made.
      const bool sent = std::all_of(frame.begin(), frame.end(), [&wire](uint8_t b) { return wire.Write(b); });
      if (!sent) {
        break;
      }
      const Verdict verdict = ReadVerdict(line, text);
      if (verdict == kAck) {
        want = 1;
      } else if (verdict == kDead) {
        break;
      }
    }
  }
  FUZZ_CHECK(result == want);
  FUZZ_CHECK_TEXT(fuzz::Console::Text(), text);
  FUZZ_CHECK(memport::Written() == wire.written);
  FUZZ_CHECK(fuzz::DrainUnread() == line.Unread());
  return 0;
}
