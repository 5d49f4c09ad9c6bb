// sdftool: makes SDF files and tells whether the tool would accept one.
//
//   sdftool make [--id HEX] BODY OUT   header (8 id bytes, data_length, data_crc32,
//                                      header_crc32, little-endian) + BODY
//   sdftool info FILE                  the fields, stored and computed CRCs, and the verdict
//                                      of the tool's own check; exit 0 when it passes
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/common.h"
#include "sdf/sdf.h"
#include "files/files.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: sdftool make [--id HEX] BODY OUT   write OUT: the SDF header, then BODY\n"
               "       sdftool info FILE                  show FILE's header and check it\n"
               "  --id HEX   the header's first 8 bytes, 16 hexadecimal digits (default zeros)\n");
  return 2;
}

int RefuseOutput(const char* out_name) {
  std::fprintf(stderr, "sdftool: %s is not a regular file (a device, FIFO, socket or directory): left as it is\n",
               out_name);
  return 1;
}

bool ParseId(const char* text, uint8_t id[kSdfIdSize]) {
  if (std::strlen(text) != size_t{2} * kSdfIdSize) {
    return false;
  }
  for (size_t i = 0; i < kSdfIdSize; ++i) {
    const int hi = HexDigitValue(text[2 * i]);
    const int lo = HexDigitValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      return false;
    }
    id[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

int Make(int argc, char** argv) {
  uint8_t id[kSdfIdSize] = {};
  int arg = 2;
  if (arg < argc && std::strcmp(argv[arg], "--id") == 0) {
    if (arg + 1 >= argc || !ParseId(argv[arg + 1], id)) {
      std::fprintf(stderr, "sdftool: --id takes 16 hexadecimal digits\n");
      return 2;
    }
    arg += 2;
  }
  if (argc - arg != 2) {
    return Usage();
  }
  const char* body_name = argv[arg];
  const char* out_name = argv[arg + 1];
  // A device, FIFO, socket or directory under the output's name is the user's, not ours to
  // replace: looked at here, and again by the move into place.
  if (const FileKind kind = FileKindOf(out_name); kind == kFileDirectory || kind == kFileOther) {
    return RefuseOutput(out_name);
  }

  const int fd = FileOpenRead(body_name);
  if (fd == kNoFile) {
    std::fprintf(stderr, "sdftool: cannot open %s\n", body_name);
    return 1;
  }
  const int64_t length = FileLength(fd);
  if (length < 0 || length > 0xFFFFFFFFLL) {
    std::fprintf(stderr, "sdftool: %s: a body must be a regular file under 4 GiB\n", body_name);
    FileClose(fd);
    return 1;
  }
  uint32_t data_crc = 0;
  if (CrcFileRange(fd, &data_crc, static_cast<uint64_t>(length)) == 0) {
    std::fprintf(stderr, "sdftool: cannot read %s\n", body_name);
    FileClose(fd);
    return 1;
  }

  const SdfHeader header = MakeSdfHeader(id, static_cast<uint32_t>(length), data_crc);
  const uint32_t header_crc = header_crc32(header);

  // Writing over the body would destroy it before it is read: refuse the body itself, under
  // any name or link.
  std::error_code same_error;
  if (std::filesystem::equivalent(body_name, out_name, same_error)) {
    std::fprintf(stderr, "sdftool: %s is the body itself: give another output file\n", out_name);
    FileClose(fd);
    return 1;
  }
  // Written beside the output under a name of its own and renamed into place, so that a failed
  // write never leaves half a file under the output's name, and no file that happens to bear
  // the temporary's name is touched.
  static char partial[4096 + 32];
  std::FILE* out = FileCreateTemporary(out_name, partial, sizeof partial);
  if (out == nullptr) {
    std::fprintf(stderr, "sdftool: cannot create a file beside %s: %s\n", out_name, std::strerror(errno));
    FileClose(fd);
    return 1;
  }
  bool ok = std::fwrite(header.bytes, 1, kSdfHeaderSize, out) == kSdfHeaderSize;
  static uint8_t buffer[64 * 1024];
  // Exactly the bytes the header counts, in case the body grows meanwhile.
  for (uint64_t left = static_cast<uint64_t>(length); ok && left > 0;) {
    const uint32_t chunk = left < sizeof buffer ? static_cast<uint32_t>(left) : static_cast<uint32_t>(sizeof buffer);
    ok = ReadFileExactly(fd, buffer, chunk) != 0 && std::fwrite(buffer, 1, chunk, out) == chunk;
    left -= chunk;
  }
  FileClose(fd);
  ok = std::fclose(out) == 0 && ok;
  CreateRefusal refusal = kCreateFailed;
  if (!ok || FileReplace(partial, out_name, &refusal) == 0) {
    const int reason = errno;
    (void)std::remove(partial);  // nothing more to do if even that fails
    if (refusal == kCreateNotRegular) {
      return RefuseOutput(out_name);
    }
    std::fprintf(stderr, "sdftool: cannot write %s: %s\n", out_name, std::strerror(reason));
    return 1;
  }
  std::printf("%s: data_length=%lu data_crc32=0x%08lX header_crc32=0x%08lX\n", out_name,
              static_cast<unsigned long>(length), static_cast<unsigned long>(data_crc),
              static_cast<unsigned long>(header_crc));
  return 0;
}

int Info(int argc, char** argv) {
  if (argc != 3) {
    return Usage();
  }
  const int fd = FileOpenRead(argv[2]);
  if (fd == kNoFile) {
    std::fprintf(stderr, "sdftool: cannot open %s\n", argv[2]);
    return 1;
  }
  const int64_t length = FileLength(fd);
  std::printf("file:         %s, %lld bytes\n", argv[2], static_cast<long long>(length));
  SdfHeader header{};
  if (length >= kSdfHeaderSize && FileRead(fd, header.bytes, kSdfHeaderSize) == kSdfHeaderSize) {
    uint32_t header_crc = 0;
    Crc32Update(header.bytes, &header_crc, kSdfHeaderCrcSpan);
    uint32_t data_crc = 0;
    const int read_ok = CrcFileRange(fd, &data_crc, static_cast<uint64_t>(length) - kSdfHeaderSize);
    std::printf("id:           ");
    for (uint32_t i = 0; i < kSdfIdSize; ++i) {
      std::printf("%02X", header.bytes[i]);
    }
    std::printf("\ndata_length:  %lu (the file holds %lld bytes after the header)\n",
                static_cast<unsigned long>(data_length(header)), static_cast<long long>(length) - kSdfHeaderSize);
    std::printf("data_crc32:   stored 0x%08lX, computed 0x%08lX%s\n", static_cast<unsigned long>(data_crc32(header)),
                static_cast<unsigned long>(data_crc), read_ok != 0 ? "" : " (read error)");
    std::printf("header_crc32: stored 0x%08lX, computed 0x%08lX\n", static_cast<unsigned long>(header_crc32(header)),
                static_cast<unsigned long>(header_crc));
  }
  // The verdict is the tool's own check, lines and all.
  SdfHeader checked{};
  std::printf("check:        ");
  std::fflush(stdout);
  const int ok = Check_SDF_File(fd, &checked);
  std::printf("%s\n", ok != 0 ? "OK" : "BAD");
  FileClose(fd);
  return ok != 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "make") == 0) {
    return Make(argc, argv);
  }
  if (argc >= 2 && std::strcmp(argv[1], "info") == 0) {
    return Info(argc, argv);
  }
  return Usage();
}
