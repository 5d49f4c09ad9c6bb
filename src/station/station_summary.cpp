// The station's results: summary.csv and summary.jsonl, a row per box as it ends, and the
// closing summary on standard output.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "records/record.h"
#include "records/spool.h"
#include "station/station.h"

namespace {

// The file name within the run's folder: the rows stay true when the folder moves.
const char* InFolder(const Station& s, const char* path) {
  const size_t n = std::strlen(s.log_dir);
  return std::strncmp(path, s.log_dir, n) == 0 && (path[n] == '/' || path[n] == '\\') ? path + n + 1 : path;
}

const char* TextOrNull(const char* text) { return text[0] != '\0' ? text : nullptr; }

// Seconds with their milliseconds, as "seconds" has them.
void Seconds(char* text, size_t size, int64_t ms) {
  std::snprintf(text, size, "%lld.%03d", static_cast<long long>(ms / 1000), static_cast<int>(ms % 1000));
}

// The texts a record points at that are made here rather than held by the slot.
struct RecordTexts {
  char record_id[sizeof(Station::record_prefix) + 32];
  char start[32];
  char end[32];
  char seconds[24];
  char stage[64];
  char exit[16];
  char firmware_seconds[24];
  char software_seconds[24];
  char data_crc32[9];
  char sdf_bytes[24];
  char slot[12];
  char seq[12];
  char resends[12];
  char stray_bytes[12];
  char schema[12];
  char records[sizeof(Slot::record_lost) + 64];
};
RecordTexts g_texts;

// What of the box's record is missing: what could not be written, or a trace without the exit
// note that marks it whole, as from a boxload killed (SIGKILL, say) before it could write it.
const char* RecordsText(const Slot& slot, char* text, size_t size) {
  if (slot.record_lost[0] != '\0') {
    return slot.record_lost;
  }
  // An abort the station sent ends boxload its own way; only a crash leaves the trace cut.
  if (slot.progress.finished || !slot.result.crashed) {
    return "complete";
  }
  std::snprintf(text, size, "the trace ends without boxload's exit note: boxload ended by %s", slot.end.text);
  return text;
}

// What a box's record says whatever became of it: who, where, what was sent.
void FillStart(const Station& s, int index, Record* r) {
  const Slot& slot = s.slots[index];
  RecordTexts& t = g_texts;
  std::snprintf(t.record_id, sizeof t.record_id, "%s%d-%d", s.record_prefix, index + 1, slot.seq);
  std::snprintf(t.slot, sizeof t.slot, "%d", index + 1);
  std::snprintf(t.seq, sizeof t.seq, "%d", slot.seq);
  std::snprintf(t.schema, sizeof t.schema, "%d", kRecordSchema);
  UtcTimeText(slot.start_utc_ms, t.start, sizeof t.start);
  r->value[kFieldRecordId] = t.record_id;
  r->value[kFieldSlot] = t.slot;
  r->value[kFieldPort] = slot.port;
  r->value[kFieldSeq] = t.seq;
  r->value[kFieldStart] = t.start;
  r->value[kFieldLog] = InFolder(s, slot.log_path);
  r->value[kFieldTrace] = InFolder(s, slot.trace_path);
  r->value[kFieldSchema] = t.schema;
  r->value[kFieldStation] = s.name;
  r->value[kFieldDevice] = TextOrNull(slot.device);
  r->value[kFieldAdapterSerial] = TextOrNull(slot.adapter_serial);
  r->value[kFieldRunId] = s.run_id;
  r->value[kFieldBoxLabel] = TextOrNull(slot.label);
  r->value[kFieldRepairMode] = "false";
  r->value[kFieldResends] = "0";
  r->value[kFieldStrayBytes] = "0";
  // The file the station checked; a box's own trace names the one it was sent.
  r->value[kFieldSdfFile] = s.sdf_name;
  std::snprintf(t.data_crc32, sizeof t.data_crc32, "%08X", static_cast<unsigned>(s.data_crc32));
  r->value[kFieldDataCrc32] = t.data_crc32;
}

// The box's record as it ended.
void FillEnd(const Station& s, int index, Record* r) {
  const Slot& slot = s.slots[index];
  const Progress& p = slot.progress;
  RecordTexts& t = g_texts;
  FillStart(s, index, r);
  UtcTimeText(slot.end_utc_ms, t.end, sizeof t.end);
  const uint32_t ms = slot.end_ms - slot.start_ms;
  std::snprintf(t.seconds, sizeof t.seconds, "%u.%03u", ms / 1000, ms % 1000);
  ReachedText(p, t.stage, sizeof t.stage);
  r->value[kFieldEnd] = t.end;
  r->value[kFieldSeconds] = t.seconds;
  r->value[kFieldResult] = ResultName(slot.result.result);
  r->value[kFieldStage] = t.stage;
  r->value[kFieldFailure] = slot.result.result == kStageUpdated ? "" : p.failure;
  // The CSV names the end as a shell would ("0", "SIGINT", "not started"); the JSON has the
  // exit status and the signal apart.
  r->value[kFieldExitText] = slot.end.text;
  if (slot.end.exit_code >= 0) {
    std::snprintf(t.exit, sizeof t.exit, "%d", slot.end.exit_code);
    r->value[kFieldExitStatus] = t.exit;
  } else {
    r->value[kFieldSignal] = slot.end.text;
  }
  // The file this box was sent is the one its trace names; a box whose trace never named one
  // (its child never started, say) keeps the station's.
  if (p.sdf_file[0] != '\0') {
    r->value[kFieldSdfFile] = p.sdf_file;
    r->value[kFieldDataCrc32] = TextOrNull(p.data_crc32);  // a file with no header has none
  }
  r->value[kFieldRecords] = RecordsText(slot, t.records, sizeof t.records);
  // Null for a stage that never began: no trace event, or no firmware stage's end.
  if (p.first_us >= 0) {
    Seconds(t.firmware_seconds, sizeof t.firmware_seconds, p.firmware_ms);
    r->value[kFieldFirmwareSeconds] = t.firmware_seconds;
  }
  if (p.firmware_end_us >= 0) {
    Seconds(t.software_seconds, sizeof t.software_seconds, p.software_ms);
    r->value[kFieldSoftwareSeconds] = t.software_seconds;
  }
  r->value[kFieldCategory] = FailureCategory(slot.result.result, slot.result.crashed, p);
  r->value[kFieldPlatform] = TextOrNull(p.platform);
  r->value[kFieldRepairMode] = p.repair_mode ? "true" : "false";
  if (p.sdf_bytes >= 0) {
    std::snprintf(t.sdf_bytes, sizeof t.sdf_bytes, "%lld", static_cast<long long>(p.sdf_bytes));
    r->value[kFieldSdfBytes] = t.sdf_bytes;
  }
  r->value[kFieldSdfId] = TextOrNull(p.sdf_id);
  std::snprintf(t.resends, sizeof t.resends, "%d", p.resends);
  std::snprintf(t.stray_bytes, sizeof t.stray_bytes, "%d", p.stray_bytes);
  r->value[kFieldResends] = t.resends;
  r->value[kFieldStrayBytes] = t.stray_bytes;
  r->value[kFieldBoxloadVersion] = TextOrNull(p.boxload_version);
  r->value[kFieldImageSha256] = TextOrNull(p.image_sha256);
}

}  // namespace

int SummaryOpen(Station* s) {
  char why[kPathSize + 160];
  if (SpoolOpen(&s->spool, s->log_dir, why, sizeof why) == 0) {
    char shown[sizeof why * 4];
    ShownText(why, shown, sizeof shown);
    std::fprintf(stderr, "boxstation: %s\n", shown);
    return 0;
  }
  return 1;
}

int SummaryStart(Station* s, int index, char* why, size_t why_size) {
  // Should the station end while the box runs, this line is what accounts for it: never
  // "updated", since its flash may be half written.
  Record r;
  FillStart(*s, index, &r);
  r.value[kFieldResult] = kInterrupted;
  r.value[kFieldCategory] = kInterrupted;
  r.value[kFieldStage] = "unknown";
  r.value[kFieldFailure] = "the station ended while the box was being updated";
  r.value[kFieldRecords] = "the station ended while the box was being updated";
  return SpoolStart(&s->spool, r, why, why_size);
}

int SummaryRow(Station* s, int index, char* why, size_t why_size) {
  Record r;
  FillEnd(*s, index, &r);
  // Forced to disk at once: a station that dies later loses no box that has ended.
  return SpoolAppend(&s->spool, r, why, why_size);
}

void SummaryScreen(const Station& s) {
  const uint32_t seconds = (ElapsedClock() - s.start_ms) / 1000;
  const double hours = seconds / 3600.0;
  std::printf("\nboxstation: %d box%s in %u:%02u:%02u: %d updated, %d failed, %d no box, %d timed out, %d aborted",
              s.ended, s.ended == 1 ? "" : "es", seconds / 3600, seconds / 60 % 60, seconds % 60,
              s.by_result[kStageUpdated], s.by_result[kStageFailed], s.by_result[kStageNoBox],
              s.by_result[kStageTimedOut], s.by_result[kStageAborted]);
  if (hours > 0 && s.by_result[kStageUpdated] > 0) {
    std::printf(" (%.0f boxes per hour)", s.by_result[kStageUpdated] / hours);
  }
  std::printf("\n");
  // Each slot's yield and line quality: the resends per box that answered. A big bench names
  // only the slots where a box did not update, so that the summary stays one screen.
  const bool every_slot = s.slot_count <= kMissesShown;
  int quiet = 0;
  int unshown = 0;
  int shown_slots = 0;
  for (int i = 0; i < s.slot_count; ++i) {
    const Slot& slot = s.slots[i];
    const int updated = slot.by_result[kStageUpdated];
    if (!every_slot && (updated == slot.done || shown_slots == kMissesShown)) {
      ++(updated == slot.done ? quiet : unshown);
      continue;
    }
    ++shown_slots;
    const int no_box = slot.by_result[kStageNoBox];
    const int answered = slot.done - no_box;
    char port[kPathSize];
    ShownText(slot.port, port, sizeof port);
    std::printf("  slot %d %s: %d updated, %d failed, %d no box", i + 1, port, updated, answered - updated, no_box);
    if (answered > 0) {
      std::printf(", %.1f resends per box", static_cast<double>(slot.resends) / answered);
    }
    std::printf("%s\n", slot.marked ? " - check the cable or the adapter" : "");
  }
  if (unshown > 0) {
    std::printf("  and %d more slots where a box did not update: see summary.csv\n", unshown);
  }
  if (quiet > 0) {
    std::printf("  %d other slot%s: every box updated, or none taken\n", quiet, quiet == 1 ? "" : "s");
  }
  const char* comma = "  by category: ";
  for (int c = kCategoryNone + 1; c < kCategoryCount; ++c) {
    if (s.by_category[c] > 0) {
      std::printf("%s%d %s", comma, s.by_category[c], CategoryName(c));
      comma = ", ";
    }
  }
  if (comma[0] == ',') {
    std::printf("\n");
  }
  const int shown = s.miss_count < kMissesShown ? s.miss_count : kMissesShown;
  for (int i = 0; i < shown; ++i) {
    const Miss& m = s.misses[i];
    char port[kPathSize];
    char text[sizeof m.text * 4];
    ShownText(s.slots[m.slot].port, port, sizeof port);
    ShownText(m.text, text, sizeof text);
    std::printf("  slot %d %s, box %d: %s\n", m.slot + 1, port, m.seq, text);
  }
  if (const int more = s.miss_count - kMissesShown; more > 0) {
    std::printf("  and %d more boxes that did not update: see summary.csv\n", more);
  }
  if (s.records_lost > 0) {
    std::printf("  %d box%s not recorded in full: see the lines above and the records column\n", s.records_lost,
                s.records_lost == 1 ? "" : "es");
  }
  char folder[sizeof s.log_dir * 4];
  ShownText(s.log_dir, folder, sizeof folder);
  std::printf("logs, traces, summary.csv and summary.jsonl in %s\n", folder);
  std::fflush(stdout);
}
