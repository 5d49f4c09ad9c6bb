// The bench station against several simulated boxes at once: one table, a row per way a bench
// run goes. Each row checks the exit, the summary rows and the logs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/harness.h"
#include "sdf/sdf.h"

namespace {

using namespace std::chrono_literals;
using Fields = std::map<std::string, std::string>;

// The data_crc32 an SDF file's header names, as the summary writes it.
std::string CrcOf(const std::vector<uint8_t>& sdf) {
  SdfHeader header{};
  std::copy_n(sdf.begin(), kSdfHeaderSize, header.bytes);
  char text[12];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(data_crc32(header)));
  return text;
}

// summary.csv as heading-named fields, one map per row (quoted fields, quotes doubled, a
// control byte as \xHH and a backslash as \\ within them).
std::vector<Fields> ReadSummary(const std::string& path) {
  std::vector<Fields> rows;
  if (access(path.c_str(), R_OK) != 0) {
    return rows;
  }
  const std::vector<uint8_t> bytes = ReadFile(path);
  std::vector<std::vector<std::string>> table(1);
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (quoted) {
      if (c == '"' && i + 1 < bytes.size() && bytes[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '\\' && i + 1 < bytes.size() && bytes[i + 1] == '\\') {
        field += '\\';
        ++i;
      } else if (c == '\\' && i + 3 < bytes.size() && bytes[i + 1] == 'x') {
        field += static_cast<char>(std::stoi(std::string(bytes.begin() + i + 2, bytes.begin() + i + 4), nullptr, 16));
        i += 3;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',' || c == '\n') {
      table.back().push_back(field);
      field.clear();
      if (c == '\n') {
        table.emplace_back();
      }
    } else {
      field += c;
    }
  }
  for (size_t r = 1; r < table.size(); ++r) {
    if (table[r].size() != table[0].size()) {
      continue;
    }
    Fields row;
    for (size_t k = 0; k < table[0].size(); ++k) {
      row[table[0][k]] = table[r][k];
    }
    rows.push_back(row);
  }
  return rows;
}

// One summary.jsonl line as its keys in order, their values (a string unescaped, anything else
// as written) and their JSON types. Empty on anything but a flat object of strings, numbers,
// truths and nulls.
enum class Json { kString, kNumber, kTruth, kNull };
struct JsonField {
  std::string first;   // the key
  std::string second;  // the value
  Json type;
};
using JsonFields = std::vector<JsonField>;

JsonFields ParseJsonLine(const std::string& line) {
  JsonFields fields;
  size_t i = 0;
  auto string = [&](std::string* out) {
    if (line[i] != '"') {
      return false;
    }
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] != '\\') {
        *out += line[i];
        continue;
      }
      const char e = line[++i];
      if (e == 'u' && i + 4 < line.size()) {
        const unsigned cp = static_cast<unsigned>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
        i += 4;
        if (cp < 0x80) {
          *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
          *out += static_cast<char>(0xC0 | (cp >> 6));
          *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          *out += static_cast<char>(0xE0 | (cp >> 12));
          *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
      } else if (e == '"' || e == '\\' || e == '/') {
        *out += e;
      } else {
        return false;
      }
    }
    return i++ < line.size();
  };
  if (line.empty() || line[i++] != '{') {
    return {};
  }
  while (i < line.size()) {
    std::string key;
    std::string value;
    Json type = Json::kString;
    if (!string(&key) || line[i++] != ':') {
      return {};
    }
    if (line[i] == '"') {
      if (!string(&value)) {
        return {};
      }
    } else {
      const size_t end = line.find_first_of(",}", i);
      value = line.substr(i, end - i);
      i = end;
      type = value == "null"                                                                 ? Json::kNull
             : value == "true" || value == "false"                                           ? Json::kTruth
             : !value.empty() && value.find_first_not_of("0123456789.") == std::string::npos ? Json::kNumber
                                                                                             : Json::kString;
      if (type == Json::kString) {
        return {};
      }
    }
    fields.push_back({key, value, type});
    const char next = line[i++];
    if (next == '}') {
      return i == line.size() ? fields : JsonFields{};
    }
    if (next != ',') {
      return {};
    }
  }
  return {};
}

// summary.jsonl, one parsed line each; a line that does not parse is an empty row.
std::vector<JsonFields> ReadJsonSummary(const std::string& path) {
  std::vector<JsonFields> rows;
  const std::string text = FileText(path);
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    rows.push_back(ParseJsonLine(text.substr(at, end - at)));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return rows;
}

// The CSV row and the JSON row of one box say the same: every field in both files (a null as an
// empty CSV field, the end as exit or signal, a byte no UTF-8 text holds as U+FFFD), of its
// schema's JSON type; record_id first, the station's name, the absolute folder, the slot and the
// box's number.
void ExpectSameRecord(const Fields& csv, const JsonFields& json, const std::string& station,
                      const std::string& folder) {
  ASSERT_FALSE(json.empty()) << "a summary.jsonl line did not parse";
  std::map<std::string, JsonField> got;
  for (const JsonField& f : json) {
    got.emplace(f.first, f);
  }
  EXPECT_EQ(got.size(), json.size()) << "a key twice";
  EXPECT_EQ(json.front().first, "record_id");
  EXPECT_EQ(csv.at("run_id").find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(csv.at("run_id").size(), 32U);
  EXPECT_EQ(csv.at("record_id"),
            station + ":" + folder + ":" + csv.at("run_id") + ":" + csv.at("slot") + "-" + csv.at("seq"));
  EXPECT_EQ(got.size(), csv.size()) << "the same fields in both files";
  const std::string numbers[] = {
      "slot",      "seq",     "seconds",     "schema", "firmware_seconds", "software_seconds",
      "sdf_bytes", "resends", "stray_bytes", "exit"};
  for (const auto& [name, value] : csv) {
    SCOPED_TRACE(name);
    ASSERT_EQ(got.count(name), 1U);
    const JsonField& field = got.at(name);
    std::string want = value;
    for (size_t at = 0; (at = want.find('\xff', at)) != std::string::npos; at += 3) {
      want.replace(at, 1, "\xEF\xBF\xBD");
    }
    const bool number = std::find(std::begin(numbers), std::end(numbers), name) != std::end(numbers);
    if (field.type != Json::kNull) {
      EXPECT_EQ(field.type, number ? Json::kNumber : name == "repair_mode" ? Json::kTruth : Json::kString);
    }
    if (name == "exit") {
      const bool code = value.find_first_not_of("0123456789") == std::string::npos;
      EXPECT_EQ(field.second, code ? value : "null");
      EXPECT_EQ(got.at("signal").second, code ? "null" : value);
    } else if (field.type == Json::kNull) {
      EXPECT_EQ(value, "");
    } else {
      EXPECT_EQ(field.second, want);
    }
  }
}

// A terminal for the station, so that a child that took it over would wait at the final key.
struct Terminal {
  int master = -1;
  std::string slave;
  Terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
      slave = ptsname(master);
    }
  }
  ~Terminal() {
    if (master >= 0) {
      close(master);
    }
  }
};

// kLines: --label's lines on standard input, in the row's script; each slot takes one box.
enum class Drive { kToTheEnd, kCtrlCInTheBody, kLoopInTmux, kLines };

struct Expected {
  const char* result;
  const char* stage;  // the row's stage, or its start when it ends in "*"
  const char* failure;
  const char* category;         // null: the record's is null
  const char* label = nullptr;  // box_label; null: the record's is null
  size_t slot = 0;              // kLines: the slot it ran in
};

// A step of a kLines script: bytes for the station's standard input, then a wait until the
// summary holds rows rows; first, when body_of names a slot, a wait until its box takes its body.
struct Step {
  std::string bytes;
  size_t rows;
  size_t body_of = 0;
};

struct Row {
  const char* name;
  std::vector<BoxConfig> boxes;  // one port each
  bool alias = false;            // a last port: a link to the first box's device
  Drive drive = Drive::kToTheEnd;
  int exit_code = 1;  // -1: killed by SIGINT
  std::vector<Expected> rows;
  std::vector<std::string> prefix = {};   // runs the station, as ToolOptions::prefix
  std::vector<std::string> options = {};  // the station's, before the file
  std::vector<Step> script = {};          // kLines
  std::vector<std::string> said = {};     // kLines: standard error holds each
};

BoxConfig Paced() {
  BoxConfig c;
  c.byte_time_ms = 0.0868;
  return c;
}

// 37 ports, past the 35 keys: slot 8's box refuses a block, slot 11's takes a second to store
// each block, the others update.
std::vector<BoxConfig> LabelBench() {
  std::vector<BoxConfig> boxes(37);
  boxes[7].refuse_block = 1;
  boxes[7].refuse_times = 3;
  boxes[10].store_ms = 1000;
  return boxes;
}

std::vector<Row> Table() {
  BoxConfig refusing;
  refusing.refuse_block = 1;
  refusing.refuse_times = 3;
  BoxConfig silent;
  silent.silent_probes = -1;
  BoxConfig hanging;
  hanging.fault = {BoxFault::kHangUp, BoxPoint::kBlock, 2};
  // Text that would retitle the operator's window and clear the screen, and a byte no UTF-8
  // text holds, before a refusal at the last verdict.
  BoxConfig refusing_last;
  refusing_last.text = "\x1b]0;owned\x07\x1b[2J\xff!";
  refusing_last.text_before_final = true;
  refusing_last.final_verdict = 0x15;
  return {
      {"a good box, a box refusing a block three times, no box, a box hanging up mid-body",
       {BoxConfig{}, refusing, silent, hanging},
       false,
       Drive::kToTheEnd,
       1,
       {{"updated", "updated", "", nullptr},
        {"failed", "SDF 1 of 5 KB", "SendSDFFile... BAD", "block refused"},
        {"no box", "waiting for a box", "STB not responding...", "no box"},
        {"failed", "SDF 2 of 5 KB", "WaitResponse: read error...", "line lost"}},
       {},
       {"--station", "bench 7, \"east\""}},
      {"Ctrl+C while two boxes take their bodies",
       {Paced(), Paced()},
       false,
       Drive::kCtrlCInTheBody,
       -1,
       {{"aborted", "SDF *", "Process aborted by user...", "aborted"},
        {"aborted", "SDF *", "Process aborted by user...", "aborted"}}},
      {"one port named twice, by its link and by another link to it", {BoxConfig{}}, true, Drive::kToTheEnd, 2, {}},
      {"a box that sends control bytes and refuses at its last verdict; a good box; no standard descriptors",
       {refusing_last, BoxConfig{}},
       false,
       Drive::kToTheEnd,
       1,
       {{"failed", "SDF 5 of 5 KB",
         "boxload: the box refused the update at its last verdict (the box said: \x1b]0;owned\x07\x1b[2J\xff!)",
         "last verdict refused"},
        {"updated", "updated", "", nullptr}},
       {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}},
      {"--loop in a terminal: two boxes in one slot, the second started by the slot's key",
       {BoxConfig{}},
       false,
       Drive::kLoopInTmux,
       0,
       {{"updated", "updated", "", nullptr}, {"updated", "updated", "", nullptr}}},
      {"--platform for another model: the child is given it and leaves the box alone",
       {BoxConfig{}},
       false,
       Drive::kToTheEnd,
       1,
       {{"failed", "firmware 0 of 12 KB",
         "boxload: the box answers platform 4B4D56373732305000010A1F but --platform asks for 4B4D5638: not updated",
         "wrong platform"}},
       {},
       {"--platform", "4B4D5638"}},
      {"--label: more than 35 slots started by lines; a label in another slot, a label updated before with and "
       "without its repeat, a retry after a failure, a numeric label, no label, a cancel, a hostile line, an abort",
       LabelBench(),
       false,
       Drive::kLines,
       1,
       {{"updated", "updated", "", nullptr, "SN-0001", 37},
        {"updated", "updated", "", nullptr, "12345", 2},
        {"failed", "SDF 1 of 5 KB", "SendSDFFile... BAD", "block refused", "SN-BAD", 8},
        {"updated", "updated", "", nullptr, "SN-BAD", 9},
        {"updated", "updated", "", nullptr, "SN-0001", 6},
        {"updated", "updated", "", nullptr, nullptr, 10},
        {"aborted", "SDF *", "Process aborted by user...", "aborted", "SLOW-1", 11}},
       {},
       {"--label", "optional"},
       // A scanner's CR LF and Tab; a slot picked and then the label running in slot 37; a pick
       // cancelled, after which a label is no label; a line that would drive the terminal.
       // Slot 11's box is still taking its body when the other four have ended.
       {{"SLOT-37\r\nSN-0001\t3\nSN-0001\nslot-4\nSLOT-CANCEL\nzz\n1\n\x1b]0;owned\x07\n2\n12345\nSLOT-08\nSN-BAD\n"
         "SLOT-10\n\nSLOT-11\nSLOW-1\n",
         4},
        {"SLOT-11-ABORT\nSLOT-09\nSN-BAD\nSLOT-05\nSN-0001\nSLOT-CANCEL\nSLOT-06\nSN-0001\nSN-0001\n", 7, 11}},
       {"refused: SN-0001 is in slot 37 now", "refused: zz: no slot picked", "refused: \\x1B]0;owned\\x07: no label",
        "SN-0001 was updated in slot 37 of this run"}},
      {"--label required: an empty label refused",
       {BoxConfig{}},
       false,
       Drive::kLines,
       0,
       {{"updated", "updated", "", nullptr, "a 1", 1}},
       {},
       {"--label", "required"},
       {{"SLOT-01\n\nSLOT-01\na 1\n", 1}},
       {"refused: slot 1 needs its box's label"}},
  };
}

TEST(Station, ABenchOfBoxes) {
  int round = 0;
  for (const Row& row : Table()) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    // The Ctrl+C row needs a body long enough to be caught in.
    std::vector<uint8_t> body = RandomBytes(row.drive == Drive::kCtrlCInTheBody ? 60000 : 5000, 7);
    const std::string file = dir.Write("x.sdf", MakeSdf(body));
    std::vector<std::string> crcs = {CrcOf(MakeSdf(body))};  // each box's file, by seq
    const std::string run = dir.path() + "/run";
    std::vector<std::string> ports;
    std::vector<std::unique_ptr<BoxOnPty>> boxes;
    for (size_t i = 0; i < row.boxes.size(); ++i) {
      ports.push_back(dir.path() + "/box" + std::to_string(i + 1));
      boxes.push_back(std::make_unique<BoxOnPty>(row.boxes[i], ports.back()));
    }
    if (row.alias) {
      ports.push_back(dir.path() + "/alias");
      ASSERT_EQ(symlink(ports[0].c_str(), ports.back().c_str()), 0);
    }

    ToolResult r;
    if (row.drive == Drive::kLoopInTmux) {
      if (!TmuxInstalled()) {
        GTEST_SKIP() << "tmux is not installed (scripts/deps installs it)";
      }
      const std::string server = "boxstation-test-" + std::to_string(getpid()) + "-" + std::to_string(round++);
      const std::string command = "cd " + dir.path() + " && " + BOXLOAD_BIN_DIR + "/boxstation --loop --count 2 " +
                                  "--log-dir run x.sdf " + ports[0] + "; echo $? > status; sleep 60";
      Tmux(server, {"new-session", "-d", "-s", "t", "-x", "120", "-y", "30", command});
      auto pane = [&] { return Tmux(server, {"capture-pane", "-p", "-t", "t"}); };
      ASSERT_TRUE(WaitFor([&] { return ReadSummary(run + "/summary.csv").size() == 1; }, 20s)) << pane();
      // The box reboots into its new software: a fresh box on the same port, which the slot
      // must leave alone until its key.
      boxes[0]->Finish();
      boxes[0] = std::make_unique<BoxOnPty>(BoxConfig{}, ports[0]);
      // A new file for the next box: its row names the file it was sent.
      body = RandomBytes(5000, 8);
      dir.Write("x.sdf", MakeSdf(body));
      crcs.push_back(CrcOf(MakeSdf(body)));
      EXPECT_TRUE(WaitFor([&] { return pane().find("key 1 for the next box") != std::string::npos; }, 5s)) << pane();
      std::this_thread::sleep_for(1s);
      EXPECT_FALSE(boxes[0]->WaitForPhase(BoxPhase::kImage, 0)) << "the slot started again on its own";
      EXPECT_EQ(ReadSummary(run + "/summary.csv").size(), 1U);
      Tmux(server, {"send-keys", "-t", "t", "1"});
      EXPECT_TRUE(WaitFor([&] { return !FileText(dir.path() + "/status").empty(); }, 20s)) << pane();
      EXPECT_NE(pane().find("updated 2"), std::string::npos) << pane();
      Tmux(server, {"kill-server"});
      r.exited = true;
      r.exit_code = std::atoi(FileText(dir.path() + "/status").c_str());
    } else {
      ToolOptions options;
      options.program = "boxstation";
      options.timeout_ms = 30000;
      Terminal terminal;
      ASSERT_FALSE(terminal.slave.empty());
      options.terminal = row.prefix.empty() && row.drive != Drive::kLines ? terminal.slave : "";
      options.prefix = row.prefix;
      // The lines through a FIFO, step by step: each waits for the rows before it.
      const std::string fifo = dir.path() + "/lines";
      std::thread script;
      if (row.drive == Drive::kLines) {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        (void)signal(SIGPIPE, SIG_IGN);  // a station that ended early fails the row, not the test program
        options.prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" < " + fifo};
        script = std::thread([&] {
          const int fd = open(fifo.c_str(), O_WRONLY);
          for (const Step& step : row.script) {
            if (step.body_of != 0) {
              EXPECT_TRUE(boxes[step.body_of - 1]->WaitForPhase(BoxPhase::kBody, 20000));
            }
            EXPECT_EQ(write(fd, step.bytes.data(), step.bytes.size()), static_cast<ssize_t>(step.bytes.size()));
            EXPECT_TRUE(WaitFor([&] { return ReadSummary(run + "/summary.csv").size() >= step.rows; }, 20s))
                << step.bytes;
          }
          close(fd);  // the end of the lines: the station ends once its boxes have
        });
      }
      if (row.drive == Drive::kCtrlCInTheBody) {
        options.interrupt_when = [&](double) {
          return boxes[0]->WaitForPhase(BoxPhase::kBody, 0) && boxes[1]->WaitForPhase(BoxPhase::kBody, 0);
        };
      }
      std::vector<std::string> args = {"--log-dir", run};
      args.insert(args.end(), row.options.begin(), row.options.end());
      args.push_back(file);
      args.insert(args.end(), ports.begin(), ports.end());
      r = RunBoxload(args, options);
      if (script.joinable()) {
        script.join();
      }
      EXPECT_FALSE(r.timed_out) << "the station did not end: a slot waits for a key?\n" << r.out << r.err;
      if (row.drive == Drive::kCtrlCInTheBody) {
        EXPECT_LT(r.seconds - r.interrupted_at, 3.0) << "the aborts took too long";
      }
    }

    if (row.exit_code < 0) {
      EXPECT_EQ(r.signal, SIGINT) << r.out << r.err;
    } else {
      EXPECT_TRUE(r.exited);
      EXPECT_EQ(r.exit_code, row.exit_code) << r.out << r.err;
    }
    if (row.alias) {
      EXPECT_NE(r.err.find("are the same port"), std::string::npos) << r.err;
      struct stat info {};
      EXPECT_NE(stat(run.c_str(), &info), 0) << "a refused station made its folder";
    }

    // Neither the screen, the event lines nor the operator's refusals take a box's or a line's
    // control bytes; the JSON rows stay UTF-8 with them escaped.
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    for (const std::string& said : row.said) {
      EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
    }
    const std::string jsonl = FileText(run + "/summary.jsonl");
    EXPECT_EQ(jsonl.find_first_of("\x1b\x07\xff"), std::string::npos) << jsonl;
    EXPECT_EQ(FileText(run + "/summary.csv").find_first_of("\x1b\x07\xff\x9b"), std::string::npos);
    if (!row.prefix.empty()) {
      EXPECT_NE(jsonl.find("(the box said: \\u001B]0;owned\\u0007\\u001B[2J\\uFFFD!)"), std::string::npos) << jsonl;
    }

    const std::vector<Fields> summary = ReadSummary(run + "/summary.csv");
    ASSERT_EQ(summary.size(), row.rows.size()) << r.out << r.err;
    const std::vector<JsonFields> json = ReadJsonSummary(run + "/summary.jsonl");
    ASSERT_EQ(json.size(), summary.size()) << jsonl;
    std::map<std::string, int> seen;  // slot and seq of each row, once each
    std::set<std::string> record_ids;
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    const auto named = std::find(row.options.begin(), row.options.end(), "--station");
    const std::string station = named != row.options.end() ? *(named + 1) : host;
    char folder[PATH_MAX];
    ASSERT_TRUE(summary.empty() || realpath(run.c_str(), folder) != nullptr);
    // Each box's start line came first, and would have named it interrupted had the station died.
    std::set<std::string> started;
    for (const JsonFields& start : ReadJsonSummary(run + "/starts.jsonl")) {
      ASSERT_GT(start.size(), 8U);
      started.insert(start.front().second);
      EXPECT_EQ(start[7].first + "=" + start[7].second, "result=interrupted");
    }
    EXPECT_EQ(started.size(), summary.size());
    for (size_t k = 0; k < summary.size(); ++k) {
      const Fields& got = summary[k];
      ExpectSameRecord(got, json[k], station, folder);
      EXPECT_TRUE(record_ids.insert(got.at("record_id")).second) << got.at("record_id");
      EXPECT_EQ(started.count(got.at("record_id")), 1U);
      const bool loop = row.drive == Drive::kLoopInTmux;
      const size_t slot = std::stoul(got.at("slot"));
      const int seq = std::stoi(got.at("seq"));
      ASSERT_GE(slot, 1U);
      ASSERT_LE(slot, ports.size());
      const bool lines = row.drive == Drive::kLines;
      const auto by_slot =
          std::find_if(row.rows.begin(), row.rows.end(), [&](const Expected& e) { return e.slot == slot; });
      ASSERT_TRUE(!lines || by_slot != row.rows.end()) << "a box started in slot " << slot;
      const Expected& want = lines ? *by_slot : row.rows[loop ? static_cast<size_t>(seq - 1) : slot - 1];
      EXPECT_EQ(got.at("box_label"), want.label != nullptr ? want.label : "");
      if (want.label != nullptr) {
        EXPECT_NE(r.out.find("slot " + got.at("slot") + " " + ports[slot - 1] + ": box 1 label " + want.label + ": "),
                  std::string::npos)
            << r.out;
      }
      SCOPED_TRACE("slot " + got.at("slot") + " box " + got.at("seq"));
      EXPECT_EQ(seen[got.at("slot") + "/" + got.at("seq")]++, 0);
      EXPECT_EQ(seq, loop ? seq : 1);
      EXPECT_EQ(got.at("port"), ports[slot - 1]);
      EXPECT_EQ(got.at("result"), want.result);
      const std::string stage = want.stage;
      if (stage.back() == '*') {
        EXPECT_EQ(got.at("stage").substr(0, stage.size() - 1), stage.substr(0, stage.size() - 1));
      } else {
        EXPECT_EQ(got.at("stage"), stage);
      }
      EXPECT_EQ(got.at("failure"), want.failure);
      EXPECT_EQ(got.at("exit"), want.result == std::string("updated")   ? "0"
                                : want.result == std::string("aborted") ? "SIGINT"
                                                                        : "1");
      EXPECT_EQ(got.at("sdf_file"), row.drive == Drive::kLoopInTmux ? "x.sdf" : file);
      EXPECT_EQ(got.at("data_crc32"), crcs[static_cast<size_t>(seq - 1)]);
      EXPECT_EQ(got.at("records"), "complete");
      // Schema 1: what the box and its line told.
      auto hex = [](const std::string& text, size_t n, const char* digits = "0123456789ABCDEF") {
        return text.size() == n && text.find_first_not_of(digits) == std::string::npos;
      };
      EXPECT_EQ(got.at("schema"), "1");
      EXPECT_EQ(got.at("station"), station);
      const std::string category = want.category != nullptr ? want.category : "";
      EXPECT_EQ(got.at("category"), category);
      EXPECT_EQ(got.at("signal"), want.result == std::string("aborted") ? "SIGINT" : "");
      EXPECT_EQ(got.at("platform"), want.result == std::string("no box") ? "" : "4B4D56373732305000010A1F");
      EXPECT_EQ(got.at("repair_mode"), "false");
      EXPECT_EQ(got.at("device").rfind("/dev/pts/", 0), 0U) << got.at("device");
      EXPECT_EQ(got.at("adapter_serial"), "");
      EXPECT_EQ(got.at("sdf_bytes"), std::to_string(MakeSdf(body).size()));
      EXPECT_TRUE(hex(got.at("sdf_id"), 16)) << got.at("sdf_id");
      EXPECT_TRUE(hex(got.at("image_sha256"), 64, "0123456789abcdef")) << got.at("image_sha256");
      EXPECT_FALSE(got.at("boxload_version").empty());
      EXPECT_EQ(std::stoi(got.at("resends")) > 0, category == "block refused") << got.at("resends");
      EXPECT_EQ(got.at("stray_bytes"), "0");
      EXPECT_FALSE(got.at("firmware_seconds").empty());
      const bool software = want.result != std::string("no box") && category != "wrong platform";
      EXPECT_EQ(got.at("software_seconds").empty(), !software) << got.at("software_seconds");
      for (const char* end : {"start", "end"}) {
        const std::string t = got.at(end);  // 2026-12-07T17:41:07.123Z
        EXPECT_TRUE(t.size() == 24 && t[10] == 'T' && t[19] == '.' && t.back() == 'Z') << t;
      }
      const std::string log = FileText(run + "/" + got.at("log"));
      EXPECT_EQ(log.rfind(Banner(), 0), 0U) << log;
      EXPECT_FALSE(FileText(run + "/" + got.at("trace")).empty());
      if (want.result == std::string("aborted")) {
        EXPECT_TRUE(log.ends_with("\nProcess aborted by user...\n")) << log;
      } else {
        // The final key wait was reached and passed: no slot waits for a key.
        EXPECT_TRUE(log.ends_with(KeyPrompt())) << log;
      }
      if (slot == 1 && want.result == std::string("updated") && seq == 1) {
        EXPECT_EQ(Normalised(log), FirmwareStageText(BoxConfig{}) + SoftwareStageText(5000) + KeyPrompt());
      }
    }
    for (size_t i = 0; i < boxes.size(); ++i) {
      // A port the lines never started is not waited on for the close of an update.
      const bool idle = row.drive == Drive::kLines && std::none_of(row.rows.begin(), row.rows.end(),
                                                                   [&](const Expected& e) { return e.slot == i + 1; });
      const BoxSim& sim = boxes[i]->Finish(idle ? 0 : 3);
      if (row.alias) {
        EXPECT_EQ(sim.probes_seen(), 0) << "a box was started";
      } else if (row.drive == Drive::kCtrlCInTheBody) {
        EXPECT_TRUE(boxes[i]->tool_closed()) << "port " << i + 1 << " was not freed";
      }
      if (i == 0 && row.rows.size() > 0 && row.rows[0].result == std::string("updated") && row.drive != Drive::kLines) {
        EXPECT_EQ(sim.image(), ReadFile(BOXLOAD_FIRMWARE_FILE));
        EXPECT_EQ(sim.body(), body);
        EXPECT_TRUE(sim.update_complete());
      }
    }
  }
}

// What the station writes never lands on a file that exists, and a record it could not write
// is never passed over: one row per way a record goes missing.
struct RecordRow {
  const char* name;
  bool sdf_named_as_log = false;   // the SDF file is slot1-1.log in the log folder
  std::string limit;               // "ulimit -f" for the station and its child, in KB
  std::vector<std::string> extra;  // options before the file
  int exit_code = 1;
  const char* err;      // standard error holds this
  const char* records;  // the row's records field starts so; null: no row
  bool box_updated = false;
  const char* port = nullptr;  // instead of the box's
};

TEST(Station, RecordsThatCannotBeWritten) {
  const RecordRow rows[] = {
      {"the SDF file is named as the first box's log",
       true,
       "",
       {},
       1,
       "slot1-1.log: File exists",
       "cannot create ",
       false},
      {"a size limit below the trace's size", false, "8", {}, 1, "not recorded in full", nullptr, true},
      {"--timeout beyond the station's clock",
       false,
       "",
       {"--timeout", "4294968"},
       2,
       "from 1 to 4294967",
       nullptr,
       false},
      {"--station with a control byte",
       false,
       "",
       {"--station", "bench\t7"},
       2,
       "--station takes a name",
       nullptr,
       false},
  };
  for (const RecordRow& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string run = dir.path() + "/run";
    const std::vector<uint8_t> sdf = MakeSdf(RandomBytes(5000, 9));
    std::string file = dir.Write("x.sdf", sdf);
    if (row.sdf_named_as_log) {
      ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
      file = run + "/slot1-1.log";
      ASSERT_EQ(rename((dir.path() + "/x.sdf").c_str(), file.c_str()), 0);
    }
    const std::string port = dir.path() + "/box1";
    BoxOnPty box(BoxConfig{}, port);
    ToolOptions options;
    options.program = "boxstation";
    options.timeout_ms = 30000;
    if (!row.limit.empty()) {
      options.prefix = {"/bin/bash", "-c", "ulimit -f " + row.limit + " && exec \"$0\" \"$@\""};
    }
    std::vector<std::string> args = {"--log-dir", run};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    args.push_back(file);
    args.push_back(row.port != nullptr ? row.port : port);
    const ToolResult r = RunBoxload(args, options);
    EXPECT_TRUE(r.exited) << r.out << r.err;
    EXPECT_EQ(r.exit_code, row.exit_code) << r.out << r.err;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), sdf) << "the SDF file was written";
    const std::vector<Fields> summary = ReadSummary(run + "/summary.csv");
    if (row.exit_code == 2 || row.port != nullptr) {
      EXPECT_TRUE(summary.empty());
      // boxload's own line, which has no line end of its own, is ended.
      EXPECT_TRUE(row.port == nullptr || r.out.ends_with("Unable to configure the serial port\n")) << r.out;
    } else {
      ASSERT_EQ(summary.size(), 1U) << r.out << r.err;
      const std::string records = summary[0].at("records");
      if (row.records != nullptr) {
        EXPECT_EQ(records.rfind(row.records, 0), 0U) << records;
      } else {
        EXPECT_NE(records, "complete");
      }
      EXPECT_EQ(summary[0].at("result"), row.box_updated ? "updated" : "failed");
      EXPECT_NE(r.out.find("NOT RECORDED"), std::string::npos) << r.out;
    }
    const BoxSim& sim = box.Finish();
    EXPECT_EQ(sim.update_complete(), row.box_updated);
    if (!row.box_updated) {
      EXPECT_EQ(sim.probes_seen(), 0) << "a box was started";
    }
  }
}

// Two stations started at once in one folder, each in its default log folder: neither writes
// into the other's.
TEST(Station, TwoStationsAtOnce) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf(RandomBytes(3000, 10)));
  BoxOnPty box1(BoxConfig{}, dir.path() + "/box1");
  BoxOnPty box2(BoxConfig{}, dir.path() + "/box2");
  ToolOptions options;
  options.program = "boxstation";
  options.timeout_ms = 30000;
  options.prefix = {"/bin/sh", "-c", "cd " + dir.path() + " && exec \"$0\" \"$@\""};
  ToolResult r2;
  std::thread second([&] { r2 = RunBoxload({file, dir.path() + "/box2"}, options); });
  const ToolResult r1 = RunBoxload({file, dir.path() + "/box1"}, options);
  second.join();
  EXPECT_EQ(r1.exit_code, 0) << r1.out << r1.err;
  EXPECT_EQ(r2.exit_code, 0) << r2.out << r2.err;
  std::vector<std::string> folders;
  for (const std::string& out : {r1.out, r2.out}) {
    const size_t at = out.rfind(" in boxstation-");
    ASSERT_NE(at, std::string::npos) << out;
    folders.push_back(out.substr(at + 4, out.find('\n', at) - at - 4));
    const std::vector<Fields> summary = ReadSummary(dir.path() + "/" + folders.back() + "/summary.csv");
    ASSERT_EQ(summary.size(), 1U) << out;
    EXPECT_EQ(summary[0].at("records"), "complete");
  }
  EXPECT_NE(folders[0], folders[1]);
}

}  // namespace

namespace {

// The station on a terminal it does not own whole: a table taller and wider than its pane, and
// --loop started in the background by a shell with job control.
TEST(Station, OnASmallOrSharedTerminal) {
  if (!TmuxInstalled()) {
    GTEST_SKIP() << "tmux is not installed (scripts/deps installs it)";
  }
  struct Case {
    const char* name;
    int slots;
    const char* options;
    bool background;
  };
  const Case cases[] = {{"30 slots in 20 columns and 24 rows", 30, "--loop", false},
                        {"--loop --count 1 started with &", 1, "--loop --count 1", true}};
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write("x.sdf", MakeSdf(RandomBytes(3000, 11)));
    std::vector<std::unique_ptr<BoxOnPty>> boxes;
    std::string ports;
    for (int i = 0; i < c.slots; ++i) {
      const std::string port = dir.path() + "/b" + std::to_string(i + 1);
      boxes.push_back(std::make_unique<BoxOnPty>(BoxConfig{}, port));
      ports += " " + port;
    }
    const std::string station =
        std::string(BOXLOAD_BIN_DIR) + "/boxstation " + c.options + " --log-dir run x.sdf" + ports + " 2> err";
    const std::string command =
        "cd " + dir.path() + " && " +
        (c.background ? "set -m; " + station + " & wait; echo $? > status; sleep 60" : station + "; sleep 60");
    const std::string server = "boxstation-small-" + std::to_string(getpid()) + "-" + std::to_string(round++);
    Tmux(server, {"new-session", "-d", "-s", "t", "-x", "20", "-y", "24", command});
    auto pane = [&] { return Tmux(server, {"capture-pane", "-p", "-t", "t"}); };
    auto history = [&] { return Tmux(server, {"display-message", "-p", "-t", "t", "#{history_size}"}); };
    const auto rows = [&] { return ReadSummary(dir.path() + "/run/summary.csv").size(); };
    EXPECT_TRUE(WaitFor([&] { return rows() == static_cast<size_t>(c.slots); }, 40s)) << pane();
    if (c.background) {
      EXPECT_TRUE(WaitFor([&] { return FileText(dir.path() + "/status") == "0\n"; }, 10s)) << pane();
      EXPECT_NE(FileText(dir.path() + "/err").find("not the terminal's foreground job"), std::string::npos);
    } else {
      // Every box has ended and the table is redrawn each second: it must not creep down the
      // pane, as a line that wrapped or a table taller than the pane would make it. Too many
      // slots for a line each: a grid, two cells a line, the last slot's too.
      EXPECT_TRUE(WaitFor([&] { return pane().find(" 29+PASS  30+PASS") != std::string::npos; }, 5s)) << pane();
      std::this_thread::sleep_for(1500ms);
      const std::string before = history();
      std::this_thread::sleep_for(2500ms);
      EXPECT_EQ(history(), before) << pane();
    }
    Tmux(server, {"kill-server"});
  }
}

// 128 slots in 80 columns and 24 rows, started by --label's lines typed at the terminal: a FAIL
// held in view, a slot marked after three different boxes failed on its line, and the grid
// whole on the screen, never scrolling.
TEST(Station, HundredAndTwentyEightSlotsInEightyByTwentyFour) {
  if (!TmuxInstalled()) {
    GTEST_SKIP() << "tmux is not installed (scripts/deps installs it)";
  }
  TempDir dir;
  dir.Write("x.sdf", MakeSdf(RandomBytes(3000, 12)));
  BoxConfig refusing;  // as a line that spoils every block does
  refusing.refuse_block = 0;
  refusing.refuse_times = 3;
  const BoxConfig& bad_line = refusing;
  const std::string p1 = dir.path() + "/b1";
  auto slot1 = std::make_unique<BoxOnPty>(bad_line, p1);
  BoxOnPty slot2(refusing, dir.path() + "/b2");
  BoxOnPty slot3(BoxConfig{}, dir.path() + "/b3");
  std::string ports = " ./b1 ./b2 ./b3";
  std::vector<std::unique_ptr<Terminal>> idle;  // lines with no box behind them
  for (int i = 4; i <= 128; ++i) {
    idle.push_back(std::make_unique<Terminal>());
    ASSERT_FALSE(idle.back()->slave.empty());
    ports += " " + idle.back()->slave;
  }
  const std::string server = "boxstation-grid-" + std::to_string(getpid());
  Tmux(server, {"new-session", "-d", "-s", "t", "-x", "80", "-y", "24",
                "cd " + dir.path() + " && " + BOXLOAD_BIN_DIR + "/boxstation --label optional --log-dir run x.sdf" +
                    ports + " 2> err; sleep 60"});
  auto pane = [&] { return Tmux(server, {"capture-pane", "-p", "-t", "t"}); };
  auto rows = [&] { return ReadSummary(dir.path() + "/run/summary.csv").size(); };
  auto scan = [&](const std::string& slot, const std::string& label) {
    Tmux(server, {"send-keys", "-t", "t", slot, "Enter", label, "Enter"});
  };
  ASSERT_TRUE(WaitFor([&] { return pane().find("128.") != std::string::npos; }, 10s))
      << pane() << FileText(dir.path() + "/err");
  scan("SLOT-02", "B-1");
  scan("SLOT-03", "C-1");
  scan("SLOT-01", "A-1");
  EXPECT_TRUE(WaitFor([&] { return rows() == 3; }, 20s)) << pane();
  for (const char* label : {"A-2", "A-3"}) {
    slot1->Finish();
    slot1 = std::make_unique<BoxOnPty>(bad_line, p1);  // another box on the same line
    const size_t before = rows();
    scan("SLOT-01", label);
    EXPECT_TRUE(WaitFor([&] { return rows() == before + 1; }, 20s)) << pane();
  }
  const std::string marked = "  1!blk    2Xblk    3+PASS   4.";
  EXPECT_TRUE(WaitFor([&] { return pane().find(marked) != std::string::npos; }, 5s)) << pane();
  const std::string screen = pane();
  EXPECT_NE(screen.find("needs a hand: 1 failed, 1 marked | cable or adapter? 1 | failed 2"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find(" slot 1 ! FAIL block refused A-3 - check the cable or the adapter"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("121.     122.     123.     124.     125.     126.     127.     128."), std::string::npos)
      << screen;
  const auto history = [&] { return Tmux(server, {"display-message", "-p", "-t", "t", "#{history_size}"}); };
  const std::string before = history();
  std::this_thread::sleep_for(1500ms);  // a redraw at least: the grid's counters move each second
  EXPECT_EQ(history(), before) << pane();
  Tmux(server, {"kill-server"});
  const std::vector<Fields> summary = ReadSummary(dir.path() + "/run/summary.csv");
  ASSERT_EQ(summary.size(), 5U);
  EXPECT_EQ(summary[4].at("box_label"), "A-3");
  EXPECT_EQ(summary[4].at("category"), "block refused");
}

}  // namespace
