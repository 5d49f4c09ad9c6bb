// A slot's result from its child's end, the abort or time-out sent to it, and its trace: one
// row per way a box ends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "station/station.h"
#include "station/station_run.h"

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

// A slot is marked when its last three boxes, three different boxes, failed on its line: one
// row per history of ends, latest last.
struct MarkRow {
  const char* name;
  struct End {
    int result;
    int category;  // what the trace named, for a failed box
    const char* label;
  } ends[4];
  int count;
  bool marked;
};

Station g_marks;  // large: not on the stack

TEST(StationSlotResult, AMarkAfterThreeDifferentBoxesFailOnTheLine) {
  const MarkRow rows[] = {
      {"three labels, three line failures",
       {{kStageFailed, kCategoryLineLost, "A"},
        {kStageNoBox, kCategoryNone, "B"},
        {kStageFailed, kCategoryBlockRefused, "C"}},
       3,
       true},
      {"no labels: each box counts as one of its own",
       {{kStageFailed, kCategoryOutOfStep, ""},
        {kStageFailed, kCategoryImageRefused, ""},
        {kStageNoBox, kCategoryNone, ""}},
       3,
       true},
      {"one box retried: its own trouble",
       {{kStageFailed, kCategoryLineLost, "A"},
        {kStageFailed, kCategoryLineLost, "B"},
        {kStageFailed, kCategoryLineLost, "A"}},
       3,
       false},
      {"two failures only", {{kStageFailed, kCategoryLineLost, "A"}, {kStageFailed, kCategoryLineLost, "B"}}, 2, false},
      {"a box's own trouble in between",
       {{kStageFailed, kCategoryLineLost, "A"},
        {kStageFailed, kCategorySdfHeaderRefused, "B"},
        {kStageFailed, kCategoryLineLost, "C"}},
       3,
       false},
      {"a time-out is the station's, not the line's",
       {{kStageFailed, kCategoryLineLost, "A"},
        {kStageTimedOut, kCategoryNone, "B"},
        {kStageFailed, kCategoryLineLost, "C"}},
       3,
       false},
      {"an update clears the mark",
       {{kStageFailed, kCategoryLineLost, "A"},
        {kStageFailed, kCategoryLineLost, "B"},
        {kStageFailed, kCategoryLineLost, "C"},
        {kStageUpdated, kCategoryNone, "D"}},
       4,
       false},
  };
  for (const MarkRow& row : rows) {
    SCOPED_TRACE(row.name);
    Station* s = &g_marks;
    s->slot_count = 1;
    s->slots[0] = Slot{};
    for (int i = 0; i < row.count; ++i) {
      Slot& slot = s->slots[0];
      slot.result.result = row.ends[i].result;
      slot.progress = Progress{};
      slot.progress.line_category = row.ends[i].category;
      std::snprintf(slot.label, sizeof slot.label, "%s", row.ends[i].label);
      NoteBoxEnd(s, 0);
    }
    EXPECT_EQ(s->slots[0].marked, row.marked);
  }
}

// --label's lines as a scanner or a keyboard sends them: where each line ends, and what a line
// picks or refuses. None starts a box: with "required" an empty line is refused.
TEST(StationSlotResult, TheOperatorsLines) {
  struct LineRow {
    const char* name;
    std::string bytes;
    int picked;          // -1: none
    std::string notice;  // the word on the screen begins so
  };
  const LineRow rows[] = {
      {"a code and CR LF: one line, not a code and an empty label", "SLOT-03\r\n", 2, "slot 3: waiting for its label"},
      {"a code and Tab LF: one line", "slot-3\t\n", 2, "slot 3: waiting for its label"},
      {"a number typed, with a backspace", "12\x7f\n", 0, "slot 1: waiting for its label"},
      {"an empty label refused, the pick cleared", "3\n\r", -1, "refused: slot 3 needs its box's label"},
      {"a wrong pick mended by another code", "SLOT-01\nSLOT-04\n", 3, "slot 4: waiting for its label"},
      {"a cancel", "SLOT-02\nslot-cancel\n", -1, "no slot picked"},
      {"no such slot", "SLOT-5\n", -1, "refused: this station has no slot 5 (slots 1 to 4)"},
      {"a code that is none", "SLOT-01X\n", -1, "refused: SLOT-01X is no slot code"},
      {"an abort with no box running", "SLOT-02\nSLOT-02-ABORT\n", -1, "refused: slot 2 has no box running"},
      {"a label with no slot picked", "SN1234\n", -1, "refused: SN1234: no slot picked"},
      {"a NUL byte", std::string("SLOT-01\n", 8) + std::string("A\0B\n", 4), -1, "refused: a line of more than 64"},
      {"65 characters", "SLOT-01\n" + std::string(65, 'x') + "\n", -1,
       "refused: " + std::string(65, 'x') + ": no label"},
      {"a line too long to keep", "SLOT-01\n" + std::string(90, 'x') + "\n", -1, "refused: a line of more than 64"},
      {"an empty line with no slot picked: nothing", "SLOT-02\nSLOT-CANCEL\n\n", -1, "no slot picked"},
      {"a control byte", "SLOT-01\n\x1b[2J\n", -1, "refused: \\x1B[2J: no label"},
  };
  for (const LineRow& row : rows) {
    SCOPED_TRACE(row.name);
    Station* s = &g_marks;
    s->slot_count = 4;
    s->label_mode = kLabelRequired;
    s->terminal = true;  // the word on the screen, not on standard error
    s->picked = -1;
    s->input_length = 0;
    s->input_cr = false;
    s->notice[0] = '\0';
    for (int i = 0; i < 4; ++i) {
      s->slots[i] = Slot{};
    }
    for (const char c : row.bytes) {
      OperatorInput(s, static_cast<unsigned char>(c));
    }
    EXPECT_EQ(s->picked, row.picked);
    EXPECT_EQ(std::string(s->notice).rfind(row.notice, 0), 0U) << s->notice;
    EXPECT_EQ(s->started, 0);
  }
}

}  // namespace
