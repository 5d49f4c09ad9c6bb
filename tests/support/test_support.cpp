#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "sdf/sdf.h"
#include "serial/serial_memory.h"

std::string CaptureOutput(const std::function<void()>& body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::vector<uint8_t> MakeSdf(const std::vector<uint8_t>& body, int64_t data_length_override) {
  std::vector<uint8_t> file(kSdfHeaderSize, 0);
  for (int i = 0; i < 8; ++i) {
    file[i] = static_cast<uint8_t>(0x10 + i);
  }
  const auto length = static_cast<uint32_t>(data_length_override >= 0 ? data_length_override : body.size());
  WriteLe32(file.data() + kSdfDataLengthOffset, length);
  uint32_t crc = 0;
  Crc32Update(body.data(), &crc, static_cast<uint32_t>(body.size()));
  WriteLe32(file.data() + kSdfDataCrcOffset, crc);
  crc = 0;
  Crc32Update(file.data(), &crc, kSdfHeaderCrcSpan);
  WriteLe32(file.data() + kSdfHeaderCrcOffset, crc);
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) {
    b = static_cast<uint8_t>(rng());
  }
  return bytes;
}

TempFile::TempFile(const std::vector<uint8_t>& contents) {
  char name[] = "/tmp/boxload_test_XXXXXX";
  const int fd = mkstemp(name);
  path_ = name;
  if (fd >= 0) {
    const ssize_t n = contents.empty() ? 0 : write(fd, contents.data(), contents.size());
    EXPECT_EQ(static_cast<size_t>(n), contents.size());
    close(fd);
  }
}

TempFile::~TempFile() {
  if (fd_ >= 0) {
    close(fd_);
  }
  unlink(path_.c_str());
}

int TempFile::fd() {
  if (fd_ < 0) {
    fd_ = open(path_.c_str(), O_RDONLY);
  }
  return fd_;
}

void AttachBox(BoxSim* box) {
  serial_memory::Reset();
  serial_memory::SetWriteHook([box](uint8_t byte, uint64_t now) {
    box->Receive(byte, now);
    BoxOutput out{};
    while (box->PopOutput(&out)) {
      if (out.hang_up) {
        serial_memory::PushHangUpAt(out.at_ms);
      } else {
        serial_memory::PushAt(out.byte, out.at_ms);
      }
    }
  });
}
