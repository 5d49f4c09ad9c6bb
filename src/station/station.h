// The bench station: many boxes on many ports at once, each updated by a boxload child of its
// own, with a live view, a log and a trace per box, and a summary row as each box ends.
//
// The station never speaks to a box. What it knows of a box it reads from the child's trace as
// it grows (its console text, OUT events), so that the same progress reaches it on every
// platform and whatever the child's standard output is.
//
//   FollowBegin(&progress, trace_path, sdf_kb)  a box starts: nothing read yet
//   FollowTrace(&progress)       reads what the trace has gained since; 1 when the stage or
//                                its counter changed
//   FollowEnd(&progress)         reads the rest and lets the file go
//   StageText(progress, text, size)  "firmware 3 of 12 KB", "FAILED: <line>", ...
//   ResultName(stage)            "updated", "failed", "no box", "timed out", "aborted"
//
//   ViewBegin(station) / ViewUpdate(station, force) / ViewEvent(station, slot) / ViewEnd(station)
//                                the live table on a terminal (redrawn in place, at most a few
//                                times a second), or one line per event elsewhere
//   SummaryOpen(station)         creates summary.csv and summary.jsonl with the CSV heading;
//                                0 after a stderr line
//   SummaryRow(station, slot)    one row in each for the box that just ended, flushed at once
//   SummaryScreen(station)       the closing summary on standard output, one screen at most
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "station/station_proc.h"

inline constexpr int kMaxSlots = 35;  // keys 1-9, then a-z
inline constexpr size_t kPathSize = 1024;
inline constexpr int kFirmwareKb = 12;

enum Stage : int {
  kStageStarting,
  kStageWaitingForBox,
  kStageFirmware,
  kStageWaitingForLoader,
  kStageSdf,
  kStageUpdated,
  kStageFailed,
  kStageNoBox,
  kStageTimedOut,
  kStageAborted,
};

struct Progress {
  int stage = kStageStarting;
  int kb = 0;                       // the stage's counter: firmware or SDF kilobytes
  int sdf_kb = 0;                   // the body's size in KB, from the header the station checked
  char step[40] = {};               // the step word waiting for its OK or BAD ("SendSDFFile...")
  char failure[160] = {};           // the last failure line the child printed
  bool failure_is_summary = false;  // only "BAD" or "FW update error...": a specific line wins
  bool at_prompt = false;           // the final key prompt has been printed
  // The console line being put together from OUT events.
  char text[160] = {};
  int text_length = 0;
  // The trace as read so far.
  char path[kPathSize] = {};
  std::FILE* file = nullptr;
  long offset = 0;      // read so far
  char line[256] = {};  // the start of the trace line being read: enough for any stage
  int line_length = 0;
};

struct Slot {
  char key = '1';
  const char* port = "";  // as the operator named it
  int seq = 0;            // boxes started in this slot
  int done = 0;           // boxes ended in this slot
  ChildProcess child;
  bool running = false;
  bool waiting = false;  // --loop: ended, waits for its key
  uint32_t start_ms = 0;
  uint32_t end_ms = 0;
  int64_t start_utc = 0;
  int64_t end_utc = 0;
  int abort_stage = 0;  // kStageTimedOut or kStageAborted once the abort is sent
  uint32_t abort_ms = 0;
  uint32_t prompt_ms = 0;  // when the final prompt was first seen; 0 before
  ChildEnd end;
  Progress progress;
  int reached_stage = kStageStarting;  // the stage before the result
  int reached_kb = 0;
  int shown_stage = -1;  // what the event lines last told
  int shown_kb = -1;
  char log_path[kPathSize] = {};
  char trace_path[kPathSize] = {};
  char err_path[kPathSize] = {};
};

// A box that did not update, kept for the closing summary.
struct Miss {
  int slot = 0;
  int seq = 0;
  int stage = 0;
  char text[120] = {};
};
inline constexpr int kMissesShown = 16;

struct Station {
  const char* sdf_name = "";
  uint32_t data_crc32 = 0;
  int sdf_kb = 0;
  char log_dir[kPathSize - 64] = {};  // room for the file names in it
  bool loop = false;
  int count = 0;      // --count: boxes in all, 0 for no limit
  int timeout_s = 0;  // --timeout: 0 for none
  int slot_count = 0;
  Slot slots[kMaxSlots];
  uint32_t start_ms = 0;
  int started = 0;
  int ended = 0;
  int by_result[kStageAborted + 1] = {};
  Miss misses[kMissesShown];
  int miss_count = 0;
  // The view.
  bool terminal = false;
  bool colour = false;
  int drawn_lines = 0;
  uint32_t drawn_ms = 0;
  bool dirty = true;
  // The summary files.
  std::FILE* csv = nullptr;
  std::FILE* jsonl = nullptr;
};

void FollowBegin(Progress* progress, const char* trace_path, int sdf_kb);
int FollowTrace(Progress* progress);
void FollowEnd(Progress* progress);
void StageText(int stage, int kb, const Progress& progress, char* text, size_t size);
const char* ResultName(int stage);

void ViewBegin(Station* station);
void ViewUpdate(Station* station, bool force);
void ViewEvent(Station* station, int index);
void ViewEnd(Station* station);

int SummaryOpen(Station* station);
void SummaryRow(Station* station, int index);
void SummaryScreen(const Station& station);
