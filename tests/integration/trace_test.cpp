// The field trace (boxload --trace) and its replay (stbsim --replay), on the real binaries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "integration/harness.h"

namespace {

struct TracedRun {
  std::vector<std::string> lines;
  std::string out;          // the OUT lines' text, unescaped
  std::vector<uint8_t> tx;  // every byte written, in order
  std::vector<std::string> malformed;
};

TracedRun ReadTrace(const std::string& path) {
  TracedRun run;
  const std::vector<uint8_t> bytes = ReadFile(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  static const std::regex kEvent(R"(([0-9]+\.[0-9]{6}) (TX|RX|OUT|NOTE) (.+))");
  static const std::regex kBytes(R"([0-9A-F]{2}( [0-9A-F]{2}){0,31})");
  std::string line;
  while (std::getline(in, line)) {
    run.lines.push_back(line);
    if (run.lines.size() <= 2) {
      continue;
    }
    std::smatch m;
    if (!std::regex_match(line, m, kEvent)) {
      run.malformed.push_back(line);
      continue;
    }
    const std::string kind = m[2];
    const std::string payload = m[3];
    if ((kind == "TX" || kind == "RX") && !std::regex_match(payload, kBytes)) {
      run.malformed.push_back(line);
    } else if (kind == "TX") {
      for (size_t i = 0; i < payload.size(); i += 3) {
        run.tx.push_back(static_cast<uint8_t>(std::stoul(payload.substr(i, 2), nullptr, 16)));
      }
    } else if (kind == "OUT") {
      for (size_t i = 0; i < payload.size(); ++i) {
        if (payload[i] != '\\' || i + 1 >= payload.size()) {
          run.out += payload[i];
        } else if (payload[++i] == 'x') {
          run.out += static_cast<char>(std::stoul(payload.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          run.out += payload[i] == 'n' ? '\n' : payload[i] == 'r' ? '\r' : payload[i];
        }
      }
    }
  }
  return run;
}

// Quiet when the file is not there yet.
std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct BoxProcess {
  int exit_code = -1;
  std::string err;
};

// stbsim --replay on port 2 while boxload runs with args.
BoxProcess Replay(const std::string& trace, bool fast, const TempDir& dir, const std::vector<std::string>& args,
                  ToolResult* tool) {
  const std::string program = std::string(BOXLOAD_BIN_DIR) + "/stbsim";
  const std::string log = dir.path() + "/replay.log";
  const std::string link = PortPath(2);
  std::vector<const char*> argv = {program.c_str(), "--link",    link.c_str(), "--replay",
                                   trace.c_str(),   "--timeout", "30000"};
  if (fast) {
    argv.push_back("--fast");
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  BoxProcess box;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start stbsim";
    return box;
  }
  for (int i = 0; i < 200 && ReadFileText(log).find("ready on") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *tool = RunBoxload(args);
  int status = 0;
  waitpid(pid, &status, 0);
  box.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  box.err = ReadFileText(log);
  return box;
}

struct Row {
  const char* name = "";
  BoxConfig box;
  // Where the trace is asked to go: its own file, or a name that must be refused before the
  // port is touched.
  enum { kOwnFile, kMissingFolder, kTheSdfFile, kALinkToIt, kAHardLinkToIt, kThePort } target = kOwnFile;
  std::string file_name = "update.sdf";
  bool abort = false;       // Ctrl+C once the body goes
  bool size_limit = false;  // run under `ulimit -f 20`: the trace outgrows it in the firmware stage
  enum { kNone, kSameFile, kOtherFile } replay = kNone;
};

std::vector<Row> Rows() {
  std::vector<Row> rows;
  Row round_trip;
  round_trip.name = "round trip: a text message, a refused block, a late probe answer";
  round_trip.box.silent_probes = 2;
  round_trip.box.refuse_block = 1;
  round_trip.box.refuse_times = 1;
  round_trip.box.text = "flash erased\r\n";
  round_trip.replay = Row::kSameFile;
  round_trip.file_name = "up\ndate.sdf";  // the header stays one line
  rows.push_back(round_trip);
  Row other;
  other.name = "replayed with another SDF file";
  other.replay = Row::kOtherFile;
  rows.push_back(other);
  const struct {
    const char* name;
    decltype(Row::target) target;
  } refused[] = {{"a trace file that cannot be created", Row::kMissingFolder},
                 {"the trace named as the SDF file", Row::kTheSdfFile},
                 {"the trace named as a link to the SDF file", Row::kALinkToIt},
                 {"the trace named as a hard link to the SDF file", Row::kAHardLinkToIt},
                 {"the trace named as the port", Row::kThePort}};
  for (const auto& r : refused) {
    Row row;
    row.name = r.name;
    row.target = r.target;
    rows.push_back(row);
  }
  Row limited;
  limited.name = "a trace cut short by a file-size limit";
  limited.size_limit = true;
  rows.push_back(limited);
  Row abort;
  abort.name = "Ctrl+C in the middle of the body";
  abort.abort = true;
  abort.box.byte_time_ms = 0.005;
  rows.push_back(abort);
  return rows;
}

TEST(Trace, RecordsTheRunAndReplaysIt) {
  for (Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::vector<uint8_t> body = RandomBytes(5000, 7);
    const std::vector<uint8_t> sdf = MakeSdf(body);
    const std::string file = dir.Write(row.file_name, sdf);
    std::string trace = dir.path() + "/box.trace";
    std::string refusal;
    switch (row.target) {
      case Row::kOwnFile:
        break;
      case Row::kMissingFolder:
        trace = dir.path() + "/missing/box.trace";
        refusal = "cannot create the trace file " + trace;
        break;
      case Row::kTheSdfFile:
        trace = file;
        refusal = "that is the SDF file";
        break;
      case Row::kALinkToIt:
        std::filesystem::create_symlink(file, trace);
        refusal = "that is the SDF file";
        break;
      case Row::kAHardLinkToIt:
        std::filesystem::create_hard_link(file, trace);
        refusal = "that is the SDF file";
        break;
      case Row::kThePort:
        trace = PortPath(2);
        refusal = "that is the serial port";
        break;
    }
    ToolOptions options;
    std::optional<BoxOnPty> box;
    box.emplace(row.box);
    if (row.size_limit) {
      options.prefix = {"/bin/bash", "-c", "ulimit -f 20 && exec \"$@\"", "limited"};
    }
    if (row.abort) {
      options.interrupt_when = [&](double) { return box->WaitForPhase(BoxPhase::kBody, 0); };
    }
    const ToolResult r = RunBoxload({"2", file, "--trace", trace}, options);
    const BoxSim& sim = box->Finish(refusal.empty() ? 3 : 0);
    const std::string context = "\n--- tool ---\n" + r.out + r.err + "--- box ---\n" + box->Log();

    if (!refusal.empty()) {
      EXPECT_EQ(r.exit_code, 1) << context;
      EXPECT_EQ(r.out, Banner()) << context;
      EXPECT_NE(r.err.find(refusal), std::string::npos) << context;
      EXPECT_EQ(sim.probes_seen(), 0) << context;
      EXPECT_TRUE(sim.complaints().empty()) << context;  // not one byte arrived
      EXPECT_EQ(ReadFileText(file), std::string(sdf.begin(), sdf.end())) << "the SDF file is untouched";
      continue;
    }
    if (row.size_limit) {
      // Not killed by SIGXFSZ: the update runs to its end, and the cut is said once.
      EXPECT_TRUE(r.exited) << "signal " << r.signal << context;
      EXPECT_EQ(r.exit_code, 0) << context;
      EXPECT_NE(r.out.find("SW update status: OK"), std::string::npos) << context;
      EXPECT_EQ(sim.body(), body);
      const std::string said = std::string("the trace could not be written in full: ") + std::strerror(EFBIG) + "\n";
      const size_t at = r.err.find(said);
      EXPECT_NE(at, std::string::npos) << context;
      EXPECT_EQ(r.err.find(said, at + 1), std::string::npos) << context;
      EXPECT_LE(std::filesystem::file_size(trace), 20U * 1024);
      continue;
    }
    const TracedRun traced = ReadTrace(trace);
    ASSERT_GE(traced.lines.size(), 3U) << context;
    EXPECT_EQ(traced.lines[0], "# boxload trace 1");
    EXPECT_TRUE(std::regex_match(
        traced.lines[1], std::regex("# version 0\\.1; image 12084 bytes sha256 [0-9a-f]{64}; port 2; file " +
                                    std::regex_replace(dir.path() + "/" + row.file_name, std::regex("\n"), "\\\\n") +
                                    " 5020 bytes, data_crc32 [0-9A-F]{8}, id [0-9A-F]{16}; started "
                                    "[0-9-]{10}T[0-9:]{8}Z")))
        << traced.lines[1];
    EXPECT_TRUE(traced.malformed.empty()) << traced.malformed.front();

    if (row.abort) {
      EXPECT_EQ(r.signal, SIGINT) << context;
      EXPECT_EQ(traced.lines.back().substr(traced.lines.back().find(' ')), " NOTE aborted by the user (Ctrl+C)");
      // Recorded before shown: the trace may hold the start of one line the abort cut off.
      const std::string abort_line = "\nProcess aborted by user...\n";
      ASSERT_GE(traced.out.size(), abort_line.size());
      EXPECT_EQ(traced.out.substr(traced.out.size() - abort_line.size()), abort_line);
      const std::string shown = r.out.substr(0, r.out.size() - abort_line.size());
      EXPECT_EQ(traced.out.compare(0, shown.size(), shown), 0) << context;
      EXPECT_LT(traced.out.size() - r.out.size(), 64U) << context;
      continue;
    }
    EXPECT_EQ(r.exit_code, 0) << context;
    EXPECT_EQ(traced.out, r.out);
    EXPECT_EQ(traced.lines.back().substr(traced.lines.back().find(' ')), " NOTE exit status 0");

    if (row.replay == Row::kSameFile) {
      ToolResult again;
      const BoxProcess replayed = Replay(trace, false, dir, {"2", file}, &again);
      EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
      EXPECT_EQ(Normalised(again.out), Normalised(r.out)) << replayed.err;
      EXPECT_NE(r.out.find("flash erased"), std::string::npos);
    } else {
      // A good file with one body byte changed: its header differs first, in data_crc32.
      std::vector<uint8_t> changed_body = body;
      changed_body[1500] ^= 0x5A;
      const std::vector<uint8_t> changed = MakeSdf(changed_body);
      const size_t kAt =
          static_cast<size_t>(std::mismatch(sdf.begin(), sdf.end(), changed.begin()).first - sdf.begin());
      const std::string other = dir.Write("other.sdf", changed);
      ToolResult again;
      const BoxProcess replayed = Replay(trace, true, dir, {"2", other}, &again);
      EXPECT_EQ(replayed.exit_code, 2) << replayed.err;
      const auto header = std::search(traced.tx.begin(), traced.tx.end(), sdf.begin(), sdf.begin() + 20);
      ASSERT_NE(header, traced.tx.end());
      const size_t offset = static_cast<size_t>(header - traced.tx.begin()) + kAt;
      char expected[64];
      std::snprintf(expected, sizeof expected, "TX byte offset %zu", offset);
      EXPECT_NE(replayed.err.find(expected), std::string::npos) << replayed.err;
      std::snprintf(expected, sizeof expected, "expected %02X, received %02X", sdf[kAt], changed[kAt]);
      EXPECT_NE(replayed.err.find(expected), std::string::npos) << replayed.err;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(replayed.err, m, std::regex("trace line ([0-9]+): ")));
      EXPECT_NE(traced.lines[std::stoul(m[1]) - 1].find(" TX "), std::string::npos);
    }
  }
}

}  // namespace
