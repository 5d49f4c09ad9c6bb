// Shared pieces of the fuzz targets: libFuzzer's entry points, the input reader, a model of
// what the in-memory port delivers, captured console text, a reference CRC and the SDF file in
// memory, and the invariant check that stops the fuzzer.
//
//   CheckInput(in)              defined by each target: runs the code on one input and checks it
//                               against the target's model; aborts on a broken invariant
//   ReadOpening(in, ...)        [flags] [late index] [late delay]: the opening of a line script
//   ReadDelays(in, unit, s)     [count] then count x [index, 2 bytes] [delay]: bytes that come
//                               later than the one before them
//   QueueScript(script)         queues the script on the in-memory port
//   DrainUnread()               counts (and consumes) what the port still holds
//   FailWrites(wire)            makes the port fail writes as the write model does
//   ResetRun()                  a fresh port, console text and repair flag for each input
//   ErrorText                   standard error captured around one call of the code
//   Crc(data, count)            CRC-32 bit by bit: a reference apart from the code's table
//   FixUpSdf(file, fixes, s)    sets data_length, data_crc32, header_crc32 to pass, by choice
//   SdfFile(contents)           the targets' one file in memory, holding exactly contents
//
// Each target checks the code against its own reference model, written from the protocol
// rules rather than from the code, or against invariants the code must keep whatever the line
// does, so a wrong result is a crash even without a sanitizer.
// Every target is one source file that includes this header: the entry points live here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "bootloader/bootloader.h"
#include "bootrom/bootrom.h"
#include "common/common.h"
#include "sdf/sdf.h"
#include "serial/serial_memory.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Prints what broke, and the two texts when given, then aborts so libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, const char* file, int line, const std::string& got = {},
                              const std::string& want = {}) {
  auto show = [](const std::string& s) {
    std::string out;
    for (const unsigned char c : s) {
      if (c >= 0x20 && c < 0x7F && c != '\\') {
        out += static_cast<char>(c);
      } else {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02X", c);
        out += esc;
      }
    }
    return out;
  };
  std::fprintf(stderr, "\ninvariant broken at %s:%d: %s\n", file, line, what);
  if (!got.empty() || !want.empty()) {
    std::fprintf(stderr, "  got:  \"%s\"\n  want: \"%s\"\n", show(got).c_str(), show(want).c_str());
  }
  std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::Fail(#cond, __FILE__, __LINE__))
#define FUZZ_CHECK_TEXT(got, want) \
  (((got) == (want)) ? (void)0 : ::fuzz::Fail(#got " == " #want, __FILE__, __LINE__, (got), (want)))

// Reads the input front to back; past its end every read gives 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>((high << 8) | Byte());
  }
  Bytes Take(size_t count) {
    const size_t n = count < size_ - pos_ ? count : size_ - pos_;
    Bytes out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  Bytes Rest() { return Take(size_ - pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// What the box sends: bytes, one of them late by a chosen delay, and then either silence or
// a hang-up.
struct LineScript {
  Bytes bytes;
  size_t late_index = SIZE_MAX;
  uint64_t late_by_ms = 0;
  std::vector<std::pair<size_t, uint64_t>> delays;  // (index, ms) on top of the late byte
  bool hang_up_at_end = false;

  // How long after the byte before it byte i comes.
  uint64_t DelayBefore(size_t i) const {
    uint64_t ms = i == late_index ? late_by_ms : 0;
    for (const auto& [index, delay] : delays) {
      ms += index == i ? delay : 0;
    }
    return ms;
  }
};

// The port's delivery rule, kept apart from the port's code: a byte is read when it arrives
// within the read's time-out; a time-out moves time on by the whole time-out; a blocking read
// takes the next byte whenever it comes; after a hang-up every read fails.
class LineModel {
 public:
  enum Result { kByte, kTimeOut, kFailed };

  explicit LineModel(const LineScript& script) : script_(script) {
    uint64_t at = 0;
    for (size_t i = 0; i < script.bytes.size(); ++i) {
      at += script.DelayBefore(i);
      arrival_.push_back(at);
    }
  }

  Result Read(uint32_t timeout_ms, uint8_t* byte) {
    if (next_ == script_.bytes.size()) {
      // The hang-up comes right after the last byte; silence never ends.
      if (script_.hang_up_at_end || timeout_ms == kBlockingRead) {
        return kFailed;
      }
      now_ += timeout_ms;
      return kTimeOut;
    }
    const uint64_t at = arrival_[next_];
    if (timeout_ms != kBlockingRead && at > now_ + timeout_ms) {
      now_ += timeout_ms;
      return kTimeOut;
    }
    now_ = at > now_ ? at : now_;
    *byte = script_.bytes[next_++];
    return kByte;
  }

  size_t Unread() const { return script_.bytes.size() - next_; }
  // A byte has arrived and not been read yet.
  bool Waiting() const { return next_ < script_.bytes.size() && arrival_[next_] <= now_; }
  uint64_t Arrival(size_t i) const { return arrival_[i]; }
  uint64_t Now() const { return now_; }
  // The last byte read is read again by the next Read.
  void PutBack() { --next_; }

 private:
  const LineScript& script_;
  std::vector<uint64_t> arrival_;
  size_t next_ = 0;
  uint64_t now_ = 0;
};

// The port's write side as the code should see it: from the chosen write on every write fails,
// and each failure prints the port's error line unless the system gave error code 0.
struct WireModel {
  static constexpr uint32_t kWriteError = 5;
  size_t fail_from = SIZE_MAX;
  bool loud = true;
  Bytes written;
  std::string text;
  std::string errors;               // what goes to standard error
  uint64_t slowest_verdict_ms = 0;  // the bootloader's slowest verdict so far

  bool Write(uint8_t byte);
};

// The opening of a line target's input: [flags] [late index] [late delay / late_unit_ms]. The
// line hangs up after the script's last byte when flags has hang_up_bit. Returns the flags.
inline uint8_t ReadOpening(Input& in, uint8_t hang_up_bit, uint64_t late_unit_ms, LineScript* script) {
  const uint8_t flags = in.Byte();
  script->hang_up_at_end = (flags & hang_up_bit) != 0;
  script->late_index = in.Byte();
  script->late_by_ms = static_cast<uint64_t>(in.Byte()) * late_unit_ms;
  return flags;
}

// [count] then count x [index, 2 bytes] [delay / unit_ms]: the given bytes of the script come
// that much later than the byte before them.
inline void ReadDelays(Input& in, uint64_t unit_ms, LineScript* script) {
  for (uint8_t n = in.Byte(); n > 0; --n) {
    const size_t index = in.Word();
    script->delays.emplace_back(index, static_cast<uint64_t>(in.Byte()) * unit_ms);
  }
}

// Queues the script on the in-memory port, from the port's present virtual time.
inline void QueueScript(const LineScript& script) {
  for (size_t i = 0; i < script.bytes.size(); ++i) {
    serial_memory::Push(script.bytes[i], script.DelayBefore(i));
  }
  if (script.hang_up_at_end) {
    serial_memory::PushHangUp();
  }
}

// Counts the bytes still queued on the in-memory port (it consumes them).
inline size_t DrainUnread() {
  SetReadTimeout(serial_memory::Handle(), UINT32_MAX);
  size_t count = 0;
  uint8_t byte = 0;
  uint32_t error = 0;
  while (PortRead(serial_memory::Handle(), &byte, &error) == 1) {
    ++count;
  }
  return count;
}

// Standard output goes to an in-memory file: quiet and fast, and each input's text can be
// compared with the text the reference model expects.
class Console {
 public:
  static void Init() {
    const int fd = memfd_create("fuzz-stdout", 0);
    if (fd < 0 || std::fflush(stdout) != 0 || dup2(fd, STDOUT_FILENO) < 0) {
      std::perror("fuzz: cannot redirect standard output");
      std::abort();
    }
    close(fd);
  }
  // Forgets what earlier inputs printed.
  static void Begin() {
    std::fflush(stdout);
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
      std::abort();
    }
  }
  static std::string Text() {
    std::fflush(stdout);
    const off_t size = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0 && pread(STDOUT_FILENO, text.data(), text.size(), 0) != size) {
      std::abort();
    }
    return text;
  }
};

// Standard error goes to an in-memory file only while the code runs: libFuzzer's own report
// and a broken invariant's still reach the terminal.
class ErrorText {
 public:
  ErrorText() {
    static const int fd = memfd_create("fuzz-stderr", 0);
    saved_ = dup(STDERR_FILENO);
    if (fd < 0 || saved_ < 0 || ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || dup2(fd, STDERR_FILENO) < 0) {
      std::abort();
    }
    fd_ = fd;
  }
  ErrorText(const ErrorText&) = delete;
  ErrorText& operator=(const ErrorText&) = delete;
  ~ErrorText() { Stop(); }
  // Gives standard error back and returns what was written to it.
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      const off_t size = lseek(fd_, 0, SEEK_CUR);
      text_.assign(static_cast<size_t>(size), '\0');
      if ((size > 0 && pread(fd_, text_.data(), text_.size(), 0) != size) || dup2(saved_, STDERR_FILENO) < 0) {
        std::abort();
      }
      close(saved_);
      saved_ = -1;
    }
    return text_;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string text_;
};

// printf into a string, for the lines the reference models expect.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[160];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

inline bool WireModel::Write(uint8_t byte) {
  if (written.size() >= fail_from) {
    if (loud) {
      text += Format("PortWrite: errcode %Xh(%d)\n", kWriteError, kWriteError);
    }
    return false;
  }
  written.push_back(byte);
  return true;
}

// Makes the in-memory port fail writes as the model does.
inline void FailWrites(const WireModel& wire) {
  if (wire.fail_from != SIZE_MAX) {
    serial_memory::FailWritesFrom(wire.fail_from, wire.loud ? WireModel::kWriteError : 0);
  }
}

// Every input starts from a fresh port, on its virtual clock, with a box not known to be in
// repair mode and no block verdict timed.
inline void ResetRun() {
  serial_memory::Reset();
  SetElapsedClock([] { return static_cast<uint32_t>(serial_memory::Now()); });
  g_repair_mode = 0;
  ForgetVerdictPace();
  Console::Begin();
}

// Bit by bit, register from 0, no final inversion: independent of the code's table.
inline uint32_t Crc(const uint8_t* data, size_t count) {
  uint32_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
  }
  return crc;
}

// Lets a random file reach the passing path, one field at a time. fixes bit 0: data_length
// becomes the body's size less slack (when that fits); bit 1: data_crc32 the body's true CRC;
// bit 2: header_crc32 the header's true CRC (after the other two). No header, no change.
inline void FixUpSdf(Bytes* file, uint8_t fixes, uint8_t slack) {
  if (file->size() < kSdfHeaderSize) {
    return;
  }
  uint8_t* const data = file->data();
  const size_t body = file->size() - kSdfHeaderSize;
  if ((fixes & 1) != 0 && slack <= body) {
    WriteLe32(data + kSdfDataLengthOffset, static_cast<uint32_t>(body - slack));
  }
  if ((fixes & 2) != 0) {
    WriteLe32(data + kSdfDataCrcOffset, Crc(data + kSdfHeaderSize, body));
  }
  if ((fixes & 4) != 0) {
    WriteLe32(data + kSdfHeaderCrcOffset, Crc(data, kSdfHeaderCrcSpan));
  }
}

// The one file in memory of the SDF targets, made on first use, now holding exactly contents
// (its offset is left where it was); aborts when it cannot.
inline int SdfFile(const Bytes& contents) {
  static const int fd = memfd_create("fuzz-sdf", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 ||
      (!contents.empty() && pwrite(fd, contents.data(), contents.size(), 0) != static_cast<ssize_t>(contents.size()))) {
    std::abort();
  }
  return fd;
}

// Defined by each target.
void CheckInput(Input& in);

}  // namespace fuzz

// libFuzzer's entry points, the same for every target.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz::Console::Init();
  // The reference CRC against the standard check value of "123456789".
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  if (fuzz::Crc(check, sizeof check) != 0x2DFD2D88u) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  fuzz::CheckInput(in);
  return 0;
}
