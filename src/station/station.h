// The bench station: many boxes on many ports at once, each updated by a boxload child of its
// own, with a live view, a log and a trace per box, and a summary row as each box ends.
//
// The station never speaks to a box. What it knows of a box it reads from the child's trace as
// it grows (its console text, OUT events), so that the same progress reaches it on every
// platform and whatever the child's standard output is.
//
//   FollowBegin(&progress, trace_path, sdf_kb)  a box starts: nothing read yet (sdf_kb: the
//                                body's size in KB, ceiling: the last "Send" line shows it)
//   FollowTrace(&progress)       reads what the trace has gained since; 1 when the stage or
//                                its counter changed
//   FollowEnd(&progress)         reads the rest and lets the file go
//   StageText(progress, text, size)  "firmware 3 of 12 KB", "FAILED: <line>", ...
//
//   DecideResult(end, abort_stage, progress)
//                                how a slot's box ended, decided in this one place from the
//                                child's end, the abort or time-out sent to it, and its trace
//   ResultName(result)           "updated", "failed", "no box", "timed out", "aborted"
//   ReachedText(progress, text, size)
//                                where the box got to: "SDF 3 of 5 KB", "waiting for a box"
//
//   ViewBegin(station) / ViewUpdate(station, force) / ViewEvent(station, slot) / ViewEnd(station)
//                                the live table on a terminal (redrawn in place, at most a few
//                                times a second, cut to the terminal's width and height), or
//                                one line per event elsewhere
//   ViewStepAside(station)       before a line on standard error: the table is taken off the
//                                screen, to be drawn again below the line
//   ShownText(text, out, size)   text as the operator's screen may take it: printable ASCII
//                                as it is, every other byte as \xHH; cut to fit out
//   SummaryOpen(station)         creates summary.csv and summary.jsonl with the CSV heading;
//                                0 after a stderr line
//   SummaryRow(station, slot, why, size)
//                                one row in each for the box that just ended, flushed at once;
//                                0 with why ("summary.csv: No space left on device") when a
//                                row did not reach its file
//   SummaryScreen(station)       the closing summary on standard output, one screen at most
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "station/station_proc.h"

inline constexpr int kMaxSlots = 35;  // keys 1-9, then a-z
inline constexpr size_t kPathSize = 1024;
inline constexpr int kFirmwareKb = 12;
// The station's clock counts milliseconds in 32 bits: a longer time-out could never be told.
inline constexpr uint32_t kMaxTimeoutS = 4294967;

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
  long offset = 0;       // read so far
  char line[8320] = {};  // the trace line being read: room for the longest console text escaped
  int line_length = 0;
  // What the trace tells of the run beyond its stage.
  char data_crc32[9] = {};  // of the file the box was sent, as the header names it; "" unknown
  int sends = 0;            // "Send NKb" lines: one per block, and one more after the last
  int64_t out_bytes = 0;    // console text the trace holds: the log holds as many bytes,
  int64_t out_lines = 0;    //   with each of its line ends as LogLineEndBytes() bytes
  bool out_cut = false;     // a console text was too long for the trace and cut there
  bool finished = false;    // the trace's last note, "exit status N", was read
};

// How a box ended. Decided once, when its child has ended; the trace's Progress stays as read.
struct SlotResult {
  int result = kStageFailed;  // kStageUpdated, kStageFailed, kStageNoBox, kStageTimedOut or kStageAborted
  bool crashed = false;       // failed by an end boxload never gives itself: a signal, an exception,
                              // an end not told, and no abort sent to it
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
  SlotResult result;     // once the box has ended
  int shown_stage = -1;  // what the event lines last told
  int shown_kb = -1;
  char log_path[kPathSize] = {};
  char trace_path[kPathSize] = {};
  char err_path[kPathSize] = {};
  char record_lost[200] = {};  // what of this box's record could not be written; "" when whole
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
  const char* platform = nullptr;  // --platform as given, passed to every child; null without it
  char boxload[kPathSize] = {};    // the boxload beside the station
  uint32_t data_crc32 = 0;
  int sdf_kb = 0;
  char log_dir[kPathSize - 64] = {};  // room for the file names in it
  bool loop = false;
  int count = 0;           // --count: boxes in all, 0 for no limit
  uint32_t timeout_s = 0;  // --timeout: 0 for none; at most kMaxTimeoutS
  int slot_count = 0;
  Slot slots[kMaxSlots];
  uint32_t start_ms = 0;
  int started = 0;
  int ended = 0;
  int by_result[kStageAborted + 1] = {};
  Miss misses[kMissesShown];
  int miss_count = 0;
  int records_lost = 0;  // boxes whose log, trace or summary row could not be written in full
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

SlotResult DecideResult(const ChildEnd& end, int abort_stage, const Progress& progress);
const char* ResultName(int result);
void ReachedText(const Progress& progress, char* text, size_t size);

void ViewBegin(Station* station);
void ViewUpdate(Station* station, bool force);
void ViewEvent(Station* station, int index);
void ViewEnd(Station* station);
void ViewStepAside(Station* station);
void ShownText(const char* text, char* out, size_t size);

int SummaryOpen(Station* station);
int SummaryRow(Station* station, int index, char* why, size_t why_size);
void SummaryScreen(const Station& station);
