// The station's results: summary.csv and summary.jsonl, a row per box as it ends, and the
// closing summary on standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "station/station.h"

namespace {

// A CSV field: always quoted, quotes doubled (a failure line may hold commas and quotes).
void CsvText(std::FILE* f, const char* text) {
  (void)std::fputc('"', f);
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '"') {
      (void)std::fputc('"', f);
    }
    (void)std::fputc(*c, f);
  }
  (void)std::fputc('"', f);
}

void JsonText(std::FILE* f, const char* text) {
  (void)std::fputc('"', f);
  for (const char* c = text; *c != '\0'; ++c) {
    const auto u = static_cast<unsigned char>(*c);
    if (u == '"' || u == '\\') {
      std::fprintf(f, "\\%c", *c);
    } else if (u < 0x20 || u == 0x7F) {
      std::fprintf(f, "\\u%04X", u);
    } else {
      (void)std::fputc(*c, f);
    }
  }
  (void)std::fputc('"', f);
}

// The file name within the run's folder: the rows stay true when the folder moves.
const char* InFolder(const Station& s, const char* path) {
  const size_t n = std::strlen(s.log_dir);
  return std::strncmp(path, s.log_dir, n) == 0 && (path[n] == '/' || path[n] == '\\') ? path + n + 1 : path;
}

std::FILE* Create(const Station& s, const char* name) {
  char path[kPathSize + 16];
  std::snprintf(path, sizeof path, "%s/%s", s.log_dir, name);
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "boxstation: %s: %s\n", path, std::strerror(errno));
  }
  return f;
}

}  // namespace

int SummaryOpen(Station* s) {
  s->csv = Create(*s, "summary.csv");
  s->jsonl = Create(*s, "summary.jsonl");
  if (s->csv == nullptr || s->jsonl == nullptr) {
    return 0;
  }
  std::fprintf(s->csv, "slot,port,seq,start,end,seconds,result,stage,failure,exit,sdf_file,data_crc32,log,trace\n");
  std::fflush(s->csv);
  return 1;
}

void SummaryRow(Station* s, int index) {
  const Slot& slot = s->slots[index];
  char start[32];
  char end[32];
  UtcTimeText(slot.start_utc, start, sizeof start);
  UtcTimeText(slot.end_utc, end, sizeof end);
  const uint32_t ms = slot.end_ms - slot.start_ms;
  char seconds[24];
  std::snprintf(seconds, sizeof seconds, "%u.%03u", ms / 1000, ms % 1000);
  char stage[64];
  StageText(slot.reached_stage, slot.reached_kb, slot.progress, stage, sizeof stage);
  char crc[12];
  std::snprintf(crc, sizeof crc, "%08X", s->data_crc32);
  const char* result = ResultName(slot.progress.stage);
  const char* failure = slot.progress.stage == kStageUpdated ? "" : slot.progress.failure;
  const char* log = InFolder(*s, slot.log_path);
  const char* trace = InFolder(*s, slot.trace_path);

  if (s->csv != nullptr) {
    std::FILE* f = s->csv;
    std::fprintf(f, "%d,", index + 1);
    CsvText(f, slot.port);
    std::fprintf(f, ",%d,%s,%s,%s,%s,", slot.seq, start, end, seconds, result);
    CsvText(f, stage);
    (void)std::fputc(',', f);
    CsvText(f, failure);
    std::fprintf(f, ",%s,", slot.end.text);
    CsvText(f, s->sdf_name);
    std::fprintf(f, ",%s,", crc);
    CsvText(f, log);
    (void)std::fputc(',', f);
    CsvText(f, trace);
    (void)std::fputc('\n', f);
    std::fflush(f);  // a station that dies later loses no box that has ended
  }
  if (s->jsonl != nullptr) {
    std::FILE* f = s->jsonl;
    // Stand-in record_id until the schema-1 row names the station: the folder, the slot, the box.
    char record_id[kPathSize + 32];
    std::snprintf(record_id, sizeof record_id, "%s/slot%d-%d", s->log_dir, index + 1, slot.seq);
    std::fprintf(f, "{\"record_id\":");
    JsonText(f, record_id);
    std::fprintf(f, ",\"slot\":%d,\"port\":", index + 1);
    JsonText(f, slot.port);
    std::fprintf(f, ",\"seq\":%d,\"start\":\"%s\",\"end\":\"%s\",\"seconds\":%s,\"result\":\"%s\",\"stage\":", slot.seq,
                 start, end, seconds, result);
    JsonText(f, stage);
    std::fprintf(f, ",\"failure\":");
    JsonText(f, failure);
    if (slot.end.exit_code >= 0) {
      std::fprintf(f, ",\"exit\":%d,\"signal\":null", slot.end.exit_code);
    } else {
      std::fprintf(f, ",\"exit\":null,\"signal\":\"%s\"", slot.end.text);
    }
    std::fprintf(f, ",\"sdf_file\":");
    JsonText(f, s->sdf_name);
    std::fprintf(f, ",\"data_crc32\":\"%s\",\"log\":", crc);
    JsonText(f, log);
    std::fprintf(f, ",\"trace\":");
    JsonText(f, trace);
    std::fprintf(f, "}\n");
    std::fflush(f);
  }
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
  const int shown = s.miss_count < kMissesShown ? s.miss_count : kMissesShown;
  for (int i = 0; i < shown; ++i) {
    const Miss& m = s.misses[i];
    std::printf("  slot %d %s, box %d: %s\n", m.slot + 1, s.slots[m.slot].port, m.seq, m.text);
  }
  if (const int more = s.miss_count - kMissesShown; more > 0) {
    std::printf("  and %d more boxes that did not update: see summary.csv\n", more);
  }
  std::printf("logs, traces, summary.csv and summary.jsonl in %s\n", s.log_dir);
  std::fflush(stdout);
}
