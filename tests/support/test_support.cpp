#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "bootloader/bootloader.h"
#include "bootrom/bootrom.h"
#include "common/common.h"
#include "serial/serial_memory.h"

namespace {
// The protocol's own time limits run on the in-memory port's virtual clock: a 2 s stray-byte
// window costs no wall time.
[[maybe_unused]] const bool g_virtual_clock = [] {
  SetElapsedClock([] { return static_cast<uint32_t>(serial_memory::Now()); });
  return true;
}();
}  // namespace

std::string CaptureOutput(const std::function<void()>& body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
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

BothStages RunBothStages(BoxSim* box, TempFile* sdf) {
  g_repair_mode = 0;
  AttachBox(box);
  BothStages run;
  run.output = CaptureOutput([&] {
    run.firmware = RunFirmwareStage(serial_memory::Handle());
    run.firmware_end_ms = serial_memory::Now();
    if (run.firmware != 0) {
      run.software = RunSoftwareStage(serial_memory::Handle(), sdf->fd());
    }
  });
  run.end_ms = serial_memory::Now();
  run.blocked_forever = serial_memory::BlockedForever();
  return run;
}
