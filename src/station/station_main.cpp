// boxstation: updates many boxes on many ports at once, each by a boxload child of its own.
//
//   boxstation [--log-dir DIR] [--loop [--count N]] [--label optional|required] [--timeout SEC]
//              [--platform HEX] [--station NAME] [--results URL] FILE.sdf PORT...
//   boxstation --push URL DIR...
//
// Before any child starts, the station checks the SDF file as boxload does, refuses a port
// named twice (under any two names) and opens each port once, as boxload would, to refuse one
// that cannot be used. Then each slot runs boxload with --trace (and --platform when given),
// its console text into the slot's log, and follows the trace for the live view.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "files/files.h"
#include "records/results.h"
#include "station/station.h"
#include "station/station_proc.h"
#include "station/station_run.h"

namespace {

// An aborted child frees its port at once; one that has not ended by then is killed.
constexpr uint32_t kAbortGraceMs = 5000;
constexpr int kTickMs = 100;
constexpr uint32_t kPromptNudgeMs = 2000;

Station g_station;  // large: not on the stack

void OperatorKey(Station* s, int key) {
  for (int i = 0; i < s->slot_count; ++i) {
    const Slot& slot = s->slots[i];
    if (slot.waiting && (key == '\n' || key == '\r' || (key == slot.key && slot.key != '\0')) && MayStart(*s)) {
      StartBox(s, i);
    }
  }
}

// One pass over the slots: progress, ends, time-outs, aborts.
void Tend(Station* s, bool stopping) {
  const uint32_t now = ElapsedClock();
  for (int i = 0; i < s->slot_count; ++i) {
    Slot& slot = s->slots[i];
    if (!slot.running) {
      continue;
    }
    if (FollowTrace(&slot.progress) != 0) {
      ViewEvent(s, i);
    }
    if (PollChild(&slot.child, &slot.end) != 0) {
      EndBox(s, i);
      continue;
    }
    // A child still at its final prompt after a while missed the key queued for it.
    if (slot.progress.at_prompt && slot.prompt_ms == 0) {
      slot.prompt_ms = now;
    } else if (slot.prompt_ms != 0 && now - slot.prompt_ms >= kPromptNudgeMs) {
      NudgeChild(&slot.child);
      slot.prompt_ms = now;
    }
    if (slot.abort_stage == 0 && stopping) {
      slot.abort_stage = kStageAborted;
      slot.abort_ms = now;
      AbortChild(&slot.child);
    } else if (slot.abort_stage == 0 && s->timeout_s != 0 &&
               static_cast<uint64_t>(now - slot.start_ms) >= static_cast<uint64_t>(s->timeout_s) * 1000U) {
      slot.abort_stage = kStageTimedOut;
      slot.abort_ms = now;
      AbortChild(&slot.child);
    } else if (slot.abort_stage != 0 && now - slot.abort_ms >= kAbortGraceMs) {
      KillChild(&slot.child);
    }
  }
}

// The database's sender speaks through the station: its lines take their turn with the table.
void SayResults(Station* s) {
  char line[512];
  while (ResultsMessage(line, sizeof line) != 0) {
    Say(s, "%s", line);
  }
}

bool AnyRunning(const Station& s) {
  for (int i = 0; i < s.slot_count; ++i) {
    if (s.slots[i].running) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard descriptor would hand its number to a port,
  // which would then be refused as the station's own terminal, or take the console text.
  if (FileStandardDescriptorsOpen() == 0) {
    return kExitSomeNot;
  }
  if (const int helper = StationHelperMain(argc, argv); helper >= 0) {
    return helper;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--push") == 0) {  // PostgreSQL: records/results.h
    return PushMain(argc, argv);
  }
  Station* s = &g_station;
  const char* log_dir = nullptr;
  if (ReadCommandLine(argc, argv, s, &log_dir) == 0) {
    Usage();
    return kExitUsage;
  }
  if (!CheckSdf(s)) {
    return kExitSomeNot;
  }
  if (const int status = CheckPorts(s); status != kExitAllUpdated) {
    return status;
  }
  if (!FindBoxload(s)) {
    return kExitSomeNot;
  }
  if (!MakeLogFolder(s, log_dir) || SummaryOpen(s) == 0) {
    return kExitSomeNot;
  }
  ResultsBegin(s->log_dir, &s->spool);  // PostgreSQL, with --results: off this loop

  CatchStopSignals();
  RaiseDescriptorLimit();  // each slot holds its files and its child's while its box runs
  if (s->loop && KeysBegin() == 0) {
    std::fprintf(stderr,
                 "boxstation: not the terminal's foreground job: no keys are read until it is brought there "
                 "(fg)%s\n",
                 s->label_mode == kLabelNone ? "; the first boxes start now" : "");
  }
  s->start_ms = ElapsedClock();
  ViewBegin(s);
  // With --label each box starts by the operator's lines, the first ones too.
  for (int i = 0; i < s->slot_count && MayStart(*s) && s->label_mode == kLabelNone; ++i) {
    StartBox(s, i);
  }
  bool stopping = false;
  for (;;) {
    const int key = WaitForOperatorKey(kTickMs);
    stopping = stopping || StopSignal() != 0;
    Tend(s, stopping);
    int start = -1;  // a slot that --label's lines start
    if (key >= 0 && !stopping) {
      if (s->label_mode != kLabelNone) {
        start = OperatorInput(s, key);
      } else {
        OperatorKey(s, key);
      }
    } else if (key == kNoMoreKeys && s->label_mode != kLabelNone) {
      start = InputEnded(s);
    }
    if (start < 0 && !stopping) {
      start = LabelTick(s);
    }
    if (start >= 0 && !stopping) {
      StartBox(s, start);
    }
    if (!AnyRunning(*s) &&
        (!s->loop || stopping || (s->count != 0 && s->ended >= s->count) || s->records_lost > 0 || s->input_ended)) {
      break;
    }
    ViewUpdate(s, false);
    SayResults(s);
  }
  if (s->loop) {
    KeysEnd();
  }
  ViewEnd(s);
  SayResults(s);
  SummaryScreen(*s);
  // Every row is on disk by now: the sender gets a few seconds at most, none on a stop signal.
  ResultsEnd(StopSignal() != 0);
  SpoolClose(&s->spool);
  if (StopSignal() != 0) {
    EndByStopSignal(StopSignal());
  }
  // Never a clean run with a record missing.
  return s->ended > 0 && s->by_result[kStageUpdated] == s->ended && s->records_lost == 0 ? kExitAllUpdated
                                                                                         : kExitSomeNot;
}
