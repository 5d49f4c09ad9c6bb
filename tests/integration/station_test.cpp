// The bench station against several simulated boxes at once: one table, a row per way a bench
// run goes. Each row checks the exit, the summary rows and the logs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "integration/harness.h"

namespace {

using namespace std::chrono_literals;
using Fields = std::map<std::string, std::string>;

// summary.csv as heading-named fields, one map per row (quoted fields, quotes doubled).
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

enum class Drive { kToTheEnd, kCtrlCInTheBody, kLoopInTmux };

struct Expected {
  const char* result;
  const char* stage;  // the row's stage, or its start when it ends in "*"
  const char* failure;
};

struct Row {
  const char* name;
  std::vector<BoxConfig> boxes;  // one port each
  bool alias = false;            // a last port: a link to the first box's device
  Drive drive = Drive::kToTheEnd;
  int exit_code = 1;  // -1: killed by SIGINT
  std::vector<Expected> rows;
  std::vector<std::string> options = {};  // the station's, before the file
};

BoxConfig Paced() {
  BoxConfig c;
  c.byte_time_ms = 0.0868;
  return c;
}

std::vector<Row> Table() {
  BoxConfig refusing;
  refusing.refuse_block = 1;
  refusing.refuse_times = 3;
  BoxConfig silent;
  silent.silent_probes = -1;
  BoxConfig hanging;
  hanging.fault = {BoxFault::kHangUp, BoxPoint::kBlock, 2};
  return {
      {"a good box, a box refusing a block three times, no box, a box hanging up mid-body",
       {BoxConfig{}, refusing, silent, hanging},
       false,
       Drive::kToTheEnd,
       1,
       {{"updated", "updated", ""},
        {"failed", "SDF 1 of 5 KB", "SendSDFFile... BAD"},
        {"no box", "waiting for a box", "STB not responding..."},
        {"failed", "SDF 2 of 5 KB", "WaitResponse: read error..."}}},
      {"Ctrl+C while two boxes take their bodies",
       {Paced(), Paced()},
       false,
       Drive::kCtrlCInTheBody,
       -1,
       {{"aborted", "SDF *", "Process aborted by user..."}, {"aborted", "SDF *", "Process aborted by user..."}}},
      {"one port named twice, by its link and by another link to it", {BoxConfig{}}, true, Drive::kToTheEnd, 2, {}},
      {"--loop in a terminal: two boxes in one slot, the second started by the slot's key",
       {BoxConfig{}},
       false,
       Drive::kLoopInTmux,
       0,
       {{"updated", "updated", ""}, {"updated", "updated", ""}}},
      {"--platform for another model: the child is given it and leaves the box alone",
       {BoxConfig{}},
       false,
       Drive::kToTheEnd,
       1,
       {{"failed", "firmware 0 of 12 KB",
         "boxload: the box answers platform 4B4D56373732305000010A1F but --platform asks for 4B4D5638: not updated"}},
       {"--platform", "4B4D5638"}},
  };
}

TEST(Station, ABenchOfBoxes) {
  int round = 0;
  for (const Row& row : Table()) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    // The Ctrl+C row needs a body long enough to be caught in.
    const std::vector<uint8_t> body = RandomBytes(row.drive == Drive::kCtrlCInTheBody ? 60000 : 5000, 7);
    const std::string file = dir.Write("x.sdf", MakeSdf(body));
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
      options.terminal = terminal.slave;
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

    const std::vector<Fields> summary = ReadSummary(run + "/summary.csv");
    ASSERT_EQ(summary.size(), row.rows.size()) << r.out << r.err;
    std::map<std::string, int> seen;  // slot and seq of each row, once each
    for (const Fields& got : summary) {
      const bool loop = row.drive == Drive::kLoopInTmux;
      const size_t slot = std::stoul(got.at("slot"));
      const int seq = std::stoi(got.at("seq"));
      ASSERT_GE(slot, 1U);
      ASSERT_LE(slot, ports.size());
      const Expected& want = row.rows[loop ? static_cast<size_t>(seq - 1) : slot - 1];
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
      const BoxSim& sim = boxes[i]->Finish();
      if (row.alias) {
        EXPECT_EQ(sim.probes_seen(), 0) << "a box was started";
      } else if (row.drive == Drive::kCtrlCInTheBody) {
        EXPECT_TRUE(boxes[i]->tool_closed()) << "port " << i + 1 << " was not freed";
      }
      if (i == 0 && row.rows.size() > 0 && row.rows[0].result == std::string("updated")) {
        EXPECT_EQ(sim.image(), ReadFile(BOXLOAD_FIRMWARE_FILE));
        EXPECT_EQ(sim.body(), body);
        EXPECT_TRUE(sim.update_complete());
      }
    }
  }
}

}  // namespace
