#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <random>

#include "common/common.h"
#include "sdf/sdf.h"
#include "serial/port_argument.h"
#include "support/test_support.h"

TEST(Checksum, IsTheLowByteOfTheSum) {
  const uint8_t none[] = {0};
  EXPECT_EQ(SumBytes(none, 0), 0);
  std::vector<uint8_t> ff(1024, 0xFF);
  // 1024 * 255 = 261120 = 0x3FC00
  EXPECT_EQ(SumBytes(ff.data(), 1024), 0x00);
  const uint8_t bytes[] = {0x80, 0x90, 0x05};
  EXPECT_EQ(SumBytes(bytes, 3), 0x15);
}

TEST(StatusLine, PrintsSecondsAndZeroPaddedMilliseconds) {
  EXPECT_EQ(CaptureOutput([] { PrintStatusLine("Firmware", 1000, 13045); }),
            "\nFirmware update status: OK, [overall time: 12.045(seconds)]\n");
  EXPECT_EQ(CaptureOutput([] { PrintStatusLine("SW", 0, 12450); }),
            "\nSW update status: OK, [overall time: 12.450(seconds)]\n");
  // No reduction modulo 65,536: a very long update still shows its real time.
  EXPECT_EQ(CaptureOutput([] { PrintStatusLine("SW", 0, 70000007); }),
            "\nSW update status: OK, [overall time: 70000.007(seconds)]\n");
}

// What a terminal would act on: C0 but BS, TAB, LF and CR; DEL; C1. Each range's edges, and the count.
TEST(ControlByte, IsWhatATerminalWouldActOn) {
  for (const unsigned char byte : {0x00, 0x07, 0x0B, 0x1B, 0x1F, 0x7F, 0x80, 0x9F}) {
    EXPECT_TRUE(IsControlByte(byte)) << static_cast<int>(byte);
  }
  for (const unsigned char byte : {0x08, 0x09, 0x0A, 0x0D, 0x20, 0x7E, 0xA0, 0xC2, 0xFF}) {
    EXPECT_FALSE(IsControlByte(byte)) << static_cast<int>(byte);
  }
  int count = 0;
  for (int b = 0; b < 256; ++b) {
    count += IsControlByte(static_cast<unsigned char>(b)) ? 1 : 0;
  }
  EXPECT_EQ(count, 32 - 4 + 1 + 32);
}

TEST(PortArgument, ReadsLikeAtoiButRefusesOverflow) {
  EXPECT_EQ(ParsePortNumber("3"), 3);
  EXPECT_EQ(ParsePortNumber(" 3"), 3);
  EXPECT_EQ(ParsePortNumber("\t\n\v\f\r 3"), 3);
  EXPECT_EQ(ParsePortNumber("3x"), 3);
  EXPECT_EQ(ParsePortNumber("+3"), 3);
  EXPECT_EQ(ParsePortNumber("-1"), -1);
  EXPECT_EQ(ParsePortNumber("abc"), 0);
  EXPECT_EQ(ParsePortNumber(""), 0);
  EXPECT_EQ(ParsePortNumber("+-3"), 0);
  EXPECT_EQ(ParsePortNumber("0009"), 9);
  // 2^32 + 2 would wrap round to port 2 in a plain atoi.
  EXPECT_EQ(ParsePortNumber("4294967298"), 0);
  EXPECT_EQ(ParsePortNumber("99999999999999999999999999"), 0);
  EXPECT_EQ(ParsePortNumber("-4294967298"), 0);
}

TEST(PortArgument, NamesFollowThePlatformsRulesAndAllElseIsANumber) {
  const std::string longest = "/" + std::string(kPortNameSize - 2, 'p');
  // open: what OpenPort is given, "" for none.
  const struct {
    std::string text;
    PortNaming naming;
    PortArgumentKind kind;
    int number;
    std::string name;
    std::string open;
  } cases[] = {
      {"2", kNamedByPath, kPortNumber, 2, "", "com2"},
      {"2/", kNamedByPath, kPortNumber, 2, "", "com2"},
      {"9/x", kNamedByPath, kPortName, 0, "9/x", "9/x"},
      {"/dev/serial/by-id/usb-FTDI-if00-port0", kNamedByPath, kPortName, 0, "/dev/serial/by-id/usb-FTDI-if00-port0",
       "/dev/serial/by-id/usb-FTDI-if00-port0"},
      {"COM12", kNamedByPath, kPortNumber, 0, "", ""},
      {"9", kNamedByPath, kPortNumber, 9, "", ""},
      {longest, kNamedByPath, kPortName, 0, longest, longest},
      {longest + "p", kNamedByPath, kPortNameTooLong, 0, "", ""},
      {"COM12", kNamedByComName, kPortName, 0, "\\\\.\\COM12", "\\\\.\\COM12"},
      {"com3", kNamedByComName, kPortName, 0, "\\\\.\\COM3", "\\\\.\\COM3"},
      {"\\\\.\\cOm255", kNamedByComName, kPortName, 0, "\\\\.\\COM255", "\\\\.\\COM255"},
      {"COM256", kNamedByComName, kPortNumber, 0, "", ""},
      {"COM0", kNamedByComName, kPortNumber, 0, "", ""},
      {"COM012", kNamedByComName, kPortNumber, 0, "", ""},
      {"COM12x", kNamedByComName, kPortNumber, 0, "", ""},
      {"/dev/ttyS0", kNamedByComName, kPortNumber, 0, "", ""},
      {"2/", kNamedByComName, kPortNumber, 2, "", "com2"},
      {" 3", kNamedByComName, kPortNumber, 3, "", "com3"},
  };
  static PortArgument port;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40) + (c.naming == kNamedByPath ? " (paths)" : " (COM names)"));
    ReadPortArgument(c.text.c_str(), c.naming, &port);
    EXPECT_EQ(port.kind, c.kind);
    EXPECT_EQ(port.number, c.number);
    EXPECT_EQ(port.name, c.name);
    const char* open = PortOpenName(port);
    EXPECT_EQ(open != nullptr ? open : "", c.open);
  }
  // The station tells two names of one COM port apart by the number each opens.
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    ReadPortArgument(std::to_string(n).c_str(), kNamedByComName, &port);
    EXPECT_EQ(PortComNumber(PortOpenName(port)), n);
  }
  ReadPortArgument("COM12", kNamedByComName, &port);
  EXPECT_EQ(PortComNumber(PortOpenName(port)), 12);
  EXPECT_EQ(PortComNumber("/dev/ttyS0"), 0);
}

TEST(Crc32, MatchesKnownVectors) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  uint32_t crc = 0;
  Crc32Update(digits, &crc, 9);
  EXPECT_EQ(crc, 0x2DFD2D88u);
  const uint8_t zeros[16] = {};
  crc = 0;
  Crc32Update(zeros, &crc, 16);
  EXPECT_EQ(crc, 0u);
  crc = 0x12345678;
  Crc32Update(zeros, &crc, 0);
  EXPECT_EQ(crc, 0x12345678u);
}

TEST(Crc32, AgreesWithZlibOverRandomDataAndSplitUpdates) {
  // zlib's CRC starts from all ones and inverts at the end: crc(data) == ~zlib(~register, data).
  const auto* digits = reinterpret_cast<const Bytef*>("123456789");
  EXPECT_EQ(~static_cast<uint32_t>(crc32(~0u & 0xFFFFFFFFu, digits, 9)), 0x2DFD2D88u);

  std::mt19937 rng(7720);
  for (int round = 0; round < 200; ++round) {
    const size_t length = rng() % 5000;
    const auto data = RandomBytes(length, static_cast<uint32_t>(rng()));
    const uint32_t start = (round % 3 == 0) ? 0 : static_cast<uint32_t>(rng());
    uint32_t ours = start;
    // Cover the range in random pieces, as the file check does in 1 KB reads.
    size_t done = 0;
    while (done < length) {
      const size_t piece = std::min<size_t>(length - done, 1 + rng() % 1500);
      Crc32Update(data.data() + done, &ours, static_cast<uint32_t>(piece));
      done += piece;
    }
    const uint32_t theirs =
        ~static_cast<uint32_t>(crc32(static_cast<uLong>(~start), data.data(), static_cast<uInt>(length)));
    ASSERT_EQ(ours, theirs) << "length " << length << " start " << start;
  }
}
