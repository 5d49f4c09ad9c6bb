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

void fuzz::CheckInput(fuzz::Input& in) {
  const uint8_t flags = in.Byte();
  const uint8_t start = in.Byte();
  const uint8_t slack = in.Byte();
  fuzz::Bytes file = in.Rest();

  const bool has_header = file.size() >= kSdfHeaderSize;
  const size_t body = has_header ? file.size() - kSdfHeaderSize : 0;
  fuzz::FixUpSdf(&file, flags, slack);

  fuzz::ResetRun();
  const int sdf_fd = fuzz::SdfFile(file);
  if (lseek(sdf_fd, start, SEEK_SET) != start) {
    std::abort();
  }
  SdfHeader header{};
  const int result = Check_SDF_File(sdf_fd, &header);
  const std::string text = fuzz::Console::Text();

  if (!has_header) {
    FUZZ_CHECK(result == 0);
  } else {
    FUZZ_CHECK(std::equal(file.begin(), file.begin() + kSdfHeaderSize, header.bytes));
    const uint32_t header_crc = fuzz::Crc(file.data(), kSdfHeaderCrcSpan);
    const uint32_t data_crc = fuzz::Crc(file.data() + kSdfHeaderSize, body);
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
    FUZZ_CHECK(lseek(sdf_fd, 0, SEEK_CUR) == kSdfHeaderSize);
  } else {
    // A refusal is always told, in one line of the check's own.
    FUZZ_CHECK(text.rfind("Check_SDF_File: ", 0) == 0 && text.find('\n') == text.size() - 1);
  }
}
