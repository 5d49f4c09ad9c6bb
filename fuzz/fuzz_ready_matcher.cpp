// WaitForReady: the search for the bootloader's ready signal 53 44 46 10 in arbitrary bytes.
//
// Input: [flags] [late index] [late delay / 4 ms] then the bytes the bootloader sends.
//   flags bit 0: the line hangs up after the last byte (else it stays open and silent)
// Reads block without limit here, so a late byte must change nothing.
#include "bootloader/bootloader.h"
#include "fuzz_support.h"

namespace {

constexpr uint8_t kSignal[] = {0x53, 0x44, 0x46, 0x10};

// The matcher's rule, stated as the stream is cut into attempts: an attempt reads bytes while
// they continue the signal and ends with the first one that does not, which is dropped with it.
// Returns the number of bytes read up to the end of the first clean signal, or 0 when none.
size_t EndOfSignal(const fuzz::Bytes& stream) {
  size_t at = 0;
  while (at < stream.size()) {
    size_t matched = 0;
    while (matched < sizeof kSignal && at + matched < stream.size() && stream[at + matched] == kSignal[matched]) {
      ++matched;
    }
    if (matched == sizeof kSignal) {
      return at + matched;
    }
    at += matched + 1;
  }
  return 0;
}

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
  fuzz::LineScript script;
  fuzz::ReadOpening(in, 1, 4, &script);
  script.bytes = in.Rest();

  fuzz::ResetRun();
  fuzz::QueueScript(script);
  SetReadTimeout(serial_memory::Handle(), kBlockingRead);
  const int result = WaitForReady(serial_memory::Handle());

  const size_t end = EndOfSignal(script.bytes);
  FUZZ_CHECK(result == (end != 0 ? 1 : 0));
  if (result == 1) {
    FUZZ_CHECK_TEXT(fuzz::Console::Text(), std::string());
    FUZZ_CHECK(fuzz::DrainUnread() == script.bytes.size() - end);
  } else {
    // Only a port that fails ends the wait; a silent, open one is waited on for ever.
    FUZZ_CHECK_TEXT(fuzz::Console::Text(), std::string("SendSDFHeader: read error...\n"));
    FUZZ_CHECK(serial_memory::BlockedForever() == !script.hang_up_at_end);
    FUZZ_CHECK(fuzz::DrainUnread() == 0);
  }
}
