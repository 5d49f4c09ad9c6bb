// The station's reading of a child's trace as it grows: lines cut anywhere between two reads,
// escaped console text, and the stage each kind of line moves the box to.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/common.h"
#include "common/trace_header.h"
#include "station/station.h"
#include "support/test_support.h"

namespace {

// What a trace of these lines tells the station, read in one go.
void FollowText(Progress* progress, const std::string& trace, int sdf_kb) {
  TempFile file(std::vector<uint8_t>(trace.begin(), trace.end()));
  FollowBegin(progress, file.path().c_str(), sdf_kb);
  FollowEnd(progress);
}

// A trace's header line as boxload's writer makes it.
std::string HeaderLine(const char* port, const char* file, TraceHeaderFile kind, int64_t bytes = -1) {
  static TraceHeader h;
  h = TraceHeader{};
  std::snprintf(h.version, sizeof h.version, "0.1");
  h.image_bytes = 12084;
  std::snprintf(h.image_sha256, sizeof h.image_sha256, "29426de8");
  std::snprintf(h.port, sizeof h.port, "%s", port);
  std::snprintf(h.sdf_file, sizeof h.sdf_file, "%s", file);
  h.file = kind;
  h.sdf_bytes = bytes;
  std::snprintf(h.data_crc32, sizeof h.data_crc32, "%s", kind == kHeaderFileRead ? "93BB38D2" : "");
  std::snprintf(h.sdf_id, sizeof h.sdf_id, "%s", kind == kHeaderFileRead ? "0102030405060708" : "");
  std::snprintf(h.started, sizeof h.started, "2026-12-07T17:40:13Z");
  static char line[8192];
  EXPECT_GT(FormatTraceHeader(h, line, sizeof line), 0U);
  return std::string("# ") + line + "\n";
}

struct Step {
  const char* written;  // what the child adds to its trace before the station reads again
  int stage;
  int kb;
  const char* failure;
};

TEST(StationFollow, ATraceReadAsItGrows) {
  const Step steps[] = {
      {"# boxload trace 1\n# version 0.1; port 2\n0.000010 OUT KMV-7720P FW update utility[ver 0.1,May 9 1945]\\n\n",
       kStageStarting, 0, ""},
      // A line cut in the middle of its kind, then of an escape.
      {"0.000020 OU", kStageStarting, 0, ""},
      {"T Send 'GetPlatformID' and waiting STB response\\", kStageStarting, 0, ""},
      {"n\n0.000030 TX A5 02 00 11 12\n", kStageWaitingForBox, 0, ""},
      {"0.5 OUT STB response: A5 \n0.5 OUT 4B \n0.5 OUT \\n\n", kStageFirmware, 0, ""},
      {"0.6 OUT SendFile: 7(Kb)\\r\n", kStageFirmware, 7, ""},
      {"1.6 OUT \\nWaiting STB response\\n\n", kStageWaitingForLoader, 0, ""},
      {"2.0 OUT SendFileHeader... \n2.0 OUT Wait For STB ready\\n\n", kStageWaitingForLoader, 0, ""},
      {"2.1 OUT Remote BootLoader is ready\\n\n2.1 OUT SendSDFFile... \n2.1 OUT \\n\n", kStageSdf, 0, ""},
      {"2.2 OUT Send 0Kb\\r\n2.3 OUT Send 1Kb\\r\n", kStageSdf, 1, ""},
      // Text from the box with an escaped byte, then the read failure and the step's verdict.
      {"2.4 OUT Flash\\x21\\n\n", kStageSdf, 1, "Flash!"},
      {"2.5 OUT WaitResponse: read error...\\n\n2.5 OUT BAD\\n\n", kStageSdf, 1, "WaitResponse: read error..."},
  };
  TempFile trace({});
  std::FILE* writer = std::fopen(trace.path().c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  static Progress progress;
  FollowBegin(&progress, trace.path().c_str(), 3);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.written);
    std::fputs(step.written, writer);
    std::fflush(writer);
    (void)FollowTrace(&progress);
    EXPECT_EQ(progress.stage, step.stage);
    EXPECT_EQ(progress.kb, step.kb);
    EXPECT_STREQ(progress.failure, step.failure);
  }
  FollowEnd(&progress);
  std::fclose(writer);

  char text[200];
  StageText(progress.stage, progress.kb, progress, text, sizeof text);
  EXPECT_STREQ(text, "SDF 1 of 3 KB");
}

TEST(StationFollow, ABareBadNamesItsStep) {
  TempFile trace({});
  std::FILE* writer = std::fopen(trace.path().c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  std::fputs("1.0 OUT SendSDFFile... \n1.0 OUT \\n\n1.1 OUT Send 0Kb\\r\n1.2 OUT Send 1Kb\\r\n1.3 OUT BAD\\n\n",
             writer);
  std::fputs("1.3 OUT press any key for terminate programm...\\n\n", writer);
  std::fclose(writer);
  static Progress progress;
  FollowBegin(&progress, trace.path().c_str(), 3);
  FollowEnd(&progress);
  EXPECT_EQ(progress.stage, kStageSdf);
  EXPECT_EQ(progress.kb, 1);
  EXPECT_STREQ(progress.failure, "SendSDFFile... BAD");
  EXPECT_TRUE(progress.at_prompt);
}

// Beyond the stage: the header's data_crc32, the count that reaches the body's KB when its last KB is a part one, the
// console text's length and the trace's end.
TEST(StationFollow, WhatATraceTellsOfItsRecord) {
  TempFile trace({});
  std::FILE* writer = std::fopen(trace.path().c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  std::fputs(("# boxload trace 1\n" + HeaderLine("2", "a.sdf", kHeaderFileRead, 5040)).c_str(), writer);
  std::fputs("1.0 OUT SendSDFFile... \n1.0 OUT \\n\n", writer);
  for (int k = 0; k < 5; ++k) {
    std::fprintf(writer, "1.%d OUT Send %dKb\\r\n", k + 1, k);
  }
  std::fputs("1.6 OUT Send 4Kb\\r\n", writer);
  static Progress progress;
  FollowBegin(&progress, trace.path().c_str(), 5);
  std::fflush(writer);
  (void)FollowTrace(&progress);
  EXPECT_EQ(progress.kb, 5);
  EXPECT_STREQ(progress.data_crc32, "93BB38D2");
  EXPECT_FALSE(progress.finished);
  std::fputs("1.7 NOTE exit status 0\n", writer);
  std::fclose(writer);
  FollowEnd(&progress);
  EXPECT_TRUE(progress.finished);
  // "SendSDFFile... ", "\n", then six "Send NKb\r".
  EXPECT_EQ(progress.out_bytes,
            static_cast<int64_t>(std::strlen("SendSDFFile... ") + 1 + 6 * std::strlen("Send 0Kb\r")));
}

// The station's contract with boxload: every line it follows is printed, character for
// character, by boxload's sources. A reworded line fails here, not silently on a bench.
TEST(StationFollow, EveryFollowedLineIsOneBoxloadPrints) {
  namespace fs = std::filesystem;
  std::string sources;
  for (const char* room : {"app", "bootrom", "bootloader", "common", "serial"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(BOXLOAD_SOURCE_DIR) / "src" / room)) {
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      sources += text.str();
    }
  }
  // The two status lines are put together by one function from the stage's name.
  const std::string firmware_status = CaptureOutput([] { PrintStatusLine("Firmware", 0, 516); });
  const std::string software_status = CaptureOutput([] { PrintStatusLine("SW", 0, 4); });
  EXPECT_NE(sources.find("PrintStatusLine(\"Firmware\""), std::string::npos);
  EXPECT_NE(sources.find("PrintStatusLine(\"SW\""), std::string::npos);
  for (const FollowedLine& row : kFollowedLines) {
    SCOPED_TRACE(row.text);
    const std::string text = row.text;
    bool found = false;
    if (row.match == kErrorLine) {
      // fprintf(stderr, "boxload: ...") with the text at its start.
      found = sources.find("\"boxload: " + text) != std::string::npos;
    } else if (row.match == kTraceNote) {
      // TraceNote("..."), or the trace writer's own end and cut notes.
      found = sources.find("(\"" + text) != std::string::npos || sources.find(", \"" + text) != std::string::npos;
    } else if (row.id == kLineFirmwareOk || row.id == kLineSoftwareOk) {
      found = (row.id == kLineFirmwareOk ? firmware_status : software_status).rfind("\n" + text, 0) == 0;
    } else {
      const std::string end = row.match == kWholeLine ? "\\n\"" : "";
      found = sources.find("Print(\"" + text + end) != std::string::npos ||
              sources.find("Print(\"\\n" + text + end) != std::string::npos;
    }
    EXPECT_TRUE(found);
  }
}

// The header's writer and reader agree, whatever a port's or a file's name holds: the words
// the reader looks for, a line end, a byte of no text.
TEST(StationFollow, ATraceHeaderReadsBackAsItWasWritten) {
  const char* names[] = {"plain.sdf",    "f; started x.sdf",  "a, id 0102030405060708",  "n 12 bytes, no header",
                         "x unreadable", "two\nlines\\ \xff", "; file ; port ; started "};
  for (const char* name : names) {
    for (const TraceHeaderFile kind : {kHeaderFileRead, kHeaderFileNoHeader, kHeaderFileUnreadable}) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(kind));
      const int64_t bytes = kind == kHeaderFileUnreadable ? -1 : 3020;
      const std::string line = HeaderLine(name, name, kind, bytes);
      EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
      TraceHeader got;
      ASSERT_EQ(ReadTraceHeader(line.substr(0, line.size() - 1).c_str(), &got), 1);
      EXPECT_STREQ(got.version, "0.1");
      EXPECT_EQ(got.image_bytes, 12084U);
      EXPECT_STREQ(got.image_sha256, "29426de8");
      EXPECT_STREQ(got.sdf_file, name);
      EXPECT_EQ(got.file, kind);
      EXPECT_EQ(got.sdf_bytes, bytes);
      EXPECT_STREQ(got.data_crc32, kind == kHeaderFileRead ? "93BB38D2" : "");
      EXPECT_STREQ(got.sdf_id, kind == kHeaderFileRead ? "0102030405060708" : "");
      EXPECT_STREQ(got.started, "2026-12-07T17:40:13Z");
    }
  }
  TraceHeader none;
  EXPECT_EQ(ReadTraceHeader("# boxload trace 1", &none), 0);
}

// A run as boxload traces it: the box's identity in its first answer (not the bootloader's
// later one), a block sent again, an odd byte, and the stages' times up to the prompt.
TEST(StationFollow, WhatATraceTellsOfTheBoxAndItsRun) {
  static Progress p;
  FollowText(&p,
             "# boxload trace 1\n" + HeaderLine("/dev/ttyUSB0", "f; started.sdf", kHeaderFileRead, 3020) +
                 "0.000019 OUT KMV-7720P FW update utility[ver 0.1,May 9 1945]\\n\n"
                 "0.000124 OUT Send 'GetPlatformID' and waiting STB response\\n\n"
                 "0.000356 OUT STB response: A5 \n0.000362 OUT 4B \n0.000388 OUT 0 \n0.000394 OUT A \n"
                 "0.0004 OUT 1 2 3 4 5 6 7 8 1F \n0.0004 OUT \\n\n"
                 "0.515757 OUT STB response: A5 FF FF FF FF FF FF FF FF FF FF FF FF \\n\n"
                 "0.600000 OUT do_upload_firmware()\\n\n"
                 "0.7 OUT SendSDFFile... \n0.7 OUT \\n\n0.7 OUT Send 0Kb\\r\n"
                 "0.71 NOTE block sent again (try 2 of 3)\n0.72 NOTE block sent again (try 3 of 3)\n"
                 "0.75 OUT Unknown response: 0x5A\\n\n0.8 OUT Send 1Kb\\r\n0.8 OUT \\n\n0.8 OUT OK\\n\n"
                 "0.9 OUT \\nSW update status: OK, [overall time: 0.3(seconds)]\\n\n"
                 "0.950 OUT press any key for terminate programm...\\n\n"
                 "9.0 NOTE exit status 0\n",
             1);
  EXPECT_EQ(p.stage, kStageUpdated);
  EXPECT_STREQ(p.platform, "4B000A01020304050607081F");
  EXPECT_FALSE(p.repair_mode);
  EXPECT_STREQ(p.sdf_file, "f; started.sdf");
  EXPECT_EQ(p.sdf_bytes, 3020);
  EXPECT_STREQ(p.data_crc32, "93BB38D2");
  EXPECT_STREQ(p.sdf_id, "0102030405060708");
  EXPECT_STREQ(p.boxload_version, "0.1");
  EXPECT_STREQ(p.image_sha256, "29426de8");
  EXPECT_EQ(p.resends, 2);
  EXPECT_EQ(p.stray_bytes, 1);
  EXPECT_EQ(p.firmware_ms, 599);
  EXPECT_EQ(p.software_ms, 350);

  // A box waiting in repair mode names no platform; a file the header could not be read of.
  FollowText(&p,
             HeaderLine("3", "\x01odd.sdf", kHeaderFileNoHeader, 12) +
                 "1.0 OUT Send 'GetPlatformID' and waiting STB response\\n\n1.5 OUT STB: REPAIR_MODE\\n\n"
                 "2.5 OUT press any key for terminate programm...\\n\n",
             1);
  EXPECT_TRUE(p.repair_mode);
  EXPECT_STREQ(p.platform, "");
  EXPECT_STREQ(p.sdf_file, "\x01odd.sdf");
  EXPECT_EQ(p.sdf_bytes, 12);
  EXPECT_STREQ(p.sdf_id, "");
  EXPECT_EQ(p.firmware_ms, 1500);
  EXPECT_EQ(p.software_ms, 0);
}

struct CategoryCase {
  const char* why;
  std::string trace;  // the events after the probe's line
  int stage;          // the slot's result
  bool crashed;
  const char* category;
};

// Why a box did not update, from what its trace showed. The SDF body is 3 KB in every row.
TEST(StationFollow, ACategoryForEveryWayABoxFails) {
  const std::string image = "1 OUT STB response: A5 1 2 3 4 5 6 7 8 9 A B C \\n\n1 OUT SendFile: 11(Kb)\\r\n";
  const std::string loader =
      image + "2 OUT Waiting STB response\\n\n2 OUT do_upload_firmware()\\n\n2 OUT Check SDF file... ";
  const std::string ready = loader +
                            "OK\\n\n2 OUT SendFileHeader... \n2 OUT Wait For STB ready\\n\n"
                            "3 OUT Remote BootLoader is ready\\n\n3 OUT wait STB response:\\n\n";
  const std::string body = ready + "3 OUT OK\\n\n3 OUT SendSDFFile... \n3 OUT \\n\n3 OUT Send 0Kb\\r\n";
  const std::string all_blocks = body + "4 OUT Send 1Kb\\r\n4 OUT Send 2Kb\\r\n4 OUT Send 3Kb\\r\n4 OUT \\n\n";
  const std::string bad = "5 OUT BAD\\n\n";
  const std::string prompt = "5 OUT press any key for terminate programm...\\n\n";
  const std::string abort = "9 OUT \\nProcess aborted by user...\\n\n";
  const CategoryCase rows[] = {
      {"updated", all_blocks + "4 OUT OK\\n\n5 OUT \\nSW update status: OK\\n\n" + prompt, kStageUpdated, false,
       nullptr},
      {"no box", "1 OUT STB not responding...\\n\n1 OUT FW update error...\\n\n" + prompt, kStageNoBox, false,
       "no box"},
      {"another platform",
       "1 OUT STB response: A5 1 2 3 4 5 6 7 8 9 A B C \\n\n"
       "1 NOTE platform 0102030405060708090A0B0C, 4B4D expected: no reset\n1 OUT FW update error...\\n\n" +
           prompt,
       kStageFailed, false, "wrong platform"},
      {"a frame refused", image + "1 OUT SendBytes: bad response(0x09 or 0x0A) 15(.)\\n\n2 OUT SW update: error\\n\n",
       kStageFailed, false, "image refused"},
      {"the image never started", image + "2 OUT SW update: error\\n\n2 OUT FW update error...\\n\n" + prompt,
       kStageFailed, false, "image refused"},
      {"the first failure line names the cause",
       image + "1 OUT SendBytes: read error...\\n\n2 OUT SW update: error\\n\n" + prompt, kStageFailed, false,
       "line lost"},
      {"timed out waiting for the ready signal",
       loader + "OK\\n\n2 OUT SendFileHeader... \n2 OUT Wait For STB ready\\n\n" + abort, kStageTimedOut, false,
       "bootloader not ready"},
      {"timed out in the body", body + abort, kStageTimedOut, false, "timed out"},
      {"an odd header verdict", ready + "3 OUT Unknown response: 0x5A\\n\n" + bad + prompt, kStageFailed, false,
       "sdf header refused"},
      {"a block refused, the box's text before it", body + "4 OUT Send 1Kb\\r\n4 OUT Flash full\\n\n" + bad + prompt,
       kStageFailed, false, "block refused"},
      {"the verdict after the last block", all_blocks + bad + prompt, kStageFailed, false, "last verdict refused"},
      {"the final verdict", all_blocks + "4 OUT OK\\n\n4 OUT Flash full\\n\n" + prompt, kStageFailed, false,
       "last verdict refused"},
      {"out of step after the final verdict",
       all_blocks + "4 OUT OK\\n\n4 NOTE out of step: 06 came after its final one\n" + prompt, kStageFailed, false,
       "out of step"},
      {"out of step in the body", body + "4 NOTE out of step: 02 came before the block\n" + bad + prompt, kStageFailed,
       false, "out of step"},
      {"the line failed in the body", body + "4 OUT WaitResponse: read error...\\n\n" + bad + prompt, kStageFailed,
       false, "line lost"},
      {"the file failed its check", loader + "BAD\\n\n" + prompt, kStageFailed, false, "sdf file unusable"},
      {"the file gone: a last line with no end", "0 OUT Can't open file gone.sdf\n", kStageFailed, false,
       "sdf file unusable"},
      {"the file changed", body + "4 OUT \\nSendSDFFile: the file changed while it was being sent\\n\n" + bad + prompt,
       kStageFailed, false, "sdf file unusable"},
      {"aborted", body + abort, kStageAborted, false, "aborted"},
      {"killed by a signal", body, kStageFailed, true, "crashed"},
      {"ended with no word", "", kStageFailed, false, "other"},
  };
  for (const CategoryCase& row : rows) {
    SCOPED_TRACE(row.why);
    static Progress p;
    FollowText(&p, "0 OUT Send 'GetPlatformID' and waiting STB response\\n\n" + row.trace, 3);
    EXPECT_STREQ(FailureCategory(row.stage, row.crashed, p), row.category);
  }
  // Every name is one of the stable list, and none is given twice.
  for (int a = kCategoryNone + 1; a < kCategoryCount; ++a) {
    ASSERT_NE(CategoryName(a), nullptr);
    for (int b = a + 1; b < kCategoryCount; ++b) {
      EXPECT_STRNE(CategoryName(a), CategoryName(b));
    }
  }
}

}  // namespace
