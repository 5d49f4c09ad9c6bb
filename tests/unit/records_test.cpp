// A run's records on disk, without a server: what reaches a file, when a reader may see it, and
// what accounts for a box the station was cut off from.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "records/record.h"
#include "records/spool.h"

namespace {

struct Folder {
  std::string path;
  Folder() {
    char name[] = "/tmp/boxload-records-XXXXXX";
    path = mkdtemp(name) != nullptr ? name : "";
  }
  ~Folder() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
  void Append(const char* name, const std::string& text) const {
    std::FILE* f = std::fopen((path + "/" + name).c_str(), "ab");
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
};

Record Box(const char* id, const char* result) {
  Record r;
  r.value[kFieldRecordId] = id;
  r.value[kFieldResult] = result;
  r.value[kFieldSlot] = "1";
  return r;
}

std::vector<std::string> Lines(const char* path, int64_t limit = -1) {
  std::vector<std::string> lines;
  SpoolReader r;
  if (SpoolReadOpen(&r, path) == 0) {
    return lines;
  }
  char line[64];
  for (SpoolLine l; (l = SpoolNextLine(&r, limit, line, sizeof line)) != kNoLine;) {
    lines.push_back(l == kLine ? line : "(too long)");
  }
  SpoolReadClose(&r);
  return lines;
}

}  // namespace

TEST(Records, ATextNeverCarriesAControlByteIntoTheCsv) {
  Record r;
  // ESC ] title BEL, a raw C1 CSI, C1 CSI as UTF-8, a broken sequence, a quote, a backslash;
  // BS, TAB and an accented letter pass.
  r.value[kFieldFailure] = "\x1b]0;owned\x07 \x9b \xc2\x9b \xff \"q\" a\\b \b\t\xc3\xa9";
  r.value[kFieldSlot] = "3";
  char line[2048];
  ASSERT_GT(FormatCsvLine(r, line, sizeof line), 0U);
  const std::string csv = line;
  EXPECT_NE(csv.find("\"\\x1B]0;owned\\x07 \\x9B \\xC2\\x9B \\xFF \"\"q\"\" a\\\\b \b\t\xc3\xa9\""), std::string::npos)
      << csv;
  // A number is bare, a missing text an empty quoted field, a missing number nothing at all.
  EXPECT_EQ(csv.find("3,\"\""), csv.find("3,"));
  ASSERT_GT(FormatJsonLine(r, line, sizeof line), 0U);
  const std::string json = line;
  EXPECT_NE(json.find("\"\\u001B]0;owned\\u0007 \\uFFFD \\u009B \\uFFFD \\\"q\\\" a\\\\b \\u0008\\u0009\xc3\xa9\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"slot\":3,"), std::string::npos);
  EXPECT_NE(json.find("\"end\":null"), std::string::npos);
  // A row too long for its line is never written cut.
  EXPECT_EQ(FormatJsonLine(r, line, 100), 0U);
  EXPECT_STREQ(line, "");
  // Both heading and line have a column for every field the CSV has.
  char heading[1024];
  ASSERT_GT(FormatCsvHeading(heading, sizeof heading), 0U);
  ASSERT_GT(FormatCsvLine(Record{}, line, sizeof line), 0U);
  EXPECT_EQ(std::string(heading).find("slot,port,seq,start,end"), 0U);
  auto commas = [](const std::string& s) { return std::count(s.begin(), s.end(), ','); };
  EXPECT_EQ(commas(heading), commas(line));
  EXPECT_EQ(FieldByName("exit"), kFieldExitStatus);
  EXPECT_EQ(FieldByName("run_id"), kFieldRunId);
  EXPECT_EQ(FieldByName("nothing"), -1);
}

TEST(Records, ARowIsOnDiskBeforeAReaderSeesIt) {
  Folder dir;
  const std::string jsonl = dir.path + "/summary.jsonl";
  Spool spool;
  char why[256];
  ASSERT_EQ(FolderStationRunning(dir.path.c_str()), -1) << "no lock file yet";
  ASSERT_EQ(SpoolOpen(&spool, dir.path.c_str(), why, sizeof why), 1) << why;
  EXPECT_EQ(FolderStationRunning(dir.path.c_str()), 1);
  Spool second;
  EXPECT_EQ(SpoolOpen(&second, dir.path.c_str(), why, sizeof why), 0) << "a folder holds one station";
  EXPECT_EQ(SpoolSynced(spool), 0);

  ASSERT_EQ(SpoolStart(&spool, Box("s:f:r:1-1", "interrupted"), why, sizeof why), 1) << why;
  EXPECT_EQ(SpoolSynced(spool), 0) << "a start is no row";
  ASSERT_EQ(SpoolAppend(&spool, Box("s:f:r:1-1", "updated"), why, sizeof why), 1) << why;
  const int64_t one = SpoolSynced(spool);
  EXPECT_GT(one, 0);
  // A line of the file past what is on disk is not the sender's yet.
  dir.Append("summary.jsonl", "{\"record_id\":\"written\"}\n");
  EXPECT_EQ(Lines(jsonl.c_str(), one).size(), 1U);
  EXPECT_EQ(Lines(jsonl.c_str()).size(), 2U);
  SpoolClose(&spool);
  EXPECT_EQ(FolderStationRunning(dir.path.c_str()), 0);
}

TEST(Records, AReaderTakesWholeLinesOnly) {
  Folder dir;
  const std::string path = dir.path + "/summary.jsonl";
  dir.Append("summary.jsonl", "one\r\ntwo\n");
  dir.Append("summary.jsonl", std::string(100, 'x') + "\nthr");
  SpoolReader r;
  ASSERT_EQ(SpoolReadOpen(&r, path.c_str()), 1);
  char line[64];
  EXPECT_EQ(SpoolNextLine(&r, -1, line, sizeof line), kLine);
  EXPECT_STREQ(line, "one");
  EXPECT_EQ(SpoolNextLine(&r, -1, line, sizeof line), kLine);
  EXPECT_STREQ(line, "two");
  EXPECT_EQ(SpoolNextLine(&r, -1, line, sizeof line), kLineTooLong);
  EXPECT_EQ(SpoolNextLine(&r, -1, line, sizeof line), kNoLine) << "a line still being written";
  EXPECT_EQ(SpoolNextLine(&r, -1, line, sizeof line), kNoLine);
  dir.Append("summary.jsonl", "ee\n");
  EXPECT_EQ(SpoolNextLine(&r, -1, line, sizeof line), kLine);
  EXPECT_STREQ(line, "three");
  EXPECT_EQ(r.line_number, 4);
  SpoolReadClose(&r);
}

TEST(Records, ABoxWithAStartAndNoRowIsInterrupted) {
  Folder dir;
  Spool spool;
  char why[256];
  ASSERT_EQ(SpoolOpen(&spool, dir.path.c_str(), why, sizeof why), 1) << why;
  for (const char* id : {"s:f:r:1-1", "s:f:r:2-1", "s:f:r:1-2", "s:f:\\\"r:3-1"}) {
    ASSERT_EQ(SpoolStart(&spool, Box(id, "interrupted"), why, sizeof why), 1);
  }
  ASSERT_EQ(SpoolAppend(&spool, Box("s:f:r:1-1", "updated"), why, sizeof why), 1);
  ASSERT_EQ(SpoolAppend(&spool, Box("s:f:r:1-2", "failed"), why, sizeof why), 1);
  SpoolClose(&spool);  // as a SIGKILL would: no row for the other two
  std::vector<std::string> rows;
  const auto each = [](const char* line, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
  };
  EXPECT_EQ(InterruptedRows(dir.path.c_str(), each, &rows), 2);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0].find("{\"record_id\":\"s:f:r:2-1\""), 0U) << rows[0];
  EXPECT_NE(rows[0].find("\"result\":\"interrupted\""), std::string::npos);
  EXPECT_EQ(rows[1].find("{\"record_id\":\"s:f:\\\\\\\"r:3-1\""), 0U) << rows[1];
  // The same folder gives the same rows: sent twice, they are the same rows.
  std::vector<std::string> again;
  EXPECT_EQ(InterruptedRows(dir.path.c_str(), each, &again), 2);
  EXPECT_EQ(again, rows);
}
