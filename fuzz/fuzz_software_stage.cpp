// The whole software stage, RunSoftwareStage: an SDF file made of the input and arbitrary bytes
// from the bootloader, some of them late. No model of the stage: the target holds it to what it
// must keep whatever the line does.
//   - Bytes go out only after the ready signal: the header as it is in the file, then each
//     block (FF fill, checksum) in order, at most kBlockTries times each.
//   - A block's checksum never goes while a byte waits unread. A try cut short before its
//     checksum was stopped by a verdict or text message already waiting: out of step.
//   - A block is sent again only when its try read no 06; the next block goes only after one,
//     and that 06 is the last byte read before it. After a 15 the block goes again only when
//     no verdict or text message came since, nothing waits unread, and at least 500 ms have
//     passed since the first byte read after the checksum; a verdict or text message in that
//     time ends the run out of step.
//   - The header's verdict, the verdict after the last block and the final verdict take the
//     first odd byte as their answer: it is printed and the stage fails.
//   - Success exactly when those verdicts were 06 and no verdict or text message was read
//     after the final one; never with one left unread that came within 250 ms of it, or within
//     5 s in a run with an odd byte or a block sent again.
//   - On failure the console ends with "BAD\n", or (after the body went through) with the
//     last verdict's own line or one on standard error; never the status line.
//   - No read after the port died.
//
// Input: [flags] [data_length slack] [line length, 2 bytes] [delay count]
//        [(index, 2 bytes) (delay / 10 ms)] ... the bootloader's bytes, then the file's bytes.
//   flags bit 0: the line hangs up after the last byte (else it stays open and silent)
//   flags bit 1: data_length is set to the body's size less the slack (when that fits)
//   flags bit 2: data_crc32 is set to the body's true CRC
//   flags bit 3: header_crc32 is set to the header's true CRC (after the two above)
#include <algorithm>
#include <vector>

#include "bootloader/bootloader.h"
#include "bootloader_model.h"
#include "sdf/sdf.h"

namespace {

constexpr uint64_t kWatchAtLeastMs = 250;
constexpr uint64_t kLongWatchAtLeastMs = 5000;

bool Passes(const fuzz::Bytes& file) {
  if (file.size() < kSdfHeaderSize) {
    return false;
  }
  const size_t body = file.size() - kSdfHeaderSize;
  return fuzz::Crc(file.data(), kSdfHeaderCrcSpan) == ReadLe32(file.data() + kSdfHeaderCrcOffset) &&
         ReadLe32(file.data() + kSdfDataLengthOffset) <= body &&
         fuzz::Crc(file.data() + kSdfHeaderSize, body) == ReadLe32(file.data() + kSdfDataCrcOffset);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool EndsWithUnknownResponse(const std::string& text) {
  const size_t at = text.rfind("Unknown response: 0x");
  return at != std::string::npos && EndsWith(text, "\n") &&
         text.find_first_not_of("0123456789ABCDEF", at + 20) == text.size() - 1 && text.size() - 1 > at + 20;
}

// Each write: the line bytes read before it and the clock.
struct WriteMark {
  uint64_t reads_before;
  uint64_t now;
};

// The bytes a verdict reader answers to in line[from, to): outside text messages (02 ... 00).
std::vector<size_t> VerdictPositions(const fuzz::Bytes& line, size_t from, size_t to) {
  std::vector<size_t> out;
  bool in_text = false;
  for (size_t i = from; i < to; ++i) {
    if (in_text) {
      in_text = line[i] != 0x00;
    } else if (line[i] == 0x02) {
      in_text = true;
    } else {
      out.push_back(i);
    }
  }
  return out;
}

struct Run {
  const fuzz::LineScript& script;
  const fuzz::LineModel& arrivals;
  const std::vector<WriteMark>& marks;
  const fuzz::Bytes& written;
  size_t read_total;
  int result;
  const std::string& text;
  const std::string& errors;

  const fuzz::Bytes& Line() const { return script.bytes; }
  // The line bytes read after write w and before the next one (or the end).
  size_t SegmentEnd(size_t w) const { return w + 1 < marks.size() ? marks[w + 1].reads_before : read_total; }
};

// A verdict that takes the first odd byte as its answer, at line[at]: the stage fails there,
// with that byte the last one read.
void CheckStrictOddByte(const Run& run, size_t at, const std::string& after) {
  const uint8_t byte = run.Line()[at];
  FUZZ_CHECK(run.result == 0);
  FUZZ_CHECK(run.read_total == at + 1);
  FUZZ_CHECK(EndsWith(run.text, fuzz::Format("Unknown response: 0x%X\n", byte) + after));
}

// From the verdict after the last block on: verdicts[0..] are the reader's bytes after the last
// write that no block verdict took; the strict ones are its first `strict` (06 each for
// success), then the final watch sees raw bytes.
void CheckClosingVerdicts(const Run& run, const std::vector<size_t>& verdicts, size_t strict, bool troubled = false) {
  // Their lines after a failure: the header's and the one after the last block end in BAD.
  static const char* const kAfter[] = {"BAD\n", "BAD\n", ""};
  for (size_t v = 0; v < strict; ++v) {
    const char* after = kAfter[3 - strict + v];
    if (v == verdicts.size()) {
      // The port died or stayed silent for ever.
      FUZZ_CHECK(run.result == 0);
      return;
    }
    const uint8_t byte = run.Line()[verdicts[v]];
    if (byte == 0x15) {
      FUZZ_CHECK(run.result == 0);
      FUZZ_CHECK(run.read_total == verdicts[v] + 1);
      FUZZ_CHECK(v + 1 < strict ? EndsWith(run.text, "BAD\n")
                                : run.errors == "boxload: the box refused the update at its last verdict\n");
      // The refusal after the last block says on standard error what it may mean.
      FUZZ_CHECK((v + 2 == strict) == (run.errors.rfind("boxload: the box refused after the last block: ", 0) == 0));
      return;
    }
    if (byte != 0x06) {
      CheckStrictOddByte(run, verdicts[v], after);
      return;
    }
  }
  // The final verdict was 06: the watch after it.
  const size_t final_at = verdicts[strict - 1];
  bool protocol_read = false;
  for (size_t i = final_at + 1; i < run.read_total; ++i) {
    protocol_read = protocol_read || fuzz::IsProtocolByte(run.Line()[i]);
  }
  // The watch stops at the first verdict or text message it sees.
  FUZZ_CHECK(!protocol_read || fuzz::IsProtocolByte(run.Line()[run.read_total - 1]));
  FUZZ_CHECK(run.result == (protocol_read ? 0 : 1));
  if (protocol_read) {
    FUZZ_CHECK(run.errors.rfind("boxload: out of step with the box: ", 0) == 0);
    FUZZ_CHECK(EndsWith(run.errors, " after its final one; the update is not known to be good\n"));
    return;
  }
  for (size_t i = final_at + 1; i < run.Line().size(); ++i) {
    FUZZ_CHECK(run.arrivals.Arrival(i) >
                   run.arrivals.Arrival(final_at) + (troubled ? kLongWatchAtLeastMs : kWatchAtLeastMs) ||
               !fuzz::IsProtocolByte(run.Line()[i]));
  }
}

// The stage after a passing check.
void CheckStage(const Run& run, const fuzz::Bytes& file) {
  const std::string opening = "Check SDF file... OK\nSendFileHeader... Wait For STB ready\n";
  FUZZ_CHECK_TEXT(run.text.substr(0, opening.size()), opening);
  FUZZ_CHECK(serial_memory::ReadsAfterFailure() == 0);
  if (run.result == 0) {
    // Silent only at the last verdict or its watch, which say why on their own.
    FUZZ_CHECK(EndsWith(run.text, "BAD\n") || !run.errors.empty() ||
               EndsWith(run.text, "WaitResponse: read error...\n") || EndsWithUnknownResponse(run.text));
  } else {
    FUZZ_CHECK(run.errors.empty());
    FUZZ_CHECK(run.text.find("\nSW update status: OK, [overall time: ") != std::string::npos);
    FUZZ_CHECK(EndsWith(run.text, "(seconds)]\n"));
  }
  if (run.written.empty()) {
    // The ready signal never came.
    FUZZ_CHECK(run.result == 0 && EndsWith(run.text, "SendSDFHeader: read error...\nBAD\n"));
    return;
  }
  // Only after the ready signal, and its last byte was the last one read.
  const size_t ready_end = run.marks[0].reads_before;
  static const uint8_t kReady[] = {0x53, 0x44, 0x46, 0x10};
  FUZZ_CHECK(ready_end >= 4 && std::equal(kReady, kReady + 4, run.Line().begin() + static_cast<long>(ready_end) - 4));
  FUZZ_CHECK(run.written.size() >= kSdfHeaderSize &&
             std::equal(file.begin(), file.begin() + kSdfHeaderSize, run.written.begin()));

  const uint32_t n = ReadLe32(file.data() + kSdfDataLengthOffset);
  const size_t blocks = (n + 1023) / 1024;
  FUZZ_CHECK(run.written.size() <= kSdfHeaderSize + blocks * kBlockTries * 1025);
  const size_t header_end = kSdfHeaderSize - 1;
  if (blocks == 0) {
    FUZZ_CHECK(run.written.size() == kSdfHeaderSize);
    CheckClosingVerdicts(run, VerdictPositions(run.Line(), run.marks[header_end].reads_before, run.read_total), 3);
    return;
  }
  // The header's verdict: 06 and nothing behind it, or the stage ends there.
  if (run.written.size() == kSdfHeaderSize) {
    const std::vector<size_t> v = VerdictPositions(run.Line(), run.marks[header_end].reads_before, run.read_total);
    FUZZ_CHECK(run.result == 0);
    if (!v.empty() && run.Line()[v[0]] != 0x06 && run.Line()[v[0]] != 0x15) {
      CheckStrictOddByte(run, v[0], "BAD\n");
    }
    FUZZ_CHECK(v.empty() || run.Line()[v[0]] != 0x06);
    return;
  }
  {
    const std::vector<size_t> v =
        VerdictPositions(run.Line(), run.marks[header_end].reads_before, run.SegmentEnd(header_end));
    FUZZ_CHECK(v.size() == 1 && run.Line()[v[0]] == 0x06 && v[0] + 1 == run.SegmentEnd(header_end));
  }

  const uint8_t* body = file.data() + kSdfHeaderSize;
  size_t pos = kSdfHeaderSize;
  for (size_t k = 0; k < blocks; ++k) {
    const uint32_t count = k + 1 < blocks || n % 1024 == 0 ? 1024 : n % 1024;
    const fuzz::Bytes block = fuzz::BlockOnLine(body + k * 1024, static_cast<int32_t>(count));
    for (int32_t t = 0;; ++t) {
      FUZZ_CHECK(t < kBlockTries && pos < run.written.size());
      const size_t left = run.written.size() - pos;
      FUZZ_CHECK(std::equal(run.written.begin() + static_cast<long>(pos),
                            run.written.begin() + static_cast<long>(pos + std::min<size_t>(left, 1025)),
                            block.begin()));
      // Nothing waits when the checksum goes; the bytes read while the block went were noise.
      const size_t first = pos;
      const size_t sum = pos + 1024;
      if (left < 1025) {
        // Stopped before the checksum: a verdict or text message was already there.
        FUZZ_CHECK(left == 1024 && run.result == 0 && run.read_total > run.marks[first].reads_before);
        const size_t last = run.read_total - 1;
        FUZZ_CHECK(fuzz::IsProtocolByte(run.Line()[last]) && run.arrivals.Arrival(last) <= run.marks[sum - 1].now);
        FUZZ_CHECK(run.errors.rfind("boxload: out of step with the box: ", 0) == 0);
        FUZZ_CHECK(EndsWith(run.errors, " before the block it could answer had been sent; nothing more is sent\n"));
        FUZZ_CHECK(EndsWith(run.text, "BAD\n"));
        return;
      }
      for (size_t i = run.marks[first].reads_before; i < run.marks[sum].reads_before; ++i) {
        FUZZ_CHECK(!fuzz::IsProtocolByte(run.Line()[i]));
      }
      const size_t next = run.marks[sum].reads_before;
      FUZZ_CHECK(next == run.Line().size() || run.arrivals.Arrival(next) > run.marks[sum].now);

      const size_t end = run.SegmentEnd(sum);
      const std::vector<size_t> v = VerdictPositions(run.Line(), next, end);
      const auto verdict =
          std::find_if(v.begin(), v.end(), [&run](size_t i) { return run.Line()[i] == 0x06 || run.Line()[i] == 0x15; });
      const bool accepted = verdict != v.end() && run.Line()[*verdict] == 0x06;
      pos += 1025;
      if (pos == run.written.size()) {
        if (accepted) {
          FUZZ_CHECK(k + 1 == blocks);
          const bool troubled = run.text.find("Unknown response: ") != std::string::npos ||
                                run.written.size() > kSdfHeaderSize + blocks * 1025;
          CheckClosingVerdicts(run, std::vector<size_t>(verdict + 1, v.end()), 2, troubled);
        } else {
          // Out of tries, the port died, or a verdict or text message came after a refusal.
          FUZZ_CHECK(run.result == 0 && EndsWith(run.text, "BAD\n"));
          const bool heard =
              EndsWith(run.errors, " after a refusal, before the block went again; nothing more is sent\n");
          FUZZ_CHECK(t + 1 == kBlockTries || end == run.Line().size() || heard);
          if (heard) {
            FUZZ_CHECK(verdict != v.end() && run.Line()[*verdict] == 0x15);
            FUZZ_CHECK(end > *verdict + 1 && fuzz::IsProtocolByte(run.Line()[end - 1]));
          }
        }
        return;
      }
      // Another write: a 06, when there was one, was the last byte read before it; after a 15 the
      // line was heard out.
      FUZZ_CHECK(verdict == v.end() || accepted || t + 1 < kBlockTries);
      if (verdict != v.end() && !accepted) {
        for (size_t i = *verdict + 1; i < end; ++i) {
          FUZZ_CHECK(!fuzz::IsProtocolByte(run.Line()[i]));
        }
        FUZZ_CHECK(end == run.Line().size() || run.arrivals.Arrival(end) > run.marks[pos].now);
        FUZZ_CHECK(run.marks[pos].now >= run.arrivals.Arrival(next) + 500);
      } else {
        FUZZ_CHECK(verdict == v.end() || *verdict + 1 == end);
      }
      if (accepted) {
        FUZZ_CHECK(k + 1 < blocks);
        break;
      }
    }
  }
  // Every block went and was acknowledged, yet more was written.
  FUZZ_CHECK(pos == run.written.size());
}

}  // namespace

void fuzz::CheckInput(fuzz::Input& in) {
  fuzz::LineScript script;
  const uint8_t flags = in.Byte();
  script.hang_up_at_end = (flags & 1) != 0;
  const uint8_t slack = in.Byte();
  const uint16_t line_length = in.Word();
  fuzz::ReadDelays(in, 10, &script);
  script.bytes = in.Take(line_length);
  fuzz::Bytes file = in.Rest();
  fuzz::FixUpSdf(&file, static_cast<uint8_t>(flags >> 1), slack);

  fuzz::ResetRun();
  const int sdf_fd = fuzz::SdfFile(file);
  fuzz::QueueScript(script);
  std::vector<WriteMark> marks;
  serial_memory::SetWriteHook([&marks](uint8_t /*byte*/, uint64_t now) {
    marks.push_back(WriteMark{serial_memory::BytesRead(), now});
  });
  fuzz::ErrorText error_capture;
  const int result = RunSoftwareStage(serial_memory::Handle(), sdf_fd);
  const std::string errors = error_capture.Stop();
  const std::string text = fuzz::Console::Text();
  const fuzz::Bytes written = serial_memory::Written();
  const auto read_total = static_cast<size_t>(serial_memory::BytesRead());

  if (!Passes(file)) {
    // Refused before a byte goes out or is read.
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(text.rfind("Check SDF file... Check_SDF_File: ", 0) == 0 && EndsWith(text, "BAD\n"));
    FUZZ_CHECK(written.empty() && read_total == 0);
    FUZZ_CHECK(fuzz::DrainUnread() == script.bytes.size());
    return;
  }
  const fuzz::LineModel arrivals(script);
  const Run run{script, arrivals, marks, written, read_total, result, text, errors};
  CheckStage(run, file);
}
