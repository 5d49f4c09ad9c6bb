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
//
//   StageText(stage, kb, progress, text, size)  "firmware 3 of 12 KB", "FAILED: <line>", ...
//   DecideResult(end, abort_stage, progress)
//                                how a slot's box ended, decided in this one place from the
//                                child's end, the abort or time-out sent to it, and its trace
//   ResultName(result)           "updated", "failed", "no box", "timed out", "aborted"
//   ReachedText(progress, text, size)
//                                where the box got to: "SDF 3 of 5 KB", "waiting for a box"
//   CategoryOf(result, crashed, progress)  why a box that ended with that result did not update:
//                                one of the categories below, kCategoryNone when it did
//   CategoryName(category)       the category's stable name; null for kCategoryNone
//   FailureCategory(result, crashed, progress)  CategoryName(CategoryOf(...))
//
//   ViewBegin(station) / ViewUpdate(station, force) / ViewEvent(station, slot) / ViewEnd(station)
//                                the live table on a terminal (redrawn in place, at most a few
//                                times a second, cut to the terminal's width and height), or
//                                one line per event elsewhere
//   ViewStepAside(station)       before a line on standard error: the table is taken off the
//                                screen, to be drawn again below the line
//   ShownText(text, out, size)   text as the operator's screen may take it: printable ASCII
//                                as it is, every other byte as \xHH; cut to fit out
//   SummaryOpen(station)         the folder's records (records/spool.h): the summaries, the
//                                start lines and the station's lock; 0 after a stderr line
//   SummaryStart(station, slot, why, size)
//                                the box's start line, on disk before its child starts: the
//                                row that accounts for it should the station end meanwhile
//   SummaryRow(station, slot, why, size)
//                                one row in each summary for the box that just ended, on disk
//                                before the call returns; 0 with why ("summary.csv: No space
//                                left on device") when a row did not reach its file
//   SummaryScreen(station)       the closing summary on standard output, one screen at most
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/trace.h"
#include "records/spool.h"
#include "station/station_contract.h"
#include "station/station_proc.h"

// The station's exit statuses, and --push's: every box updated (every row sent); some box not
// updated or not recorded (a row not sent); a usage error, before any box starts.
inline constexpr int kExitAllUpdated = 0;
inline constexpr int kExitSomeNot = 1;
inline constexpr int kExitUsage = 2;

// A box the station was cut off from: it ended while the box ran (killed, a power cut). Its
// start line in the folder says so, as its result and its category alike.
inline constexpr const char* kInterrupted = "interrupted";

inline constexpr int kMaxSlots = 128;
inline constexpr int kKeySlots = 35;            // --loop's single keys: 1-9, then a-z; past them, --label's lines
inline constexpr size_t kLabelSize = 65;        // a box's label: 1 to 64 printable ASCII characters
inline constexpr size_t kStationNameSize = 65;  // --station: 64 bytes at most
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

inline constexpr int kNoStep = -1;

struct Progress {
  int stage = kStageStarting;
  int kb = 0;                       // the stage's counter: firmware or SDF kilobytes
  int sdf_kb = 0;                   // the body's size in KB, from the header the station checked
  int step = kNoStep;               // the step line waiting for its OK or BAD: kLineBodyStep, say
  char failure[160] = {};           // the last failure line the child printed
  bool failure_is_summary = false;  // only "BAD" or "FW update error...": a specific line wins
  bool at_prompt = false;           // the final key prompt has been printed
  // The console line being put together from OUT events.
  char text[160] = {};
  int text_length = 0;
  // The trace as read so far.
  char path[kPathSize] = {};
  std::FILE* file = nullptr;
  long offset = 0;                // read so far
  char line[kTraceLineMax] = {};  // the trace line being read: room for the longest console text escaped
  int line_length = 0;
  // What the trace tells of the run beyond its stage.
  char data_crc32[9] = {};  // of the file the box was sent, as the header names it; "" unknown
  int sends = 0;            // "Send NKb" lines: one per block, and one more after the last
  int64_t out_bytes = 0;    // console text the trace holds: the log holds as many bytes,
  int64_t out_lines = 0;    //   with each of its line ends as LogLineEndBytes() bytes
  bool out_cut = false;     // a console text was too long for the trace and cut there
  bool finished = false;    // the trace's last note, "exit status N", was read
  // The box and the file it was sent, for its record. Text fields are "" and numbers -1 when the
  // trace never told them.
  char platform[25] = {};         // the run's first boot ROM answer: the 12 bytes after A5, in hex
  bool repair_mode = false;       // the box was found waiting in repair mode
  char sdf_file[kPathSize] = {};  // the file this box was sent, as boxload was given it
  int64_t sdf_bytes = -1;         //   its length
  char sdf_id[17] = {};           //   its header's first 8 bytes, in hex
  char boxload_version[32] = {};
  char image_sha256[65] = {};   // of the firmware image boxload carries
  int resends = 0;              // blocks sent again
  int stray_bytes = 0;          // odd bytes where a verdict was due ("Unknown response")
  int64_t firmware_ms = 0;      // from the trace's first event to the firmware stage's end, or on
  int64_t software_ms = 0;      //   to the prompt when it never ended; the software stage after it
  bool out_of_step = false;     // boxload found itself out of step with the box
  bool wrong_platform = false;  // --platform refused the box
  // What the category is decided from.
  int line_category = kCategoryNone;  // of the first failure line that names one
  bool loader_ready = false;          // the bootloader's ready signal came
  bool body_sent = false;             // "SendSDFFile... OK": every block was accepted
  int64_t first_us = -1;              // the trace's first event time
  int64_t last_us = -1;               //   its latest
  int64_t firmware_end_us = -1;       // when the firmware stage ended
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
  int64_t start_utc_ms = 0;  // milliseconds since 1970, UTC
  int64_t end_utc_ms = 0;
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
  // The device the port resolved to as this box started, and its USB adapter's serial number
  // ("" when not known).
  char device[kPathSize] = {};
  char adapter_serial[128] = {};
  // The slot's line quality and yield so far: boxes ended by result, resends of them all.
  int by_result[kStageAborted + 1] = {};
  int64_t resends = 0;
  char label[kLabelSize] = {};  // the running (or last) box's label, "" when it had none
  // The last three boxes, latest first: whether each failed on the slot's line, and its label.
  // Three different boxes failed so in a row mark the slot: its cable or adapter is suspect.
  bool line_failed[3] = {};
  char last_labels[3][kLabelSize] = {};
  bool marked = false;
};

// --label: the operator's lines pick a slot, then name its box.
enum LabelMode : int { kLabelNone, kLabelOptional, kLabelRequired };

// What this run has seen of a label: one entry per label (its hash), for "updated before".
inline constexpr int kLabelsKept = 1 << 15;
struct LabelSeen {
  uint64_t hash = 0;  // 0: a free entry
  bool updated = false;
  int slot = 0;  // where it was last updated, from 1
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
  char name[kStationNameSize] = {};  // --station, or the host's name
  const char* sdf_name = "";
  const char* platform = nullptr;  // --platform as given, passed to every child; null without it
  char boxload[kPathSize] = {};    // the boxload beside the station
  uint32_t data_crc32 = 0;
  int sdf_kb = 0;
  char log_dir[kPathSize - 64] = {};  // room for the file names in it
  // "<station>:<the folder's absolute path>:<run id>:" of each record_id
  char record_prefix[kPathSize + 120] = {};
  char run_id[33] = {};  // 128 random bits in hex: no other run anywhere has them
  bool loop = false;
  int count = 0;           // --count: boxes in all, 0 for no limit
  uint32_t timeout_s = 0;  // --timeout: 0 for none; at most kMaxTimeoutS
  int slot_count = 0;
  Slot slots[kMaxSlots];
  uint32_t start_ms = 0;
  int started = 0;
  int ended = 0;
  int by_result[kStageAborted + 1] = {};
  int by_category[kCategoryCount] = {};
  Miss misses[kMissesShown];
  int miss_count = 0;
  int records_lost = 0;  // boxes whose log, trace or summary row could not be written in full
  // --label's lines: the line being read, the slot picked (-1 none), a label that waits for its
  // repeat, a question to the database, and the last word for the operator.
  int label_mode = kLabelNone;
  char input[kLabelSize + 16] = {};
  int input_length = 0;      // -1: the line is too long, and refused at its end
  bool input_cr = false;     // the last byte was a CR: a LF right after it ends nothing
  bool input_ended = false;  // no more lines will come
  int picked = -1;
  char repeat[kLabelSize] = {};  // a label updated before, waiting to come again
  char asked[kLabelSize] = {};   // the label the database is asked about,
  int asking = -1;               //   for this slot (-1: no question waits)
  uint32_t asked_ms = 0;
  char notice[200] = {};
  LabelSeen seen[kLabelsKept];
  int seen_count = 0;
  int last_ended = -1;  // the slot whose box ended last: the grid's details by default
  // Updated boxes per minute over the last hour, for the head line's rate.
  int per_minute[60] = {};
  uint32_t minute_of[60] = {};
  // The view.
  bool terminal = false;
  bool colour = false;
  int drawn_lines = 0;
  uint32_t drawn_ms = 0;
  bool dirty = true;
  // The folder's records: the summaries, the start lines, the lock.
  Spool spool;
};

void FollowBegin(Progress* progress, const char* trace_path, int sdf_kb);
int FollowTrace(Progress* progress);
void FollowEnd(Progress* progress);

void StageText(int stage, int kb, const Progress& progress, char* text, size_t size);
SlotResult DecideResult(const ChildEnd& end, int abort_stage, const Progress& progress);
const char* ResultName(int result);
void ReachedText(const Progress& progress, char* text, size_t size);
int CategoryOf(int stage, bool crashed, const Progress& progress);
const char* CategoryName(int category);
const char* FailureCategory(int stage, bool crashed, const Progress& progress);

void ViewBegin(Station* station);
void ViewUpdate(Station* station, bool force);
void ViewEvent(Station* station, int index);
void ViewEnd(Station* station);
void ViewStepAside(Station* station);
void ShownText(const char* text, char* out, size_t size);

int SummaryOpen(Station* station);
int SummaryStart(Station* station, int index, char* why, size_t why_size);
int SummaryRow(Station* station, int index, char* why, size_t why_size);
void SummaryScreen(const Station& station);
