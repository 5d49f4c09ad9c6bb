// The command line and the port, checked before the box is ever spoken to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "integration/harness.h"

namespace {

TEST(FrontEnd, FewerThanTwoArgumentsGiveTheUsageLine) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"2"}}) {
    const ToolResult r = RunBoxload(args);
    EXPECT_EQ(r.out, Banner() + "BOXLOAD <port#> <FileName>\n");
    EXPECT_EQ(r.exit_code, 2);
  }
}

TEST(FrontEnd, AMissingFileIsReportedBeforeThePortIsLookedAt) {
  TempDir dir;
  const std::string missing = dir.path() + "/no such.sdf";
  for (const char* port : {"2", "abc"}) {
    const ToolResult r = RunBoxload({port, missing});
    // No line end after the name.
    EXPECT_EQ(r.out, Banner() + "Can't open file " + missing);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;
  }
}

TEST(FrontEnd, PortNumbersOutside1To8AreRefused) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf({1, 2, 3}));
  // 4294967298 wraps round to 2 in 32 bits: it must not reach a real port.
  for (const char* port : {"0", "9", "-1", "abc", "", "4294967298"}) {
    const ToolResult r = RunBoxload({port, file});
    EXPECT_EQ(r.out, Banner() + "invalid COM port specified\n\n") << "port " << port;
    EXPECT_EQ(r.exit_code, 2) << "port " << port;
  }
}

TEST(FrontEnd, APortThatDoesNotExistLeavesOnlyTheBanner) {
  TempDir dir;
  const std::string file = dir.Write("x.sdf", MakeSdf({1, 2, 3}));
  unlink(PortPath(3).c_str());
  // All but one read as port 3, the way the C runtime's atoi reads them ("3/" too); the other
  // names the device. Standard error names it, gives the system's reason and lists the machine's ports.
  const struct {
    std::string port;
    std::string device;
  } cases[] = {{"3", PortPath(3)},  {" 3", PortPath(3)},        {"3x", PortPath(3)},
               {"+3", PortPath(3)}, {PortPath(3), PortPath(3)}, {"3/", PortPath(3)}};
  for (const auto& c : cases) {
    const ToolResult r = RunBoxload({c.port, file});
    EXPECT_EQ(r.out, Banner()) << "port '" << c.port << "'";
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("boxload: " + c.device + ": " + std::strerror(ENOENT) + "\n"), std::string::npos) << r.err;
  }
}

}  // namespace
