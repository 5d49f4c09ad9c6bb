// Both stages against the simulated box behind the in-memory port: a whole update in virtual
// time, including waits that take minutes on a real line.
#include <gtest/gtest.h>

#include "bootrom/bootrom.h"
#include "serial/serial_memory.h"
#include "support/test_support.h"

TEST(WholeUpdate, TheBoxReceivesExactlyTheImageAndTheBody) {
  const auto body = RandomBytes(100 * 1024 + 77, 41);
  TempFile sdf(MakeSdf(body));
  BoxConfig config;
  config.boot_delay_ms = 30000;  // sixty probes' worth of silence while the image starts
  config.text = "flash erased\n";
  config.refuse_block = 7;
  config.refuse_times = 2;
  BoxSim box(config);
  const BothStages o = RunBothStages(&box, &sdf);
  EXPECT_EQ(o.firmware, 1) << o.output;
  EXPECT_EQ(o.software, 1) << o.output;
  EXPECT_TRUE(box.update_complete());
  EXPECT_EQ(box.image(), std::vector<uint8_t>(FirmwareImage, FirmwareImage + kFirmwareImageSize));
  EXPECT_EQ(box.body(), body);
  EXPECT_TRUE(box.complaints().empty()) << box.complaints().front();
  // The bootloader's text comes before its verdict on the last block, and stands as sent.
  EXPECT_NE(o.output.find("Send 100Kb\rSend 100Kb\r\nflash erased\nOK\n"), std::string::npos) << o.output;
  EXPECT_GE(serial_memory::Now(), 30000u);
}

TEST(WholeUpdate, ADamagedBlockIsRefusedSentAgainAndArrivesIntact) {
  const auto body = RandomBytes(5000, 42);
  TempFile sdf(MakeSdf(body));
  BoxConfig config;
  config.fault = FaultPlan{BoxFault::kCorruptIn, BoxPoint::kBlock, 2, 0};
  BoxSim box(config);
  const BothStages o = RunBothStages(&box, &sdf);
  EXPECT_EQ(o.software, 1) << o.output;
  EXPECT_EQ(box.body(), body);
  EXPECT_EQ(box.blocks_seen(), 6);
}

TEST(WholeUpdate, ABoxThatHangsUpEndsTheStageWithoutSpinning) {
  TempFile sdf(MakeSdf(RandomBytes(8000, 43)));
  BoxConfig config;
  config.fault = FaultPlan{BoxFault::kHangUp, BoxPoint::kBlock, 3, 0};
  BoxSim box(config);
  const BothStages o = RunBothStages(&box, &sdf);
  EXPECT_EQ(o.firmware, 1);
  EXPECT_EQ(o.software, 0);
  EXPECT_NE(o.output.find("Send 3Kb\rWaitResponse: read error...\nBAD\n"), std::string::npos) << o.output;
  EXPECT_FALSE(box.update_complete());
}
