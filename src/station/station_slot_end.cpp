// How a slot's box ended, decided in this one place: its result from the child's end, the abort
// sent to it and its trace; and, for a box not updated, why: the first failure line that names a
// cause, the notes, and the step where the run stopped.
#include <cstdio>
#include <cstring>

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

// A stage as the table and the event lines name it.
void StageText(int stage, int kb, const Progress& progress, char* text, size_t size) {
  switch (stage) {
    case kStageStarting:
      std::snprintf(text, size, "starting");
      break;
    case kStageWaitingForBox:
      std::snprintf(text, size, "waiting for a box");
      break;
    case kStageFirmware:
      std::snprintf(text, size, "firmware %d of %d KB", kb, kFirmwareKb);
      break;
    case kStageWaitingForLoader:
      std::snprintf(text, size, "waiting for the bootloader");
      break;
    case kStageSdf:
      std::snprintf(text, size, "SDF %d of %d KB", kb, progress.sdf_kb);
      break;
    case kStageFailed:
      std::snprintf(text, size, "FAILED: %s", progress.failure[0] != '\0' ? progress.failure : "no reason given");
      break;
    default:
      std::snprintf(text, size, "%s", ResultName(stage));
      break;
  }
}

void ReachedText(const Progress& progress, char* text, size_t size) {
  // A box that never answered got no further than the wait for it.
  const int stage = progress.stage == kStageNoBox ? kStageWaitingForBox : progress.stage;
  StageText(stage, progress.kb, progress, text, size);
}

namespace {

// A box that failed in the software stage: where it stood tells which verdict it did not get.
int SoftwareStepCategory(const Progress& p) {
  if (p.step == kLineCheckStep) {
    return kCategorySdfFileUnusable;
  }
  if (p.step == kLineHeaderStep) {
    return p.loader_ready ? kCategorySdfHeaderRefused : kCategoryLoaderNotReady;
  }
  if (p.step == kLineBodyStep) {
    // The "Send NKb" after the last block: every block was accepted, the after-last verdict was not.
    return p.body_sent || p.sends > p.sdf_kb ? kCategoryLastVerdict : kCategoryBlockRefused;
  }
  return kCategoryOther;
}

}  // namespace

int CategoryOf(int stage, bool crashed, const Progress& p) {
  switch (stage) {
    case kStageUpdated:
      return kCategoryNone;
    case kStageAborted:
      return kCategoryAborted;
    case kStageTimedOut:
      // A bootloader that never signals ready holds boxload for ever: only the time-out ends it.
      return p.firmware_end_us >= 0 && !p.loader_ready && p.line_category == kCategoryNone ? kCategoryLoaderNotReady
                                                                                           : kCategoryTimedOut;
    case kStageNoBox:
      return kCategoryNoBox;
    default:
      break;
  }
  if (crashed) {
    return kCategoryCrashed;
  }
  // Out of step or a refused platform is noted before any failure line follows from it.
  if (p.wrong_platform) {
    return kCategoryWrongPlatform;
  }
  if (p.out_of_step) {
    return kCategoryOutOfStep;
  }
  if (p.line_category != kCategoryNone) {
    return p.line_category;
  }
  if (p.body_sent) {
    return kCategoryLastVerdict;  // the final verdict: refused, or an odd byte in its place
  }
  return p.firmware_end_us >= 0 ? SoftwareStepCategory(p) : kCategoryOther;
}

const char* CategoryName(int category) {
  return category > kCategoryNone && category < kCategoryCount ? kCategoryNames[category] : nullptr;
}

const char* FailureCategory(int stage, bool crashed, const Progress& p) {
  return CategoryName(CategoryOf(stage, crashed, p));
}
