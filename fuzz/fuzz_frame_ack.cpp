// The boot ROM image transfer: the acknowledgement read after each frame (SendBytes through
// SendFile), optionally after the file header, with a port that may start failing writes.
//
// Input: [flags] [late index] [late delay / 40 ms] [failing write / 17] [answer count]
//        answer bytes, then the image (any length; the rest of the input).
//   flags bit 0: the line hangs up after the last answer byte (else it goes silent)
//   flags bit 1: from the chosen write on, every write fails
//   flags bit 2: ... and the system gives error code 0, so the failure is silent
//   flags bit 3: the file header goes first
#include <algorithm>

#include "bootrom/bootrom.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t kData = 1024;

// Reads one answer: nothing brings the read-error line, an unwanted byte the bad-response line.
template <typename Good, typename Bad>
void Answer(fuzz::LineModel& line, std::string& text, const char* read_error, Good good, Bad bad) {
  uint8_t byte = 0;
  if (line.Read(kBootRomTimeoutMs, &byte) != fuzz::LineModel::kByte) {
    text += read_error;
  } else if (!good(byte)) {
    text += bad(byte);
  }
}

void Header(fuzz::WireModel& wire, fuzz::LineModel& line, uint32_t length) {
  std::string& text = wire.text;
  // 01 01 and the length: their write results are not looked at.
  wire.Write(0x01);
  wire.Write(0x01);
  for (int shift = 0; shift < 32; shift += 8) {
    wire.Write(static_cast<uint8_t>(length >> shift));
  }
  for (int i = 0; i < 15; ++i) {
    if (!wire.Write(i < 14 ? 0x00 : 0x09)) {
      text += "SendFileHeader write error...\n";
      return;
    }
  }
  Answer(
      line, text, "SendFileHeader: read error...\n", [](uint8_t b) { return b == 0x09; },
      [](uint8_t b) { return fuzz::Format("SendFileHeader: bad response %X\n", b); });
}

void Image(fuzz::WireModel& wire, fuzz::LineModel& line, const fuzz::Bytes& image) {
  std::string& text = wire.text;
  const size_t frames = (image.size() + kData - 1) / kData;
  for (size_t k = 0; k < frames; ++k) {
    text += fuzz::Format("SendFile: %d(Kb)\r", static_cast<int>(k));
    fuzz::Bytes frame(kData, 0xFF);
    unsigned sum = 0;
    for (size_t i = 0; i < kData; ++i) {
      if (k * kData + i < image.size()) {
        frame[i] = image[k * kData + i];
      }
      sum += frame[i];
    }
    frame.push_back(static_cast<uint8_t>(sum));
    // Every frame goes, whatever happened to the one before; a broken one reads no answer.
    if (!std::all_of(frame.begin(), frame.end(), [&wire](uint8_t b) { return wire.Write(b); })) {
      text += "SendBytes: port write error\n";
    } else {
      Answer(
          line, text, "SendBytes: read error...\n", [](uint8_t b) { return b == 0x09 || b == 0x0A; },
          [](uint8_t b) {
            const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
            return fuzz::Format("SendBytes: bad response(0x09 or 0x0A) %X(%c)\n", b, letter ? b : '.');
          });
    }
  }
  text += "\n";
}

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
  fuzz::LineScript script;
  const uint8_t flags = fuzz::ReadOpening(in, 1, 40, &script);
  const size_t fail_at = static_cast<size_t>(in.Byte()) * 17;
  const size_t fail_from = (flags & 2) != 0 ? fail_at : SIZE_MAX;
  const bool loud = (flags & 4) == 0;
  const bool with_header = (flags & 8) != 0;
  script.bytes = in.Take(in.Byte());
  const fuzz::Bytes image = in.Rest();
  const auto length = static_cast<uint32_t>(image.size());

  fuzz::WireModel wire;
  wire.fail_from = fail_from;
  wire.loud = loud;

  fuzz::ResetRun();
  fuzz::QueueScript(script);
  fuzz::FailWrites(wire);
  // The reset exchange leaves the boot ROM's time-out in force for the transfer.
  SetReadTimeout(serial_memory::Handle(), kBootRomTimeoutMs);
  if (with_header) {
    SendFileHeader(serial_memory::Handle(), length);
  }
  SendFile(serial_memory::Handle(), image.data(), length);

  fuzz::LineModel line(script);
  if (with_header) {
    Header(wire, line, length);
  }
  Image(wire, line, image);
  FUZZ_CHECK_TEXT(fuzz::Console::Text(), wire.text);
  FUZZ_CHECK(serial_memory::Written() == wire.written);
  FUZZ_CHECK(fuzz::DrainUnread() == line.Unread());
}
