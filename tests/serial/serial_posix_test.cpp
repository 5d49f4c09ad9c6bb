// The POSIX serial backend on real pseudo-terminals: time-outs, hang-ups and exclusive use.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "serial/serial.h"

namespace {

const std::string kCom1 = std::string(BOXLOAD_TEST_PORT_PREFIX) + "0";

class PosixPort : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    unlink(kCom1.c_str());
    ASSERT_EQ(symlink(ptsname(master_), kCom1.c_str()), 0);
  }
  void TearDown() override {
    if (port_ != nullptr) {
      ClosePort(port_);
    }
    if (master_ >= 0) {
      close(master_);
    }
    unlink(kCom1.c_str());
  }
  void Open() {
    port_ = OpenPort("com1");
    ASSERT_NE(port_, nullptr);
  }
  void Send(uint8_t byte) { ASSERT_EQ(write(master_, &byte, 1), 1); }

  int master_ = -1;
  PortHandle port_ = nullptr;
};

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(PosixPort, TimedReadsWaitTheirTimeAndKeepBytesAcrossPolicyChanges) {
  // Start from settings the tool must change, so that each one read back was set by the open.
  termios before{};
  ASSERT_EQ(tcgetattr(master_, &before), 0);
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  before.c_cflag |= PARENB | CSTOPB | CRTSCTS;
  before.c_cflag = (before.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
  before.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(tcsetattr(master_, TCSANOW, &before), 0);
  Open();
  // The master reads the slave's settings back: 115,200 both ways, 8N1, no flow control.
  termios tio{};
  ASSERT_EQ(tcgetattr(master_, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
  uint8_t byte = 0;
  uint32_t error = 99;
  ASSERT_EQ(SetReadTimeout(port_, 120), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PortRead(port_, &byte, &error), 0);
  EXPECT_EQ(error, 0u);
  EXPECT_GE(MsSince(start), 115.0);
  EXPECT_LT(MsSince(start), 1000.0);

  // A byte already received survives a change of policy; exactly one waiting is seen as waiting.
  EXPECT_EQ(PortInputWaiting(port_), 0);
  Send(0x42);
  usleep(20000);
  EXPECT_EQ(PortInputWaiting(port_), 1);
  ASSERT_EQ(SetReadTimeout(port_, kBlockingRead), 1);
  ASSERT_EQ(SetReadTimeout(port_, 5000), 1);
  EXPECT_EQ(PortRead(port_, &byte, &error), 1);
  EXPECT_EQ(byte, 0x42);

  // Writes reach the other side one byte each, unchanged by any line discipline.
  for (int v : {0x0A, 0x0D, 0x03, 0x11, 0xFF}) {
    EXPECT_EQ(PortWrite(port_, v), 1);
  }
  uint8_t got[5] = {};
  size_t n = 0;
  while (n < 5) {
    const ssize_t r = read(master_, got + n, 5 - n);
    ASSERT_GT(r, 0);
    n += static_cast<size_t>(r);
  }
  EXPECT_EQ(got[0], 0x0A);
  EXPECT_EQ(got[1], 0x0D);
  EXPECT_EQ(got[2], 0x03);
  EXPECT_EQ(got[3], 0x11);
  EXPECT_EQ(got[4], 0xFF);
}

TEST_F(PosixPort, AHangUpIsAFailedReadNotATimeOutOrAByte) {
  Open();
  Send(0x55);
  usleep(20000);
  close(master_);
  master_ = -1;
  uint8_t byte = 0;
  uint32_t error = 0;
  for (uint32_t policy : {kBlockingRead, kProbeTimeoutMs}) {
    SetReadTimeout(port_, policy);
    const auto start = std::chrono::steady_clock::now();
    // The byte sent before the hang-up may or may not survive it; after it, only failures.
    int result = PortRead(port_, &byte, &error);
    if (result == 1) {
      EXPECT_EQ(byte, 0x55);
      result = PortRead(port_, &byte, &error);
    }
    EXPECT_EQ(result, 0);
    EXPECT_NE(error, 0u);
    EXPECT_LT(MsSince(start), 100.0);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(PortWrite(port_, 0x09), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("PortWrite: errcode ", 0), 0u);
}

TEST_F(PosixPort, APortIsUsedByOneRunAtATime) {
  Open();
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenPort("com1"), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("in use"), std::string::npos);
  ClosePort(port_);
  port_ = nullptr;
  Open();
}

TEST_F(PosixPort, OpenRefusesWhatIsNoSerialPort) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenPort("com9"), nullptr);
  EXPECT_EQ(OpenPort("com0"), nullptr);
  EXPECT_EQ(OpenPort("com12"), nullptr);
  const std::string com2 = std::string(BOXLOAD_TEST_PORT_PREFIX) + "1";
  unlink(com2.c_str());
  EXPECT_EQ(OpenPort("com2"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find(com2 + ": No such file or directory"), std::string::npos);

  // A regular file opens but cannot be configured.
  unlink(kCom1.c_str());
  FILE* f = fopen(kCom1.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenPort("com1"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to configure the serial port");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not a serial port"), std::string::npos);
}

// A small sysfs as the kernel shows it: a virtual console, a UART, an 8250 placeholder, a USB
// adapter with its stable name, and a USB modem that tells only its product.
TEST(PortList, ShowsTheTtysWithADeviceBehindThemAndWhatUsbSaysOfThem) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/boxload-sysfs.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  const auto write = [&](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  const auto port = [&](const std::string& name, const std::string& device, const std::string& type) {
    fs::create_directories(root / "sys/devices" / device);
    fs::create_directories(root / "sys/class/tty" / name);
    fs::create_directory_symlink("../../../devices/" + device, root / "sys/class/tty" / name / "device");
    if (!type.empty()) {
      write(root / "sys/class/tty" / name / "type", type);
    }
  };
  fs::create_directories(root / "sys/class/tty/tty0");
  EXPECT_EQ(PrintPortList(root.c_str()), 0);
  port("ttyS0", "pnp0/00:00", "4");
  port("ttyS1", "platform/serial8250", "0");
  port("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "");
  write(root / "sys/devices/usb1/1-1/idVendor", "0403");
  write(root / "sys/devices/usb1/1-1/manufacturer", "FTDI");
  write(root / "sys/devices/usb1/1-1/product", "FT232R USB UART");
  write(root / "sys/devices/usb1/1-1/serial", "A50285BI");
  port("ttyACM0", "usb1/1-2/1-2:1.0", "");
  write(root / "sys/devices/usb1/1-2/idVendor", "2e8a");
  write(root / "sys/devices/usb1/1-2/product", "Pico");
  fs::create_directories(root / "dev/serial/by-id");
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

  testing::internal::CaptureStderr();
  EXPECT_EQ(PrintPortList(root.c_str()), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "boxload: the serial ports of this machine:\n"
            "  /dev/ttyACM0  Pico\n"
            "  /dev/ttyS0\n"
            "  /dev/ttyUSB0  FTDI FT232R USB UART, serial A50285BI\n"
            "      /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n");

  // A box's record: the device a port resolves to, and the adapter's serial number when USB
  // tells one.
  write(root / "dev/ttyUSB0", "");
  write(root / "dev/ttyS0", "");
  write(root / "dev/ttyACM0", "");
  struct Facts {
    std::string path;
    std::string device;
    std::string serial;
  };
  const Facts rows[] = {
      {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "dev/ttyUSB0", "A50285BI"},
      {"dev/ttyUSB0", "dev/ttyUSB0", "A50285BI"},
      {"dev/ttyS0", "dev/ttyS0", ""},
      {"dev/ttyACM0", "dev/ttyACM0", ""},  // a USB device with no serial number
  };
  const std::string real_root = fs::canonical(root).string() + "/";
  for (const Facts& row : rows) {
    SCOPED_TRACE(row.path);
    char device[256] = "x";
    char serial[64] = "x";
    PortDeviceFacts(root.c_str(), (root / row.path).c_str(), device, sizeof device, serial, sizeof serial);
    EXPECT_EQ(device, real_root + row.device);
    EXPECT_STREQ(serial, row.serial.c_str());
  }
  char device[256] = "x";
  char serial[64] = "x";
  PortDeviceFacts(root.c_str(), "/dev/boxload-no-such-port", device, sizeof device, serial, sizeof serial);
  EXPECT_STREQ(device, "/dev/boxload-no-such-port");
  EXPECT_STREQ(serial, "");
  fs::remove_all(root);
}
