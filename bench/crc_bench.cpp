// crc_bench: the tool's SDF check over a large file, next to zlib's crc32 in the same run.
//
//   crc_bench FILE MIB
//
// Writes FILE, an SDF file with a MIB MiB body whose header CRCs come from zlib, then times the
// tool's own Check_SDF_File on it against zlib's crc32 reading the same file in the same
// 1 KiB reads, so that the ratio compares the CRC code and not the I/O. The CRC code alone is
// also timed in memory. Every result is cross-checked: the tool's check must pass on zlib's
// CRCs, and the two CRCs of the same bytes must agree.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "sdf/sdf.h"
#include "files/files.h"
#include "summary.h"

namespace {

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kReadSize = 1024;  // the tool's own read buffer
constexpr int kRounds = 3;
constexpr uint32_t kMemoryMiB = 64;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The tool's CRC (register 0, no final inversion) in zlib's terms: zlib inverts on the way in
// and out, so a register of 0 is zlib's running value of 0xFFFFFFFF, inverted.
uint32_t ZlibToTool(uLong zlib_crc) { return ~static_cast<uint32_t>(zlib_crc); }

void Fill(std::vector<uint8_t>* buffer, uint64_t* state) {
  for (uint8_t& b : *buffer) {
    // xorshift64: cheap bytes with no pattern a CRC could shortcut.
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    b = static_cast<uint8_t>(*state >> 24);
  }
}

bool MakeFile(const char* name, uint32_t mib) {
  std::FILE* f = std::fopen(name, "wb");
  if (f == nullptr) {
    return false;
  }
  uint8_t header[kSdfHeaderSize] = {'B', 'E', 'N', 'C', 'H', 0, 0, 1};
  std::fwrite(header, 1, sizeof header, f);
  std::vector<uint8_t> chunk(kMiB);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uLong crc = 0xFFFFFFFFul;
  for (uint32_t i = 0; i < mib; ++i) {
    Fill(&chunk, &state);
    crc = crc32(crc, chunk.data(), kMiB);
    std::fwrite(chunk.data(), 1, chunk.size(), f);
  }
  WriteLe32(header + kSdfDataLengthOffset, mib * kMiB);
  WriteLe32(header + kSdfDataCrcOffset, ZlibToTool(crc));
  WriteLe32(header + kSdfHeaderCrcOffset, ZlibToTool(crc32(0xFFFFFFFFul, header, kSdfHeaderCrcSpan)));
  std::fseek(f, 0, SEEK_SET);
  std::fwrite(header, 1, sizeof header, f);
  return std::fclose(f) == 0;
}

// The tool's check as the software stage runs it; seconds, or -1 when it fails.
double TimeToolCheck(const char* name) {
  const int fd = FileOpenRead(name);
  if (fd == kNoFile) {
    return -1;
  }
  SdfHeader header{};
  const int64_t start = NowNs();
  const int ok = Check_SDF_File(fd, &header);
  const int64_t end = NowNs();
  FileClose(fd);
  return ok != 0 ? static_cast<double>(end - start) / 1e9 : -1;
}

// zlib over the body, read as the tool reads it; seconds, or -1 when its CRC is not the stored one.
double TimeZlibCheck(const char* name, bool with_crc) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  uint8_t header[kSdfHeaderSize];
  uint8_t buffer[kReadSize];
  const int64_t start = NowNs();
  if (read(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
    close(fd);
    return -1;
  }
  uLong crc = 0xFFFFFFFFul;
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    if (with_crc) {
      crc = crc32(crc, buffer, static_cast<uInt>(n));
    }
  }
  const int64_t end = NowNs();
  close(fd);
  if (with_crc && ZlibToTool(crc) != ReadLe32(header + kSdfDataCrcOffset)) {
    return -1;
  }
  return static_cast<double>(end - start) / 1e9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) < 1) {
    std::fprintf(stderr, "usage: crc_bench FILE MIB\n");
    return 2;
  }
  const char* name = argv[1];
  const uint32_t mib = static_cast<uint32_t>(std::atoi(argv[2]));
  if (!MakeFile(name, mib)) {
    std::fprintf(stderr, "crc_bench: cannot write %s\n", name);
    return 1;
  }

  // Alternating rounds, so that a disturbance from outside hits both sides alike.
  std::vector<double> tool_s;
  std::vector<double> zlib_s;
  std::vector<double> read_s;
  for (int round = 0; round < kRounds; ++round) {
    const double t = TimeToolCheck(name);
    const double z = TimeZlibCheck(name, true);
    const double r = TimeZlibCheck(name, false);
    if (t < 0 || z < 0 || r < 0) {
      std::fprintf(stderr, "crc_bench: %s\n",
                   t < 0 ? "the tool's check refused a file whose CRCs zlib computed"
                         : "zlib's CRC of the body is not the one stored in the header");
      return 1;
    }
    tool_s.push_back(t);
    zlib_s.push_back(z);
    read_s.push_back(r);
  }
  const double tool_rate = mib / Median(tool_s);
  const double zlib_rate = mib / Median(zlib_s);
  const double read_rate = mib / Median(read_s);

  // The CRC code alone, over the same bytes in memory.
  std::vector<uint8_t> memory(static_cast<size_t>(kMemoryMiB) * kMiB);
  uint64_t state = 0x2545F4914F6CDD1Dull;
  Fill(&memory, &state);
  std::vector<double> tool_mem_s;
  std::vector<double> zlib_mem_s;
  for (int round = 0; round < kRounds; ++round) {
    uint32_t reg = 0;
    int64_t start = NowNs();
    Crc32Update(memory.data(), &reg, static_cast<uint32_t>(memory.size()));
    tool_mem_s.push_back(static_cast<double>(NowNs() - start) / 1e9);
    start = NowNs();
    const uLong z = crc32(0xFFFFFFFFul, memory.data(), static_cast<uInt>(memory.size()));
    zlib_mem_s.push_back(static_cast<double>(NowNs() - start) / 1e9);
    if (reg != ZlibToTool(z)) {
      std::fprintf(stderr, "crc_bench: Crc32Update gives %08X, zlib %08X over the same bytes\n", reg, ZlibToTool(z));
      return 1;
    }
  }
  const double tool_mem_rate = kMemoryMiB / Median(tool_mem_s);
  const double zlib_mem_rate = kMemoryMiB / Median(zlib_mem_s);

  std::printf("  SDF check of a %u MiB file (page cache), median of %d:\n", mib, kRounds);
  std::printf("    tool's Check_SDF_File            %8.0f MiB/s\n", tool_rate);
  std::printf("    zlib crc32, same 1 KiB reads     %8.0f MiB/s   tool/zlib = %.2f\n", zlib_rate,
              tool_rate / zlib_rate);
  std::printf("    the 1 KiB reads alone, no CRC    %8.0f MiB/s\n", read_rate);
  std::printf("  CRC code alone over %u MiB in memory:\n", kMemoryMiB);
  std::printf("    tool's Crc32Update               %8.0f MiB/s\n", tool_mem_rate);
  std::printf("    zlib crc32                       %8.0f MiB/s   tool/zlib = %.2f\n", zlib_mem_rate,
              tool_mem_rate / zlib_mem_rate);
  SummaryRow("6. SDF check, CRC-32 of the file", "none set", "-", "%.0f MiB/s = %.2f x zlib (in memory: %.2f x)",
             tool_rate, tool_rate / zlib_rate, tool_mem_rate / zlib_mem_rate);
  return 0;
}
