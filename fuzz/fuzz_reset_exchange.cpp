// SendResetCommand: the reset reply and the go byte's answer, in normal and in repair mode.
//
// Input: [flags] [late index] [late delay / 40 ms] then the bytes the box sends.
//   flags bit 0: the box was found in repair mode (only the go byte is exchanged)
//   flags bit 1: the line hangs up after the last byte (else it goes silent)
// The bytes are already waiting when the exchange starts: nothing purges them.
#include "bootrom/bootrom.h"
#include "fuzz_support.h"

namespace {

constexpr uint8_t kResetRequest[] = {0xA5, 0x02, 0x00, 0x12, 0x13};
constexpr uint8_t kGo = 0x09;
// Not a byte the exchange can store: shows that reset_reply was left alone.
constexpr uint8_t kUntouched = 0xEE;

struct Expected {
  fuzz::Bytes written;
  uint8_t reply[2] = {kUntouched, kUntouched};
  std::string text;
};

void Exchange(fuzz::LineModel& line, bool repair, Expected& e) {
  const std::string read_error = "SendResetCommand: read error...\n";
  uint8_t byte = 0;
  if (!repair) {
    e.written.assign(kResetRequest, kResetRequest + sizeof kResetRequest);
    // The reply is any run of bytes up to the first 08; the byte before it is kept.
    uint8_t before = 0;
    for (;;) {
      if (line.Read(kBootRomTimeoutMs, &byte) != fuzz::LineModel::kByte) {
        e.text = read_error;
        return;
      }
      if (byte == 0x08) {
        break;
      }
      before = byte;
    }
    e.reply[0] = before;
    e.reply[1] = 0x08;
  }
  e.written.push_back(kGo);
  if (line.Read(kBootRomTimeoutMs, &byte) != fuzz::LineModel::kByte) {
    e.text = read_error;
  } else if (byte != kGo) {
    e.text = fuzz::Format("SendResetCommand: bad response(0x09) %X\n", byte);
  }
}

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
  fuzz::LineScript script;
  const uint8_t flags = fuzz::ReadOpening(in, 2, 40, &script);
  const bool repair = (flags & 1) != 0;
  script.bytes = in.Rest();

  fuzz::ResetRun();
  if (repair) {
    g_repair_mode = kRepairModeMark;
  }
  fuzz::QueueScript(script);

  uint8_t reply[2] = {kUntouched, kUntouched};
  SendResetCommand(serial_memory::Handle(), reply);

  Expected want;
  fuzz::LineModel line(script);
  Exchange(line, repair, want);
  FUZZ_CHECK_TEXT(fuzz::Console::Text(), want.text);
  FUZZ_CHECK(serial_memory::Written() == want.written);
  FUZZ_CHECK(reply[0] == want.reply[0] && reply[1] == want.reply[1]);
  // The exchange reads the mode; only a probe may change it.
  FUZZ_CHECK(InRepairMode() == repair);
  FUZZ_CHECK(serial_memory::Policies() == std::vector<uint32_t>{kBootRomTimeoutMs});
  FUZZ_CHECK(serial_memory::Purges() == 0);
  FUZZ_CHECK(fuzz::DrainUnread() == line.Unread());
}
