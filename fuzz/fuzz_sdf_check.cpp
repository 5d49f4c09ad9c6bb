// Check_SDF_File on a file made of the input.
//
// Input: [flags] [start position] [data_length slack] then the file's bytes.
//   flags bit 0: data_length is set to the body's size less the slack (when that fits)
//   flags bit 1: data_crc32 is set to the body's true CRC
//   flags bit 2: header_crc32 is set to the header's true CRC (after the two above)
// Without the fix-ups a random file almost never passes; with them the fuzzer reaches the
// passing path and the mismatches one field at a time.
#include <unistd.h>

#include "fuzz_support.h"
#include "sdf/sdf.h"

namespace {

int g_file = -1;

// Bit by bit, register from 0, no final inversion: independent of the code's table.
uint32_t Crc(const uint8_t* data, size_t count) {
  uint32_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
  }
  return crc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz::Console::Init();
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  g_file = memfd_create("fuzz-sdf", 0);
  if (Crc(check, sizeof check) != 0x2DFD2D88u || g_file < 0) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t start = in.Byte();
  const uint8_t slack = in.Byte();
  fuzz::Bytes file = in.Rest();

  const bool has_header = file.size() >= kSdfHeaderSize;
  const size_t body = has_header ? file.size() - kSdfHeaderSize : 0;
  if (has_header) {
    if ((flags & 1) != 0 && slack <= body) {
      WriteLe32(file.data() + kSdfDataLengthOffset, static_cast<uint32_t>(body - slack));
    }
    if ((flags & 2) != 0) {
      WriteLe32(file.data() + kSdfDataCrcOffset, Crc(file.data() + kSdfHeaderSize, body));
    }
    if ((flags & 4) != 0) {
      WriteLe32(file.data() + kSdfHeaderCrcOffset, Crc(file.data(), kSdfHeaderCrcSpan));
    }
  }

  fuzz::ResetRun();
  if (ftruncate(g_file, 0) != 0 ||
      (!file.empty() && pwrite(g_file, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) ||
      lseek(g_file, start, SEEK_SET) != start) {
    std::abort();
  }
  SdfHeader header{};
  const int result = Check_SDF_File(g_file, &header);
  const std::string text = fuzz::Console::Text();

  if (!has_header) {
    FUZZ_CHECK(result == 0);
  } else {
    FUZZ_CHECK(std::equal(file.begin(), file.begin() + kSdfHeaderSize, header.bytes));
    const uint32_t header_crc = Crc(file.data(), kSdfHeaderCrcSpan);
    const uint32_t data_crc = Crc(file.data() + kSdfHeaderSize, body);
    const bool header_ok = header_crc == header_crc32(header);
    const bool length_ok = data_length(header) <= body;
    const bool data_ok = data_crc == data_crc32(header);
    // Passing means every field holds: the header is intact, the body is all there and intact.
    FUZZ_CHECK(result == (header_ok && length_ok && data_ok ? 1 : 0));
    if (!header_ok) {
      FUZZ_CHECK_TEXT(text, fuzz::Format("Check_SDF_File: sdf->header_crc32=0x%X, calc_crc32=0x%X\n",
                                         header_crc32(header), header_crc));
    } else if (length_ok && !data_ok) {
      FUZZ_CHECK_TEXT(
          text, fuzz::Format("Check_SDF_File: sdf->data_crc32=0x%X, calc_crc32=0x%X\n", data_crc32(header), data_crc));
    }
  }
  if (result == 1) {
    FUZZ_CHECK_TEXT(text, std::string());
    FUZZ_CHECK(lseek(g_file, 0, SEEK_CUR) == kSdfHeaderSize);
  } else {
    // A refusal is always told, in one line of the check's own.
    FUZZ_CHECK(text.rfind("Check_SDF_File: ", 0) == 0 && text.find('\n') == text.size() - 1);
  }
  return 0;
}
