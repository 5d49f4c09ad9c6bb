#include <cstdio>
#include <cstring>

#include "bootrom/bootrom.h"
#include "common/common.h"

namespace {

// One frame buffer, reused for every frame.
uint8_t g_frame[kFrameSize];

bool IsAsciiLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void SendFrame(PortHandle port, uint32_t k, const uint8_t* data, uint32_t count) {
  Print("SendFile: %d(Kb)\r", static_cast<int>(k));
  if (count < kBlockSize) {
    std::memset(g_frame, kFillByte, kBlockSize);
  }
  std::memcpy(g_frame, data, count);
  g_frame[kBlockSize] = SumBytes(g_frame, kBlockSize);
  SendBytes(port, g_frame, kFrameSize);
}

}  // namespace

void SendFileHeader(PortHandle port, uint32_t length) {
  PortWrite(port, kHeaderMark);
  PortWrite(port, kHeaderMark);
  for (int shift = 0; shift < 32; shift += 8) {
    PortWrite(port, static_cast<uint8_t>(length >> shift));
  }
  for (uint32_t i = 0; i <= kHeaderZeroCount; ++i) {
    if (PortWrite(port, i < kHeaderZeroCount ? 0x00 : kHeaderEnd) == 0) {
      Print("SendFileHeader write error...\n");
      return;
    }
  }
  uint8_t byte = 0;
  uint32_t error = 0;
  if (PortRead(port, &byte, &error) == 0) {
    Print("SendFileHeader: read error...\n");
  } else if (byte != kHeaderEnd) {
    Print("SendFileHeader: bad response %X\n", byte);
  }
}

void SendFile(PortHandle port, const uint8_t* data, uint32_t length) {
  const uint32_t whole = length / kBlockSize;
  for (uint32_t k = 0; k < whole; ++k) {
    SendFrame(port, k, data + static_cast<size_t>(k) * kBlockSize, kBlockSize);
  }
  if (length % kBlockSize != 0) {
    SendFrame(port, whole, data + static_cast<size_t>(whole) * kBlockSize, length % kBlockSize);
  }
  Print("\n");
}

void SendBytes(PortHandle port, const uint8_t* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (PortWrite(port, buffer[i]) == 0) {
      Print("SendBytes: port write error\n");
      return;
    }
  }
  uint8_t byte = 0;
  uint32_t error = 0;
  if (PortRead(port, &byte, &error) == 0) {
    Print("SendBytes: read error...\n");
    return;
  }
  if (byte == kFrameTaken09 || byte == kFrameTaken0A) {
    return;
  }
  Print("SendBytes: bad response(0x09 or 0x0A) %X(%c)\n", byte, IsAsciiLetter(byte) ? byte : '.');
}
