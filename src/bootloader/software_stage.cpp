#include <cstdio>

#include "bootloader/bootloader.h"
#include "common/common.h"
#include "files/files.h"

namespace {
// One block buffer, reused for every block.
uint8_t g_block[kBlockSize];

// data_crc32 covers the file to its end: bytes beyond data_length are never sent, but they
// count. Read only for such a file, and only once, before the last block goes.
bool BodyIsAsChecked(int fd, uint32_t crc, const SdfHeader& header) {
  const int64_t beyond = FileLength(fd) - kSdfHeaderSize - data_length(header);
  if (beyond < 0 || (beyond > 0 && CrcFileRange(fd, &crc, static_cast<uint64_t>(beyond)) == 0)) {
    return false;
  }
  return crc == data_crc32(header);
}

// crc runs over the body bytes as they are read for sending. The file was checked before the
// first block, but nothing stops another program from rewriting it meanwhile: the last block
// goes only when what was sent is what was checked, so the box never holds a whole wrong body.
int SendFileBlock(PortHandle port, int fd, uint8_t* buffer, uint32_t k, uint32_t count, bool last, uint32_t* crc,
                  const SdfHeader& header) {
  Print("Send %ldKb\r", static_cast<long>(k));
  // A file that shrank or failed after the check must not send stale buffer contents.
  if (ReadFileExactly(fd, buffer, count) == 0) {
    Print("\nSendSDFFile: file read error...\n");
    return 0;
  }
  Crc32Update(buffer, crc, count);
  if (last && !BodyIsAsChecked(fd, *crc, header)) {
    Print("\nSendSDFFile: the file changed while it was being sent\n");
    return 0;
  }
  return SendBlockWithRetry(port, buffer, static_cast<int32_t>(count), kBlockTries);
}
}  // namespace

int WaitForReady(PortHandle port) {
  uint8_t byte = 0;
  uint32_t error = 0;
  uint32_t matched = 0;
  while (matched < sizeof kReadySignal) {
    if (PortRead(port, &byte, &error) == 0) {
      Print("SendSDFHeader: read error...\n");
      return 0;
    }
    // A byte that breaks the sequence is dropped, not tried again as the start of a new one.
    matched = (byte == kReadySignal[matched]) ? matched + 1 : 0;
  }
  return 1;
}

int SendSDFHeader(PortHandle port, const SdfHeader& header) {
  if (SetReadTimeout(port, kBlockingRead) == 0) {
    return 0;
  }
  // No purge: a ready signal that came during the file check is still to be found.
  DrainPort(port);
  Print("Wait For STB ready\n");
  if (WaitForReady(port) == 0) {
    return 0;
  }
  Print("Remote BootLoader is ready\n");
  for (const uint8_t byte : header.bytes) {
    PortWrite(port, byte);
  }
  Print("wait STB response:\n");
  return WaitHeaderResponse(port);
}

int SendSDFFile(PortHandle port, int sdf_fd, uint8_t* buffer, const SdfHeader& header) {
  const uint32_t n = data_length(header);
  const uint32_t whole = n / kBlockSize;
  const uint32_t rest = n % kBlockSize;
  if (FileSeek(sdf_fd, kSdfHeaderSize) == 0) {
    Print("SendSDFFile: file read error...\n");
    return 0;
  }
  Print("\n");
  uint32_t crc = 0;
  for (uint32_t k = 0; k < whole; ++k) {
    const bool last = rest == 0 && k + 1 == whole;
    if (SendFileBlock(port, sdf_fd, buffer, k, kBlockSize, last, &crc, header) == 0) {
      return 0;
    }
  }
  if (rest != 0 && SendFileBlock(port, sdf_fd, buffer, whole, rest, true, &crc, header) == 0) {
    return 0;
  }
  Print("Send %ldKb\r", static_cast<long>(whole));
  Print("\n");
  return WaitAfterLastResponse(port);
}

int RunSoftwareStage(PortHandle port, int sdf_fd) {
  SdfHeader header{};
  ForgetVerdictPace();
  Print("Check SDF file... ");
  if (Check_SDF_File(sdf_fd, &header) == 0) {
    Print("BAD\n");
    return 0;
  }
  Print("OK\n");
  const uint32_t t0 = ElapsedClock();

  Print("SendFileHeader... ");
  if (SendSDFHeader(port, header) == 0) {
    Print("BAD\n");
    return 0;
  }
  Print("OK\n");

  Print("SendSDFFile... ");
  if (SendSDFFile(port, sdf_fd, g_block, header) == 0) {
    Print("BAD\n");
    return 0;
  }
  Print("OK\n");

  if (WaitLastResponse(port) == 0) {
    return 0;
  }
  // The time shown is the update's; the watch for a verdict too many comes on top.
  const uint32_t t1 = ElapsedClock();
  if (CheckNoVerdictFollows(port) == 0) {
    return 0;
  }
  PrintStatusLine("SW", t0, t1);
  return 1;
}
