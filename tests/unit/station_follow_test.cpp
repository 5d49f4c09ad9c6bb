// The station's reading of a child's trace as it grows: lines cut anywhere between two reads,
// escaped console text, and the stage each kind of line moves the box to.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "station/station.h"
#include "support/test_support.h"

namespace {

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

// Beyond the stage: the header's data_crc32 (the last mention: a file name may hold one), the
// count that reaches the body's KB when its last KB is a part one, the console text's length
// and the trace's end.
TEST(StationFollow, WhatATraceTellsOfItsRecord) {
  TempFile trace({});
  std::FILE* writer = std::fopen(trace.path().c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  std::fputs(
      "# boxload trace 1\n# version 0.1; port 2; file a, data_crc32 FFFFFFFF.sdf 5040 bytes, data_crc32 "
      "F966468B; started 2026-12-07T09:00:00Z\n",
      writer);
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
  EXPECT_STREQ(progress.data_crc32, "F966468B");
  EXPECT_FALSE(progress.finished);
  std::fputs("1.7 NOTE exit status 0\n", writer);
  std::fclose(writer);
  FollowEnd(&progress);
  EXPECT_TRUE(progress.finished);
  // "SendSDFFile... ", "\n", then six "Send NKb\r".
  EXPECT_EQ(progress.out_bytes,
            static_cast<int64_t>(std::strlen("SendSDFFile... ") + 1 + 6 * std::strlen("Send 0Kb\r")));
}

}  // namespace
