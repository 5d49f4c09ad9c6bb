// How a slot's box ended: the one place its result is decided and named.
#include <cstdio>

#include "station/station.h"

SlotResult DecideResult(const ChildEnd& end, int abort_stage, const Progress& progress) {
  SlotResult r;
  // After an abort, exit 0 alone is no update: Wine ends a program on Ctrl+C with 0. The trace
  // saying so is.
  if (end.exit_code == 0 && (abort_stage == 0 || progress.stage == kStageUpdated)) {
    r.result = kStageUpdated;
  } else if (abort_stage != 0) {
    r.result = abort_stage;
  } else if (end.exit_code == 1 && progress.stage == kStageNoBox) {
    r.result = kStageNoBox;
  } else {
    // Any other end is a failure, whatever stage the trace reached: boxload's console and its
    // standard error say which.
    r.crashed = end.exit_code < 0 && !end.not_started;
  }
  return r;
}

const char* ResultName(int result) {
  switch (result) {
    case kStageUpdated:
      return "updated";
    case kStageNoBox:
      return "no box";
    case kStageTimedOut:
      return "timed out";
    case kStageAborted:
      return "aborted";
    case kStageFailed:
      return "failed";
    default:
      return "running";
  }
}

void ReachedText(const Progress& progress, char* text, size_t size) {
  // A box that never answered got no further than the wait for it.
  const int stage = progress.stage == kStageNoBox ? kStageWaitingForBox : progress.stage;
  StageText(stage, progress.kb, progress, text, size);
}
