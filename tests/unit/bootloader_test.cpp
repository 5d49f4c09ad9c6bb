#include <gtest/gtest.h>

#include <algorithm>

#include "bootloader/bootloader.h"
#include "common/common.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Bootloader : public testing::Test {
 protected:
  void SetUp() override {
    serial_memory::Reset();
    ForgetVerdictPace();
    ShowBoxTextEscaped(false);
  }
  PortHandle port() { return serial_memory::Handle(); }
};

Bytes Text(const std::string& s) {
  Bytes bytes(s.size() + 2, 0x00);
  bytes[0] = 0x02;
  std::copy(s.begin(), s.end(), bytes.begin() + 1);
  return bytes;
}

}  // namespace

TEST_F(Bootloader, VerdictsAndTextMessages) {
  int result = 0;
  serial_memory::Push(Text("Erasing flash\r\n"));
  serial_memory::Push(Text("done "));
  serial_memory::Push(0x06);
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "Erasing flash\r\ndone ");
  EXPECT_EQ(result, 1);

  SetUp();
  serial_memory::Push(0x15);
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "");
  EXPECT_EQ(result, 0);

  SetUp();
  // Outside a block's verdict an odd byte fails at once, whatever follows it.
  serial_memory::Push({0x41, 0x06});
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "Unknown response: 0x41\n");
  EXPECT_EQ(result, 0);

  SetUp();
  serial_memory::Push(Text("x"));
  serial_memory::Push(0x00);  // a text start, then a verdict that is no verdict
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "xUnknown response: 0x0\n");

  // On a terminal the control bytes show as \xHH, the UTF-8 form of a C1 control as both of its
  // bytes; a pipe or a file gets them as they came.
  const std::string raw = "\x1B[2Jok\r\n\t\x9B\xC2\x85\xC2\xA9\x7F\xC2";
  for (const bool terminal : {true, false}) {
    SetUp();
    ShowBoxTextEscaped(terminal);
    serial_memory::Push(Text(raw));
    serial_memory::Push(0x06);
    EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }),
              terminal ? "\\x1B[2Jok\r\n\t\\x9B\\xC2\\x85\xC2\xA9\\x7F\xC2" : raw);
    EXPECT_EQ(result, 1);
  }
}

TEST_F(Bootloader, AFailedReadIsReportedNotTakenForAVerdict) {
  int result = 1;
  serial_memory::Push({0x02, 'a'});
  serial_memory::PushHangUp();
  EXPECT_EQ(CaptureOutput([&] { result = WaitResponse(port()); }), "aWaitResponse: read error...\n");
  EXPECT_EQ(result, 0);
  // A silent but healthy bootloader is waited for without limit.
  SetUp();
  SetReadTimeout(port(), kBlockingRead);
  CaptureOutput([&] { result = WaitResponse(port()); });
  EXPECT_TRUE(serial_memory::BlockedForever());
}

TEST_F(Bootloader, AShortBlockIsFilledAndChecksummedOverAllOfIt) {
  uint8_t buffer[1024];
  const auto data = RandomBytes(300, 21);
  memcpy(buffer, data.data(), 300);
  serial_memory::Push(0x06, 1);
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = SendBlock(port(), buffer, 300); }), "");
  EXPECT_EQ(result, 1);
  const Bytes& wire = serial_memory::Written();
  ASSERT_EQ(wire.size(), 1025u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 300), data);
  EXPECT_EQ(Bytes(wire.begin() + 300, wire.begin() + 1024), Bytes(724, 0xFF));
  EXPECT_EQ(wire[1024], SumBytes(wire.data(), 1024));
}

TEST_F(Bootloader, RetriesSendTheSameBlockUpToTheLimit) {
  uint8_t buffer[1024];
  memcpy(buffer, RandomBytes(1024, 22).data(), 1024);
  // Each answer after the one before has been heard out.
  serial_memory::Push(0x15, 1);
  serial_memory::Push(0x15, 600);
  serial_memory::Push(0x06, 600);
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1000, kBlockTries); }), "");
  EXPECT_EQ(result, 1);
  const Bytes& wire = serial_memory::Written();
  ASSERT_EQ(wire.size(), 3u * 1025u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 1025), Bytes(wire.begin() + 2050, wire.end()));

  SetUp();
  // 41 with nothing behind it within the stray-byte window was the box's answer: a failed try.
  serial_memory::Push(0x15, 1);
  serial_memory::PushAt(0x41, 600);
  serial_memory::PushAt(0x15, 1200);
  serial_memory::PushAt(0x06, 1800);
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }),
            "Unknown response: 0x41\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Written().size(), 3u * 1025u);

  SetUp();
  EXPECT_EQ(SendBlockWithRetry(port(), buffer, 1024, 0), 0);
  EXPECT_EQ(SendBlockWithRetry(port(), buffer, 1024, -1), 0);
  EXPECT_TRUE(serial_memory::Written().empty());
}

TEST_F(Bootloader, NoiseHoldsTheToolNoLongerThanTheStrayByteWindow) {
  // An odd byte every 50 ms and the verdict only behind them all: the window closes 500 ms after
  // the first, whatever came in it.
  uint8_t buffer[1024] = {};
  for (int i = 0; i < 100; ++i) {
    serial_memory::Push(0x5A, i == 0 ? 1 : 50);
  }
  serial_memory::Push(0x06);
  int result = 1;
  const std::string out = CaptureOutput([&] { result = SendBlock(port(), buffer, 1024); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Now(), 501u);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 11) << out;

  // After a block verdict that took 1 s the window is the 2 s bound, not three times that.
  SetUp();
  serial_memory::Push(0x06, 1000);
  ASSERT_EQ(SendBlock(port(), buffer, 1024), 1);
  for (int i = 0; i < 50; ++i) {
    serial_memory::Push(0x5A, 100);
  }
  serial_memory::Push(0x06);
  CaptureOutput([&] { result = SendBlock(port(), buffer, 1024); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Now(), 1100u + 2000u);
  EXPECT_EQ(serial_memory::Policies().back(), kBlockingRead);
}

// The software stage has no block numbers: a verdict the tool has no message for puts it one
// ahead of the box, and then a refusal would send the wrong block again.
TEST_F(Bootloader, AVerdictTooManyIsCaughtAndNeverTakenForTheNextOne) {
  uint8_t buffer[1024] = {};
  const struct {
    const char* what;
    Bytes waiting;  // already there when the block's data bytes have gone
    int result;
    size_t written;
    const char* out;
    const char* err;
  } kRows[] = {
      {"a 06 already waiting", {0x06}, 0, 1024, "", "a verdict (06) came before the block"},
      {"a 15 already waiting", {0x15}, 0, 1024, "", "a verdict (15) came before the block"},
      {"a text message already waiting", {0x02, 'h', 0x00}, 0, 1024, "", "a text message came before"},
      {"noise already waiting, then the verdict",
       {0x5A, 0x11},
       1,
       1025,
       "Unknown response: 0x5A\nUnknown response: 0x11\n",
       ""},
  };
  for (const auto& row : kRows) {
    SetUp();
    serial_memory::Push(row.waiting);
    serial_memory::Push(0x06, 1);  // the block's own verdict, after its checksum
    int result = -1;
    std::string err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }), row.out)
        << row.what;
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, row.result) << row.what;
    EXPECT_EQ(serial_memory::Written().size(), row.written) << row.what;
    if (*row.err != '\0') {
      EXPECT_NE(err.find(std::string("boxload: out of step with the box: ") + row.err), std::string::npos)
          << row.what << ": " << err;
    } else {
      EXPECT_EQ(err, "") << row.what;
    }
  }

  // After the final verdict: a verdict or text message within the watch is one too many; the
  // box's start-up text, a verdict after the watch and a box that hangs up are not. The watch is
  // 5 s after a run that may be out of step unseen: a box slower than a block, or a refusal.
  enum Before { kClean, kSlowBox, kRefusal };
  const struct {
    const char* what;
    Bytes after;
    uint64_t delay_ms;
    bool hang_up;
    int in_step;
    Before before = kClean;
  } kAfter[] = {
      {"nothing", {}, 0, false, 1},
      {"start-up text", {'B', 'o', 'o', 't', '\r', '\n'}, 10, false, 1},
      {"a 06 within the watch", {0x06}, 240, false, 0},
      {"a 15 behind start-up text", {'O', 'K', 0x15}, 10, false, 0},
      {"a text message", {0x02, 'x', 0x00}, 10, false, 0},
      {"noise and a 06 that arrive as the watch ends", {'x', 0x06}, 250, false, 0},
      {"a 06 after the watch", {0x06}, 260, false, 1},
      {"a hang-up", {}, 10, true, 1},
      {"a 06 4.9 s after a slow box's final one", {0x06}, 4900, false, 0, kSlowBox},
      {"a 15 4.9 s after a run with a refusal", {0x15}, 4900, false, 0, kRefusal},
      {"a 06 after the long watch", {0x06}, 5010, false, 1, kSlowBox},
      {"a slow box's start-up text, 02 06 15 nowhere in it",
       {'\x1B', '[', '2', 'J', 'B', 'o', 'o', 't', 0x07, '\r', '\n', 0x00, 0xFF},
       1000,
       false,
       1,
       kSlowBox},
  };
  for (const auto& row : kAfter) {
    SetUp();
    if (row.before != kClean) {
      // A block whose verdict comes 300 ms after its checksum; or one refused, then taken.
      uint8_t block[1024] = {};
      serial_memory::Push(row.before == kSlowBox ? Bytes{0x06} : Bytes{0x15}, row.before == kSlowBox ? 300 : 5);
      serial_memory::Push(row.before == kSlowBox ? Bytes{} : Bytes{0x06}, 600);
      ASSERT_EQ(SendBlockWithRetry(port(), block, 1024, kBlockTries), 1) << row.what;
    }
    if (!row.after.empty()) {
      serial_memory::Push(row.after, row.delay_ms);
    }
    if (row.hang_up) {
      serial_memory::PushHangUp(row.delay_ms);
    }
    int in_step = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(CaptureOutput([&] { in_step = CheckNoVerdictFollows(port()); }), "") << row.what;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(in_step, row.in_step) << row.what;
    EXPECT_EQ(err.find("after its final one") != std::string::npos, row.in_step == 0) << row.what << ": " << err;
    EXPECT_EQ(serial_memory::Policies().back(), kBlockingRead) << row.what;
  }
}

// A refusal may be noise ahead of the box's own verdict: the block goes again only after the
// line has stayed free of verdicts for the stray-byte window, or never.
TEST_F(Bootloader, ARefusalIsHeardOutBeforeTheBlockGoesAgain) {
  uint8_t buffer[1024] = {};
  const struct {
    const char* what;
    Bytes answers;
    std::vector<uint64_t> at_ms;
    size_t written;      // 1025: out of step, never sent again; 2050: sent again, then taken
    uint64_t resent_at;  // when the second try began
    const char* out;
  } kRows[] = {
      {"a 15, then the box's 06 within the window", {0x15, 0x06}, {5, 100}, 1025, 0, ""},
      {"a real refusal, then noise", {0x15, 0x5A, 0x06}, {5, 300, 700}, 2050, 505, "Unknown response: 0x5A\n"},
      // The window the odd byte opened at 5 ms is the one the refusal behind it is heard out in.
      {"an odd byte, a 15 behind it", {0x41, 0x15, 0x06}, {5, 300, 700}, 2050, 505, "Unknown response: 0x41\n"},
  };
  for (const auto& row : kRows) {
    SetUp();
    for (size_t i = 0; i < row.answers.size(); ++i) {
      serial_memory::PushAt(row.answers[i], row.at_ms[i]);
    }
    uint64_t resent_at = 0;
    serial_memory::SetWriteHook(
        [&resent_at](uint8_t, uint64_t now) { resent_at = serial_memory::Written().size() == 1026 ? now : resent_at; });
    int result = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }), row.out)
        << row.what;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, row.written == 2050 ? 1 : 0) << row.what;
    EXPECT_EQ(serial_memory::Written().size(), row.written) << row.what;
    EXPECT_EQ(resent_at, row.resent_at) << row.what;
    EXPECT_TRUE(!serial_memory::Policies().empty() && serial_memory::Policies().back() == kBlockingRead) << row.what;
    EXPECT_EQ(err.find("boxload: out of step with the box: a verdict (06) came after a refusal") == 0,
              row.written == 1025)
        << row.what << ": " << err;
  }
}

TEST_F(Bootloader, ADeadPortEndsTheRetries) {
  uint8_t buffer[1024] = {};
  serial_memory::PushHangUp();
  int result = 1;
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }),
            "WaitResponse: read error...\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(serial_memory::Written().size(), 1025u);

  SetUp();
  serial_memory::FailWritesFrom(10, 5);
  EXPECT_EQ(CaptureOutput([&] { result = SendBlockWithRetry(port(), buffer, 1024, kBlockTries); }),
            "PortWrite: errcode 5h(5)\n");
  EXPECT_EQ(result, 0);
}

TEST_F(Bootloader, ReadyMatcherNeedsACleanSignal) {
  SetReadTimeout(port(), kBlockingRead);
  // The second 53 breaks the sequence and is not taken as a new start.
  serial_memory::Push({0x53, 0x44, 0x53, 0x44, 0x46, 0x10});
  // Still waiting when the stream ends; only the memory port cannot wait for ever.
  EXPECT_EQ(CaptureOutput([&] { WaitForReady(port()); }), "SendSDFHeader: read error...\n");
  EXPECT_TRUE(serial_memory::BlockedForever());

  SetUp();
  SetReadTimeout(port(), kBlockingRead);
  serial_memory::Push({0x53, 0x53, 0x44, 0x46, 0x10, 0x00, 0x53, 0x44, 0x46, 0x10, 0x77});
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = WaitForReady(port()); }), "");
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(serial_memory::BlockedForever());
  uint8_t next = 0;
  uint32_t error = 0;
  ASSERT_EQ(PortRead(port(), &next, &error), 1);
  EXPECT_EQ(next, 0x77);

  SetUp();
  serial_memory::Push({0x53, 0x44});
  serial_memory::PushHangUp();
  EXPECT_EQ(CaptureOutput([&] { result = WaitForReady(port()); }), "SendSDFHeader: read error...\n");
  EXPECT_EQ(result, 0);
}
