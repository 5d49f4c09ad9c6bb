// The station's results: summary.csv and summary.jsonl, a row per box as it ends, and the
// closing summary on standard output.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "sdf/sdf_file.h"
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

// The length of the well-formed UTF-8 sequence at text (no overlong form, no surrogate, nothing
// past U+10FFFF), or 0 when the byte there starts none.
int Utf8Length(const unsigned char* text) {
  const unsigned char b = text[0];
  int n = 0;
  uint32_t min = 0;
  uint32_t cp = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80, cp = b & 0x1FU;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800, cp = b & 0x0FU;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000, cp = b & 0x07U;
  } else {
    return 0;
  }
  for (int i = 1; i < n; ++i) {
    if ((text[i] & 0xC0U) != 0x80U) {
      return 0;  // the end of the text included
    }
    cp = (cp << 6) | (text[i] & 0x3FU);
  }
  return cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) ? n : 0;
}

// A JSON string that is always valid UTF-8: control bytes as \u escapes, a byte that starts no
// well-formed sequence as U+FFFD (a box's text, a port's name, may hold anything).
void JsonText(std::FILE* f, const char* text) {
  (void)std::fputc('"', f);
  const auto* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != '\0') {
    const unsigned char u = *c;
    if (u == '"' || u == '\\') {
      std::fprintf(f, "\\%c", u);
      ++c;
    } else if (u < 0x20 || u == 0x7F) {
      std::fprintf(f, "\\u%04X", u);
      ++c;
    } else if (u < 0x80) {
      (void)std::fputc(u, f);
      ++c;
    } else if (const int n = Utf8Length(c); n > 0) {
      (void)std::fwrite(c, 1, static_cast<size_t>(n), f);
      c += n;
    } else {
      std::fputs("\\uFFFD", f);
      ++c;
    }
  }
  (void)std::fputc('"', f);
}

// The file name within the run's folder: the rows stay true when the folder moves.
const char* InFolder(const Station& s, const char* path) {
  const size_t n = std::strlen(s.log_dir);
  return std::strncmp(path, s.log_dir, n) == 0 && (path[n] == '/' || path[n] == '\\') ? path + n + 1 : path;
}

// One row's fields, as both files write them.
struct RowFields {
  char start[32];
  char end[32];
  char seconds[24];
  char stage[64];
  char crc[12];
  const char* result;
  const char* failure;
  const char* log;
  const char* trace;
  const char* records;
};

// A summary file is new: a name that exists (an earlier run's, the SDF file's) is never written.
std::FILE* Create(const Station& s, const char* name) {
  char path[kPathSize + 16];
  std::snprintf(path, sizeof path, "%s/%s", s.log_dir, name);
  std::FILE* f = FileOpenNew(path);
  if (f == nullptr) {
    char shown[sizeof path * 4];
    ShownText(path, shown, sizeof shown);
    std::fprintf(stderr, "boxstation: cannot create %s: %s\n", shown, std::strerror(errno));
  }
  return f;
}

// A written row reached the file, or the reason it did not goes into why.
bool Written(std::FILE* f, const char* name, char* why, size_t why_size) {
  if (std::fflush(f) == 0 && std::ferror(f) == 0) {
    return true;
  }
  const int reason = errno != 0 ? errno : EIO;
  if (why[0] == '\0') {
    std::snprintf(why, why_size, "%s: %s", name, std::strerror(reason));
  }
  return false;
}

void CsvRow(const Station& s, int index, const RowFields& r) {
  const Slot& slot = s.slots[index];
  std::FILE* f = s.csv;
  std::fprintf(f, "%d,", index + 1);
  CsvText(f, slot.port);
  std::fprintf(f, ",%d,%s,%s,%s,%s,", slot.seq, r.start, r.end, r.seconds, r.result);
  CsvText(f, r.stage);
  (void)std::fputc(',', f);
  CsvText(f, r.failure);
  std::fprintf(f, ",%s,", slot.end.text);
  CsvText(f, s.sdf_name);
  std::fprintf(f, ",%s,", r.crc);
  CsvText(f, r.log);
  (void)std::fputc(',', f);
  CsvText(f, r.trace);
  (void)std::fputc(',', f);
  CsvText(f, r.records);
  (void)std::fputc('\n', f);
}

void JsonRow(const Station& s, int index, const RowFields& r) {
  const Slot& slot = s.slots[index];
  std::FILE* f = s.jsonl;
  // Stand-in record_id until the schema-1 row names the station: the folder, the slot, the box.
  char record_id[kPathSize + 32];
  std::snprintf(record_id, sizeof record_id, "%s/slot%d-%d", s.log_dir, index + 1, slot.seq);
  std::fprintf(f, "{\"record_id\":");
  JsonText(f, record_id);
  std::fprintf(f, ",\"slot\":%d,\"port\":", index + 1);
  JsonText(f, slot.port);
  std::fprintf(f, ",\"seq\":%d,\"start\":\"%s\",\"end\":\"%s\",\"seconds\":%s,\"result\":\"%s\",\"stage\":", slot.seq,
               r.start, r.end, r.seconds, r.result);
  JsonText(f, r.stage);
  std::fprintf(f, ",\"failure\":");
  JsonText(f, r.failure);
  if (slot.end.exit_code >= 0) {
    std::fprintf(f, ",\"exit\":%d,\"signal\":null", slot.end.exit_code);
  } else {
    std::fprintf(f, ",\"exit\":null,\"signal\":");
    JsonText(f, slot.end.text);
  }
  std::fprintf(f, ",\"sdf_file\":");
  JsonText(f, s.sdf_name);
  if (r.crc[0] != '\0') {
    std::fprintf(f, ",\"data_crc32\":\"%s\",\"log\":", r.crc);
  } else {
    std::fprintf(f, ",\"data_crc32\":null,\"log\":");
  }
  JsonText(f, r.log);
  std::fprintf(f, ",\"trace\":");
  JsonText(f, r.trace);
  std::fprintf(f, ",\"records\":");
  JsonText(f, r.records);
  std::fprintf(f, "}\n");
}

}  // namespace

int SummaryOpen(Station* s) {
  s->csv = Create(*s, "summary.csv");
  s->jsonl = s->csv != nullptr ? Create(*s, "summary.jsonl") : nullptr;
  if (s->csv == nullptr || s->jsonl == nullptr) {
    return 0;
  }
  std::fprintf(s->csv,
               "slot,port,seq,start,end,seconds,result,stage,failure,exit,sdf_file,data_crc32,log,trace,records\n");
  char why[160] = {};
  if (!Written(s->csv, "summary.csv", why, sizeof why)) {
    std::fprintf(stderr, "boxstation: cannot write %s\n", why);
    return 0;
  }
  return 1;
}

int SummaryRow(Station* s, int index, char* why, size_t why_size) {
  const Slot& slot = s->slots[index];
  RowFields r{};
  UtcTimeText(slot.start_utc, r.start, sizeof r.start);
  UtcTimeText(slot.end_utc, r.end, sizeof r.end);
  const uint32_t ms = slot.end_ms - slot.start_ms;
  std::snprintf(r.seconds, sizeof r.seconds, "%u.%03u", ms / 1000, ms % 1000);
  StageText(slot.reached_stage, slot.reached_kb, slot.progress, r.stage, sizeof r.stage);
  // The file this box was sent, as its trace names it; a box that never started was sent none.
  std::snprintf(r.crc, sizeof r.crc, "%s", slot.progress.data_crc32);
  r.result = ResultName(slot.progress.stage);
  r.failure = slot.progress.stage == kStageUpdated ? "" : slot.progress.failure;
  r.log = InFolder(*s, slot.log_path);
  r.trace = InFolder(*s, slot.trace_path);
  r.records = slot.record_lost[0] != '\0' ? slot.record_lost : "complete";
  why[0] = '\0';
  CsvRow(*s, index, r);
  // Flushed at once: a station that dies later loses no box that has ended.
  const bool csv = Written(s->csv, "summary.csv", why, why_size);
  JsonRow(*s, index, r);
  const bool jsonl = Written(s->jsonl, "summary.jsonl", why, why_size);
  return csv && jsonl ? 1 : 0;
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
