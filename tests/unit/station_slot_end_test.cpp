// A slot's result from its child's end, the abort or time-out sent to it, and its trace: one
// row per way a box ends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "station/station.h"

namespace {

struct EndRow {
  const char* name;
  int exit_code;  // -1: no exit status
  int signal;
  bool by_abort;
  bool not_started;
  int abort_stage;  // 0, kStageTimedOut or kStageAborted
  int trace_stage;  // what the trace reached
  int kb;
  const char* result;
  bool crashed;
  const char* reached;
};

TEST(StationSlotResult, OneRowPerEnd) {
  const EndRow rows[] = {
      {"updated", 0, 0, false, false, 0, kStageUpdated, 5, "updated", false, "updated"},
      {"exit 0 after an abort, as Wine gives", 0, 0, false, false, kStageAborted, kStageSdf, 2, "aborted", false,
       "SDF 2 of 5 KB"},
      {"exit 0 after an abort the box had already outrun", 0, 0, false, false, kStageAborted, kStageUpdated, 5,
       "updated", false, "updated"},
      {"aborted by SIGINT", -1, SIGINT, true, false, kStageAborted, kStageFirmware, 7, "aborted", false,
       "firmware 7 of 12 KB"},
      {"timed out", -1, SIGINT, true, false, kStageTimedOut, kStageWaitingForLoader, 0, "timed out", false,
       "waiting for the bootloader"},
      {"killed by a signal", -1, SIGSEGV, false, false, 0, kStageSdf, 3, "failed", true, "SDF 3 of 5 KB"},
      {"no box", 1, 0, false, false, 0, kStageNoBox, 0, "no box", false, "waiting for a box"},
      {"no box in the trace, but a usage error's status", 2, 0, false, false, 0, kStageNoBox, 0, "failed", false,
       "waiting for a box"},
      {"a refused last verdict", 1, 0, false, false, 0, kStageSdf, 5, "failed", false, "SDF 5 of 5 KB"},
      {"a failure after the trace said updated", 1, 0, false, false, 0, kStageUpdated, 5, "failed", false, "updated"},
      {"not started", -1, 0, false, true, 0, kStageStarting, 0, "failed", false, "starting"},
  };
  for (const EndRow& row : rows) {
    SCOPED_TRACE(row.name);
    ChildEnd end;
    end.exit_code = row.exit_code;
    end.signal = row.signal;
    end.by_abort = row.by_abort;
    end.not_started = row.not_started;
    Progress p;
    p.stage = row.trace_stage;
    p.kb = row.kb;
    p.sdf_kb = 5;
    const SlotResult r = DecideResult(end, row.abort_stage, p);
    EXPECT_STREQ(ResultName(r.result), row.result);
    EXPECT_EQ(r.crashed, row.crashed);
    char reached[64];
    ReachedText(p, reached, sizeof reached);
    EXPECT_STREQ(reached, row.reached);
  }
}

}  // namespace
