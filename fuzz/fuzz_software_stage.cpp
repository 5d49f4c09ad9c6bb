// The whole software stage, RunSoftwareStage: an SDF file made of the input and arbitrary bytes
// from the bootloader. Besides every line of console text, the target holds the stage to its
// promise: it reports success only when the bootloader acknowledged the header and every block
// of exactly data_length file bytes, as sent, and then both closing verdicts.
//
// Input: [flags] [data_length slack] [line length, 2 bytes] the bootloader's bytes, then the
//        file's bytes.
//   flags bit 0: the line hangs up after the last byte (else it stays open and silent)
//   flags bit 1: data_length is set to the body's size less the slack (when that fits)
//   flags bit 2: data_crc32 is set to the body's true CRC
//   flags bit 3: header_crc32 is set to the header's true CRC (after the two above)
#include "bootloader/bootloader.h"
#include "bootloader_model.h"
#include "sdf/sdf.h"

namespace {

bool Passes(const fuzz::Bytes& file) {
  if (file.size() < kSdfHeaderSize) {
    return false;
  }
  const size_t body = file.size() - kSdfHeaderSize;
  return fuzz::Crc(file.data(), kSdfHeaderCrcSpan) == ReadLe32(file.data() + kSdfHeaderCrcOffset) &&
         ReadLe32(file.data() + kSdfDataLengthOffset) <= body &&
         fuzz::Crc(file.data() + kSdfHeaderSize, body) == ReadLe32(file.data() + kSdfDataCrcOffset);
}

// The stage after a passing check; returns 1 on success, with the text up to the status line.
int Stage(fuzz::WireModel& wire, fuzz::LineModel& line, const fuzz::Bytes& file) {
  std::string& text = wire.text;
  text += "OK\nSendFileHeader... ";
  if (!fuzz::HeaderExchange(wire, line, file.data())) {
    text += "BAD\n";
    return 0;
  }
  text += "OK\nSendSDFFile... \n";
  const uint32_t n = ReadLe32(file.data() + kSdfDataLengthOffset);
  const uint8_t* body = file.data() + kSdfHeaderSize;
  const uint32_t whole = n / 1024;
  for (uint32_t k = 0; k <= whole; ++k) {
    const uint32_t count = k < whole ? 1024 : n % 1024;
    if (count == 0) {
      break;
    }
    text += fuzz::Format("Send %ldKb\r", static_cast<long>(k));
    if (!fuzz::SendWithRetry(wire, line,
                             fuzz::BlockOnLine(body + static_cast<size_t>(k) * 1024, static_cast<int32_t>(count)),
                             kBlockTries)) {
      text += "BAD\n";
      return 0;
    }
  }
  text += fuzz::Format("Send %ldKb\r\n", static_cast<long>(whole));
  // The final verdict follows with nothing sent between.
  const uint64_t window = fuzz::StrayWindow(wire.slowest_verdict_ms);
  if (fuzz::ReadVerdict(line, text, window, true) != fuzz::kAck) {
    text += "BAD\n";
    return 0;
  }
  text += "OK\n";
  return fuzz::ReadVerdict(line, text, window) == fuzz::kAck ? 1 : 0;
}

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
  fuzz::LineScript script;
  const uint8_t flags = in.Byte();
  script.hang_up_at_end = (flags & 1) != 0;
  const uint8_t slack = in.Byte();
  script.bytes = in.Take(in.Word());
  fuzz::Bytes file = in.Rest();
  fuzz::FixUpSdf(&file, static_cast<uint8_t>(flags >> 1), slack);

  fuzz::ResetRun();
  const int sdf_fd = fuzz::SdfFile(file);
  fuzz::QueueScript(script);
  const int result = RunSoftwareStage(serial_memory::Handle(), sdf_fd);
  const std::string text = fuzz::Console::Text();

  fuzz::WireModel wire;
  fuzz::LineModel line(script);
  wire.text = "Check SDF file... ";
  if (!Passes(file)) {
    // Refused before a byte goes out or is read.
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(text.rfind("Check SDF file... Check_SDF_File: ", 0) == 0 && text.size() >= 4 &&
               text.compare(text.size() - 4, 4, "BAD\n") == 0);
    FUZZ_CHECK(serial_memory::Written().empty());
    FUZZ_CHECK(fuzz::DrainUnread() == script.bytes.size());
    return;
  }
  const int want = Stage(wire, line, file);
  FUZZ_CHECK(result == want);
  FUZZ_CHECK(serial_memory::Written() == wire.written);
  FUZZ_CHECK(fuzz::DrainUnread() == line.Unread());
  if (want == 0) {
    FUZZ_CHECK_TEXT(text, wire.text);
  } else {
    // The time taken is the clock's: only the frame of the status line is fixed.
    const std::string status = "\nSW update status: OK, [overall time: ";
    FUZZ_CHECK_TEXT(text.substr(0, wire.text.size() + status.size()), wire.text + status);
    FUZZ_CHECK(text.size() > 11 && text.compare(text.size() - 11, 11, "(seconds)]\n") == 0);
  }
}
