// The bootloader's verdicts with their text messages: WaitResponse alone, SendBlockWithRetry
// sending one block up to the chosen number of times, or SendSDFHeader (ready signal, header,
// verdict).
//
// Input: [flags] [failing write / 16] [tries] [count, 2 bytes] [block pattern seed]
//        [delay count] [(index, 2 bytes) (delay / 10 ms)] ... then the bytes the bootloader
//        sends; a byte without a delay is there as soon as the one before it.
//   flags bit 0: the line hangs up after the last byte (else it stays open and silent)
//   flags bit 1: SendBlockWithRetry (else WaitResponse)
//   flags bit 2: from the chosen write on, every write fails
//   flags bit 3: ... and the system gives error code 0, so the failure is silent
//   flags bit 4: SendSDFHeader, with the block's first 20 bytes as the header (before bit 1)
// tries runs from -1 to 4, count from -1 to 1,024.
#include <algorithm>
#include <cstring>

#include "bootloader/bootloader.h"
#include "bootloader_model.h"

namespace {

constexpr uint32_t kData = 1024;

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
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
  fuzz::ReadDelays(in, 10, &script);
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
  fuzz::ErrorText errors;
  if (header_exchange) {
    // The boot ROM's policy is still in force: the exchange must switch to blocking reads.
    SetReadTimeout(serial_memory::Handle(), kBootRomTimeoutMs);
    result = SendSDFHeader(serial_memory::Handle(), header);
    FUZZ_CHECK(serial_memory::Policies().back() == kBlockingRead);
  } else {
    SetReadTimeout(serial_memory::Handle(), kBlockingRead);
    result = block ? SendBlockWithRetry(serial_memory::Handle(), buffer, count, tries)
                   : WaitResponse(serial_memory::Handle());
  }
  const std::string error_text = errors.Stop();

  int want = 0;
  fuzz::LineModel line(script);
  if (header_exchange) {
    want = fuzz::HeaderExchange(wire, line, header.bytes) ? 1 : 0;
  } else if (!block) {
    want = fuzz::ReadVerdict(line, wire.text, 0, false) == fuzz::kAck ? 1 : 0;
  } else {
    // Bytes from count on become FF (all of them for a negative count), then the checksum.
    uint8_t pattern[kData];
    for (uint32_t i = 0; i < kData; ++i) {
      pattern[i] = static_cast<uint8_t>(seed + i * 7);
    }
    const fuzz::Bytes on_line = fuzz::BlockOnLine(pattern, count);
    // The fill is written into the caller's buffer.
    FUZZ_CHECK(tries <= 0 || std::memcmp(buffer, on_line.data(), kData) == 0);
    want = fuzz::SendWithRetry(wire, line, on_line, tries) ? 1 : 0;
  }
  FUZZ_CHECK(result == want);
  FUZZ_CHECK_TEXT(fuzz::Console::Text(), wire.text);
  FUZZ_CHECK_TEXT(error_text, wire.errors);
  FUZZ_CHECK(serial_memory::ReadsAfterFailure() == 0);
  FUZZ_CHECK(serial_memory::Written() == wire.written);
  FUZZ_CHECK(fuzz::DrainUnread() == line.Unread());
}
