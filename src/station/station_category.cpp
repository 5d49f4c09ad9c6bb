// Why a box did not update, decided from what its trace showed: the first failure line that
// names a cause, the notes, and the step where the run stopped.
#include <cstring>

#include "station/station.h"

namespace {

// A box that failed in the software stage: where it stood tells which verdict it did not get.
int SoftwareStepCategory(const Progress& p) {
  if (std::strcmp(p.step, "Check SDF file...") == 0) {
    return kCategorySdfFileUnusable;
  }
  if (std::strcmp(p.step, "SendFileHeader...") == 0) {
    return p.loader_ready ? kCategorySdfHeaderRefused : kCategoryLoaderNotReady;
  }
  if (std::strcmp(p.step, "SendSDFFile...") == 0) {
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
