// Whatever the file, the command line or the port: a clear outcome, exit status 1 or 2, no
// crash and no hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "integration/harness.h"
#include "sdf/sdf.h"
#include "files/files.h"

namespace {

// Everything a run prints before the SDF file is checked, for a box that answers at once.
std::string UpToTheCheck() { return FirmwareStageText(BoxConfig{}) + "do_upload_firmware()\nCheck SDF file... "; }

std::string CantOpen(const std::string& name) { return Banner() + "Can't open file " + name; }

// A run that never gets as far as the box: it must end at once, with nothing but its line.
void ExpectRefusedEarly(const ToolResult& r, const std::string& out, int status, const std::string& reason) {
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.exit_code, status);
  EXPECT_EQ(r.out, out);
  EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
  EXPECT_LT(r.seconds, 2);
}

TEST(BadInput, SdfFilesThatCannotBeSentAreRefusedByTheCheck) {
  TempDir dir;
  const std::vector<uint8_t> body = RandomBytes(100, 21);
  std::vector<uint8_t> bad_header = MakeSdf({});
  bad_header[0] = 0x01;
  uint32_t bad_header_crc = 0;
  Crc32Update(bad_header.data(), &bad_header_crc, kSdfHeaderCrcSpan);
  std::vector<uint8_t> huge = MakeSdf(body);
  SetDataLength(&huge, 0xFFFFFFFFu);
  char header_line[128];
  std::snprintf(header_line, sizeof header_line, "Check_SDF_File: sdf->header_crc32=0x0, calc_crc32=0x%X\n",
                bad_header_crc);
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string line;
  } files[] = {
      {"empty", {}, "Check_SDF_File: file too short (0 bytes, the header alone is 20)\n"},
      {"1 byte", {0x42}, "Check_SDF_File: file too short (1 bytes, the header alone is 20)\n"},
      {"19 bytes", std::vector<uint8_t>(19, 0x42),
       "Check_SDF_File: file too short (19 bytes, the header alone is 20)\n"},
      {"20 bytes, header CRC wrong", bad_header, header_line},
      {"data_length 0xFFFFFFFF", huge,
       "Check_SDF_File: sdf->data_length=4294967295, but the file holds 100 bytes after the header\n"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    BoxOnPty box{BoxConfig{}};
    const ToolResult r = RunBoxload({"2", dir.Write("bad.sdf", f.bytes)});
    const BoxSim& sim = box.Finish();
    EXPECT_EQ(Normalised(r.out), UpToTheCheck() + f.line + "BAD\n" + KeyPrompt());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(sim.sdf_header().empty()) << "nothing of a refused file goes to the box";
  }

  // 20 bytes with both CRCs right is a whole update of an empty body.
  BoxOnPty box{BoxConfig{}};
  const ToolResult r = RunBoxload({"2", dir.Write("header_only.sdf", MakeSdf({}))});
  EXPECT_EQ(Normalised(r.out), FirmwareStageText(BoxConfig{}) + SoftwareStageText(0) + KeyPrompt());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(box.Finish().update_complete());
}

TEST(BadInput, NamesThatAreNoRegularFileAreNotOpened) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo.sdf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << std::strerror(errno);
  // Nobody writes the FIFO: a tool that opened it for reading would wait here for ever.
  ExpectRefusedEarly(RunBoxload({"2", fifo}), CantOpen(fifo), 1, fifo);
  ExpectRefusedEarly(RunBoxload({"2", dir.path()}), CantOpen(dir.path()), 1, std::strerror(EISDIR));
  ExpectRefusedEarly(RunBoxload({"2", "/dev/zero"}), CantOpen("/dev/zero"), 1, "/dev/zero");
}

TEST(BadInput, AnUnreadableFileIsReportedWithItsReason) {
  TempDir dir;
  const std::string file = dir.Write("locked.sdf", MakeSdf(RandomBytes(10, 22)));
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  ToolOptions options;
  if (geteuid() == 0) {
    // Root reads any file: run the tool without the two capabilities that allow it.
    if (access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "running as root and /usr/bin/setpriv (util-linux) is missing: cannot make a file unreadable";
    }
    options.prefix = {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search"};
  }
  ExpectRefusedEarly(RunBoxload({"2", file}, options), CantOpen(file), 1, std::strerror(EACCES));
}

TEST(BadInput, AFileThatChangesAfterTheCheckNeverReachesTheBoxWhole) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> change;
    std::string lines;  // after "SendSDFFile... \n"
    int blocks_seen;
  } changes[] = {
      {"cut short", [](const std::string& file) { std::filesystem::resize_file(file, 20 + 1000); },
       "Send 0Kb\r\nSendSDFFile: file read error...\n", 0},
      // As `dd conv=notrunc` over the file: the same length, other bytes from block 1 on.
      {"rewritten in place",
       [](const std::string& file) {
         std::FILE* f = std::fopen(file.c_str(), "r+b");
         ASSERT_NE(f, nullptr);
         const std::vector<uint8_t> other = RandomBytes(1500, 99);
         ASSERT_EQ(std::fseek(f, 20 + 1500, SEEK_SET), 0);
         ASSERT_EQ(std::fwrite(other.data(), 1, other.size(), f), other.size());
         ASSERT_EQ(std::fclose(f), 0);
       },
       "Send 0Kb\rSend 1Kb\rSend 2Kb\rSend 3Kb\r\nSendSDFFile: the file changed while it was being sent\n", 3},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::vector<uint8_t> body = RandomBytes(4000, 23);
    const std::string file = dir.Write("changes.sdf", MakeSdf(body));
    BoxConfig config;
    // The header's verdict comes late: time to change the file between the check and the body.
    config.fault = {BoxFault::kDelay, BoxPoint::kSdfHeader, 0, 800};
    BoxOnPty box(config);
    bool changed = false;
    ToolOptions options;
    options.interrupt_when = [&](double) {
      if (!changed && box.WaitForPhase(BoxPhase::kBody, 0)) {
        c.change(file);
        changed = true;
      }
      return false;
    };
    const ToolResult r = RunBoxload({"2", file}, options);
    const BoxSim& sim = box.Finish();
    ASSERT_TRUE(changed);
    const std::string head = UpToTheCheck() + "OK\nSendFileHeader... ";
    EXPECT_EQ(Normalised(r.out), head +
                                     "Wait For STB ready\nRemote BootLoader is ready\nwait STB response:\nOK\n"
                                     "SendSDFFile... \n" +
                                     c.lines + "BAD\n" + KeyPrompt());
    EXPECT_EQ(r.exit_code, 1);
    // The last block never goes: the box holds no whole body, right or wrong.
    EXPECT_EQ(sim.blocks_seen(), c.blocks_seen);
    EXPECT_FALSE(sim.update_complete());
  }
}

TEST(BadInput, OddCommandLinesGiveTheUsualLines) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf(RandomBytes(10, 24)));
  const std::string invalid = Banner() + "invalid COM port specified\n\n";
  const std::string long_name(300, 'n');  // longer than a file name may be
  const std::string long_path = dir.path() + "/" + std::string(5000, 'p');
  const std::string not_utf8 = dir.path() + "/\xff\xfe\x80 missing.sdf";
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string reason;  // on standard error
  } cases[] = {
      {{"", ""}, CantOpen(""), 1, std::strerror(ENOENT)},
      {{"2", ""}, CantOpen(""), 1, std::strerror(ENOENT)},
      {{"99999999999999999999999999", file}, invalid, 2, ""},
      {{"-4294967294", file}, invalid, 2, ""},  // -2 modulo 2^32: must not wrap onto port 2
      {{std::string(100000, '9'), file}, invalid, 2, ""},
      {{"\xd9\xa2", file}, invalid, 2, ""},      // an Arabic-Indic digit two
      {{"\xef\xbc\x92", file}, invalid, 2, ""},  // a full-width digit two
      {{"2\xff", not_utf8}, CantOpen(not_utf8), 1, std::strerror(ENOENT)},
      {{"2", long_name}, CantOpen(long_name), 1, std::strerror(ENAMETOOLONG)},
      {{"2", long_path}, CantOpen(long_path), 1, std::strerror(ENAMETOOLONG)},
      // Realistic slips: a hint on standard error, the designed lines on standard output.
      {{"null", file}, invalid, 2, "did you mean /dev/null?"},
      {{"--trace", "t", "2", file}, CantOpen("t"), 1, "options go after the port and the file"},
      {{"2", "/dev/null"}, CantOpen("/dev/null"), 1, "/dev/null: not a regular file"},
      // A guard that cannot be read must not run as no guard.
      {{"2", file, "--platform", "4B4D5"}, Banner(), 2, "--platform takes 1 to 12 bytes in hex"},
      // Help asked for after the two arguments: the usage and the options, nothing opened.
      {{"2", file, "--trace", dir.path() + "/t", "--help"}, Banner(), 0, "  --platform HEX   update only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("port '" + c.args[0].substr(0, 40) + "', file '" + c.args[1].substr(0, 60) + "'");
    ExpectRefusedEarly(RunBoxload(c.args), c.out, c.status, c.reason);
  }
}

TEST(BadInput, UnusualButValidArgumentsStillUpdate) {
  TempDir dir;
  const std::vector<uint8_t> body = RandomBytes(1500, 25);
  // The longest name a directory takes, with bytes that are no text in any encoding.
  const std::string name = "\xff\xfe\x80 " + std::string(251, 'x');
  ASSERT_EQ(name.size(), 255u);
  const std::string file = dir.Write(name, MakeSdf(body));
  // The last names the device itself, through the same link.
  for (const std::string& port :
       std::vector<std::string>{"00000000000000000000000002", "2 and more", "+2", PortPath(2)}) {
    SCOPED_TRACE("port '" + port + "'");
    BoxOnPty box{BoxConfig{}};
    const ToolResult r = RunBoxload({port, file, "further", "arguments"});
    EXPECT_EQ(Normalised(r.out), FirmwareStageText(BoxConfig{}) + SoftwareStageText(1500) + KeyPrompt());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(box.Finish().body(), body);
  }
}

TEST(BadInput, PortsThatAreNoUsableSerialLine) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf(RandomBytes(10, 26)));
  const std::string port = PortPath(2);

  // Not a terminal: a regular file, then /dev/null.
  std::filesystem::remove(port);
  dir.Write("plain", {});
  std::filesystem::create_symlink(dir.path() + "/plain", port);
  ExpectRefusedEarly(RunBoxload({"2", file}), Banner() + "Unable to configure the serial port", 1, "not a serial port");
  std::filesystem::remove(port);
  std::filesystem::create_symlink("/dev/null", port);
  ExpectRefusedEarly(RunBoxload({"2", file}), Banner() + "Unable to configure the serial port", 1, "not a serial port");
  // Named on the command line: the same, and nothing is written to the file.
  const std::string plain = dir.path() + "/plain";
  ExpectRefusedEarly(RunBoxload({plain, file}), Banner() + "Unable to configure the serial port", 1,
                     "not a serial port");
  EXPECT_EQ(std::filesystem::file_size(plain), 0u);
  // A directory, or a name longer than any path: a clear reason, nothing else on the console.
  ExpectRefusedEarly(RunBoxload({dir.path(), file}), Banner(), 1, dir.path() + " is a directory");
  ExpectRefusedEarly(RunBoxload({"/" + std::string(5000, 'p'), file}), Banner(), 1, "the port name is too long");

  // The tool's own terminal, by its name or as /dev/tty: refused before it is touched, so that
  // no probe reaches the screen and the terminal keeps its mode.
  for (const bool by_own_name : {false, true}) {
    Terminal terminal;
    const termios before = terminal.Mode();
    ToolOptions options;
    options.terminal = terminal.path();
    ExpectRefusedEarly(RunBoxload({by_own_name ? terminal.path() : "/dev/tty", file}, options), Banner(), 1,
                       "that is the terminal boxload runs in");
    const termios after = terminal.Mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  }

  // A device that went away: the link names a node that is gone. (Not a closed pty: its number
  // may already serve another program.)
  std::filesystem::remove(port);
  std::filesystem::create_symlink(dir.path() + "/ttyUSB0", port);
  ExpectRefusedEarly(RunBoxload({"2", file}), Banner(), 1, std::strerror(ENOENT));
  std::filesystem::remove(port);
}

TEST(BadInput, APortHeldByAnotherRunIsRefusedAndLeftAlone) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf(RandomBytes(10, 27)));
  BoxConfig silent;
  silent.silent_probes = -1;
  BoxOnPty box(silent);
  std::optional<ToolResult> second;
  ToolOptions options;
  // While the first run probes, a second one on the same port; then Ctrl+C for the first.
  options.interrupt_when = [&](double seconds) {
    if (seconds < 0.5) {
      return false;
    }
    if (!second) {
      second = RunBoxload({"2", file});
    }
    return true;
  };
  const ToolResult first = RunBoxload({"2", file}, options);
  ASSERT_TRUE(second.has_value());
  ExpectRefusedEarly(*second, Banner(), 1, "the port is in use by another program: held by PID ");
  EXPECT_NE(second->err.find(" (boxload)\n"), std::string::npos) << second->err;
  // The refused run took nothing from the first one.
  EXPECT_EQ(first.out, Banner() + "Send 'GetPlatformID' and waiting STB response\n\nProcess aborted by user...\n");
  EXPECT_EQ(first.signal, SIGINT);
  box.Finish();
  EXPECT_TRUE(box.tool_closed());
}

TEST(BadInput, ADeviceUnpluggedDuringTheRunEndsItAndIsThenMissing) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf(RandomBytes(3000, 28)));
  const std::string port = PortPath(2);
  BoxConfig config;
  // As a USB adapter pulled out: the line hangs up and the device node goes.
  config.fault = {BoxFault::kHangUp, BoxPoint::kFrame, 3};
  BoxOnPty box(config);
  ToolOptions options;
  options.interrupt_when = [&](double) {
    if (box.WaitForPhase(BoxPhase::kHungUp, 0)) {
      std::filesystem::remove(port);
    }
    return false;
  };
  ToolResult r = RunBoxload({"2", file}, options);
  box.Finish();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Normalised(r.out).ends_with("SW update: error\nFW update error...\n" + KeyPrompt())) << r.out;
  EXPECT_NE(r.out.find("PortWrite: errcode 5h(5)\n"), std::string::npos) << r.out;
  EXPECT_LT(r.seconds, 4);
  EXPECT_LT(r.cpu_seconds, 0.5);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(port)));

  ExpectRefusedEarly(RunBoxload({"2", file}), Banner(), 1, std::strerror(ENOENT));
}

}  // namespace

TEST(BadInput, AnOddStandardOutputDoesNotStopOrSpoilTheUpdate) {
  TempDir dir;
  // Enough blocks for the progress text to fill the 4 KB output buffer during the transfer.
  const std::vector<uint8_t> body = RandomBytes(600 * 1024, 27);
  const std::string file = dir.Write("x.sdf", MakeSdf(body));
  const struct {
    const char* name;
    const char* wrapper;  // runs the tool ("$@") and exits with its status
  } outputs[] = {
      // A pipe whose reader stops after the banner.
      {"a reader that goes away", "\"$@\" | head -c 20 >/dev/null; exit \"${PIPESTATUS[0]}\""},
      // Descriptors 0 and 1 closed: the file and the port must not take their numbers, or the
      // console text would go onto the line in the middle of the blocks.
      {"standard input and output closed", "\"$@\" <&- >&-"},
  };
  for (const auto& o : outputs) {
    SCOPED_TRACE(o.name);
    BoxOnPty box{BoxConfig{}};
    ToolOptions options;
    options.prefix = {"/bin/bash", "-c", o.wrapper, "wrap"};
    const ToolResult r = RunBoxload({"2", file}, options);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    const BoxSim& sim = box.Finish();
    EXPECT_EQ(sim.body(), body);
    EXPECT_TRUE(sim.complaints().empty()) << sim.complaints().front();
  }
}

TEST(BadInput, SdftoolWritesItsOutputAloneWhateverLiesBesideIt) {
  TempDir dir;
  const std::vector<uint8_t> body = RandomBytes(3000, 29);
  const std::vector<uint8_t> precious = RandomBytes(100, 30);
  dir.Write("B.partial", body);
  dir.Write("precious", precious);
  std::filesystem::create_symlink(dir.path() + "/precious", dir.path() + "/OUT.partial");
  ToolOptions options;
  options.prefix = {"/bin/sh", "-c", "exec \"${0%/*}/sdftool\" \"$@\""};
  // The body bears the name of the old temporary file; a link bears the next one's.
  for (const auto& [from, to] : {std::pair{"B.partial", "B"}, std::pair{"B.partial", "OUT"}}) {
    SCOPED_TRACE(std::string("sdftool make ") + from + " " + to);
    const ToolResult r = RunBoxload({"make", dir.path() + "/" + from, dir.path() + "/" + to}, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.path() + "/" + to), MakeSdf(body));
  }
  EXPECT_EQ(ReadFile(dir.path() + "/B.partial"), body);
  EXPECT_EQ(ReadFile(dir.path() + "/precious"), precious);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() + "/OUT.partial"));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.path() + "/OUT"));
  // A failed make leaves nothing behind: the same five files.
  EXPECT_NE(RunBoxload({"make", dir.path() + "/B.partial", dir.path() + "/no/such/folder"}, options).exit_code, 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 5);
}

TEST(BadInput, SdftoolNeverReplacesWhatIsNotARegularFile) {
  TempDir dir;
  const std::string body = dir.Write("B", RandomBytes(3000, 31));
  ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.path() + "/folder");
  std::filesystem::create_symlink("/dev/null", dir.path() + "/null");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_name = dir.path() + "/socket";
  ASSERT_LT(socket_name.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket_name.c_str(), socket_name.size() + 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ToolOptions options;
  options.prefix = {"/bin/sh", "-c", "exec \"${0%/*}/sdftool\" \"$@\""};
  for (const auto& [name, type] :
       {std::pair{"fifo", std::filesystem::file_type::fifo}, std::pair{"folder", std::filesystem::file_type::directory},
        std::pair{"null", std::filesystem::file_type::character},
        std::pair{"socket", std::filesystem::file_type::socket}}) {
    SCOPED_TRACE(name);
    const ToolResult r = RunBoxload({"make", body, dir.path() + "/" + name}, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("is not a regular file (a device, FIFO, socket or directory): left as it is"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::filesystem::status(dir.path() + "/" + name).type(), type);
  }
  close(listener);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() + "/null"));
  // The move's own look, for a name that changed kind after the first: refused, both kept.
  const std::string made = dir.Write("made", RandomBytes(10, 32));
  CreateRefusal refusal = kCreateFailed;
  EXPECT_EQ(FileReplace(made.c_str(), (dir.path() + "/fifo").c_str(), &refusal), 0);
  EXPECT_EQ(refusal, kCreateNotRegular);
  EXPECT_EQ(std::filesystem::status(dir.path() + "/fifo").type(), std::filesystem::file_type::fifo);
  ASSERT_EQ(std::filesystem::remove(made), true);
  // Nothing left beside them: the body and the four.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 5);
}
