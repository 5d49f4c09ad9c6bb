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

// A box's record as the columns take it: the box's slot and what was worked out once for both
// files.
// The columns' lambdas read every member; cppcheck does not follow them there.
struct BoxRecord {
  // cppcheck-suppress unusedStructMember
  const Station& station;
  const Slot& slot;
  // cppcheck-suppress unusedStructMember
  int index;
  char start[32];
  char end[32];
  char seconds[24];
  char stage[64];
  // cppcheck-suppress unusedStructMember
  const char* category;  // null when updated
};

// How a column's text is written. A word holds no comma, quote or line end (a time, a result
// name) and goes bare into the CSV; a text may hold anything and is quoted there. A number and a
// truth ("true", "false") go bare into both files. A column with no value for a box (its take
// gives null) is JSON's null and an empty CSV field.
enum ColumnKind { kNumber, kTruth, kWord, kText };
enum ColumnFiles { kBothFiles, kCsvOnly, kJsonOnly };

// A column's text for one box: a text the record holds, one made in scratch, or null.
using TakeColumn = const char* (*)(const BoxRecord& r, char* scratch, size_t size);

struct Column {
  const char* name;
  ColumnKind kind;
  ColumnFiles files;
  TakeColumn take;
};

const char* Number(char* scratch, size_t size, long long n) {
  std::snprintf(scratch, size, "%lld", n);
  return scratch;
}

// Seconds with their milliseconds, as "seconds" has them.
const char* Seconds(char* scratch, size_t size, int64_t ms) {
  std::snprintf(scratch, size, "%lld.%03d", static_cast<long long>(ms / 1000), static_cast<int>(ms % 1000));
  return scratch;
}

const char* TextOrNull(const char* text) { return text[0] != '\0' ? text : nullptr; }

// The file this box was sent is the one its trace names; a box whose trace never named one (its
// child never started, say) is given the station's.
bool TraceNamedFile(const BoxRecord& r) { return r.slot.progress.sdf_file[0] != '\0'; }

// Every column of summary.csv and summary.jsonl, in their order: adding a field is one row here.
// Each file keeps its columns' places: a field new to a file goes after all it had, which is why
// record_id and signal, in the JSON from the start, come into the CSV at its end.
// The two columns each file has at a place of its own.
const char* RecordId(const BoxRecord& r, char* scratch, size_t size) {
  std::snprintf(scratch, size, "%s%d-%d", r.station.record_prefix, r.index + 1, r.slot.seq);
  return scratch;
}
const char* SignalText(const BoxRecord& r, char*, size_t) {
  return r.slot.end.exit_code >= 0 ? nullptr : r.slot.end.text;
}

constexpr Column kColumns[] = {
    {"record_id", kText, kJsonOnly, RecordId},
    {"slot", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) { return Number(scratch, size, r.index + 1); }},
    {"port", kText, kBothFiles, [](const BoxRecord& r, char*, size_t) { return r.slot.port; }},
    {"seq", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) { return Number(scratch, size, r.slot.seq); }},
    {"start", kWord, kBothFiles, [](const BoxRecord& r, char*, size_t) -> const char* { return r.start; }},
    {"end", kWord, kBothFiles, [](const BoxRecord& r, char*, size_t) -> const char* { return r.end; }},
    {"seconds", kNumber, kBothFiles, [](const BoxRecord& r, char*, size_t) -> const char* { return r.seconds; }},
    {"result", kWord, kBothFiles, [](const BoxRecord& r, char*, size_t) { return ResultName(r.slot.result.result); }},
    {"stage", kText, kBothFiles, [](const BoxRecord& r, char*, size_t) -> const char* { return r.stage; }},
    {"failure", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* {
       return r.slot.result.result == kStageUpdated ? "" : r.slot.progress.failure;
     }},
    // The CSV names the end as a shell would ("0", "SIGINT", "not started"); the JSON has the
    // exit status and the signal apart.
    {"exit", kWord, kCsvOnly, [](const BoxRecord& r, char*, size_t) -> const char* { return r.slot.end.text; }},
    {"exit", kNumber, kJsonOnly,
     [](const BoxRecord& r, char* scratch, size_t size) -> const char* {
       return r.slot.end.exit_code >= 0 ? Number(scratch, size, r.slot.end.exit_code) : nullptr;
     }},
    {"signal", kText, kJsonOnly, SignalText},
    {"sdf_file", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* {
       return TraceNamedFile(r) ? r.slot.progress.sdf_file : r.station.sdf_name;
     }},
    {"data_crc32", kWord, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) -> const char* {
       if (!TraceNamedFile(r)) {
         std::snprintf(scratch, size, "%08X", static_cast<unsigned>(r.station.data_crc32));
         return scratch;
       }
       return TextOrNull(r.slot.progress.data_crc32);  // a file with no header has none
     }},
    {"log", kText, kBothFiles, [](const BoxRecord& r, char*, size_t) { return InFolder(r.station, r.slot.log_path); }},
    {"trace", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) { return InFolder(r.station, r.slot.trace_path); }},
    {"records", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* {
       return r.slot.record_lost[0] != '\0' ? r.slot.record_lost : "complete";
     }},
    // Schema 1's fields, after all that the files had before it.
    {"schema", kNumber, kBothFiles,
     [](const BoxRecord&, char* scratch, size_t size) { return Number(scratch, size, kRecordSchema); }},
    {"record_id", kText, kCsvOnly, RecordId},
    {"station", kText, kBothFiles, [](const BoxRecord& r, char*, size_t) -> const char* { return r.station.name; }},
    {"device", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return TextOrNull(r.slot.device); }},
    {"adapter_serial", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return TextOrNull(r.slot.adapter_serial); }},
    // Null for a stage that never began: no trace event, or no firmware stage's end.
    {"firmware_seconds", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) -> const char* {
       return r.slot.progress.first_us >= 0 ? Seconds(scratch, size, r.slot.progress.firmware_ms) : nullptr;
     }},
    {"software_seconds", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) -> const char* {
       return r.slot.progress.firmware_end_us >= 0 ? Seconds(scratch, size, r.slot.progress.software_ms) : nullptr;
     }},
    {"category", kWord, kBothFiles, [](const BoxRecord& r, char*, size_t) -> const char* { return r.category; }},
    {"signal", kText, kCsvOnly, SignalText},
    {"platform", kWord, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return TextOrNull(r.slot.progress.platform); }},
    {"repair_mode", kTruth, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return r.slot.progress.repair_mode ? "true" : "false"; }},
    {"sdf_bytes", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) -> const char* {
       return r.slot.progress.sdf_bytes >= 0 ? Number(scratch, size, r.slot.progress.sdf_bytes) : nullptr;
     }},
    {"sdf_id", kWord, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return TextOrNull(r.slot.progress.sdf_id); }},
    {"resends", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) { return Number(scratch, size, r.slot.progress.resends); }},
    {"stray_bytes", kNumber, kBothFiles,
     [](const BoxRecord& r, char* scratch, size_t size) { return Number(scratch, size, r.slot.progress.stray_bytes); }},
    {"boxload_version", kText, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return TextOrNull(r.slot.progress.boxload_version); }},
    {"image_sha256", kWord, kBothFiles,
     [](const BoxRecord& r, char*, size_t) -> const char* { return TextOrNull(r.slot.progress.image_sha256); }},
};

void CsvHeading(std::FILE* f) {
  const char* comma = "";
  for (const Column& c : kColumns) {
    if (c.files != kJsonOnly) {
      std::fprintf(f, "%s%s", comma, c.name);
      comma = ",";
    }
  }
  (void)std::fputc('\n', f);
}

void CsvRow(std::FILE* f, const BoxRecord& r) {
  static char scratch[sizeof(Station::record_prefix) + 32];  // a record_id at most
  const char* comma = "";
  for (const Column& c : kColumns) {
    if (c.files == kJsonOnly) {
      continue;
    }
    const char* text = c.take(r, scratch, sizeof scratch);
    std::fputs(comma, f);
    comma = ",";
    if (c.kind == kText) {
      CsvText(f, text != nullptr ? text : "");
    } else {
      std::fputs(text != nullptr ? text : "", f);
    }
  }
  (void)std::fputc('\n', f);
}

void JsonRow(std::FILE* f, const BoxRecord& r) {
  static char scratch[sizeof(Station::record_prefix) + 32];  // a record_id at most
  char open = '{';
  for (const Column& c : kColumns) {
    if (c.files == kCsvOnly) {
      continue;
    }
    const char* text = c.take(r, scratch, sizeof scratch);
    std::fprintf(f, "%c\"%s\":", open, c.name);
    open = ',';
    if (text == nullptr) {
      std::fputs("null", f);
    } else if (c.kind == kNumber || c.kind == kTruth) {
      std::fputs(text, f);
    } else {
      JsonText(f, text);
    }
  }
  std::fputs("}\n", f);
}

}  // namespace

int SummaryOpen(Station* s) {
  s->csv = Create(*s, "summary.csv");
  s->jsonl = s->csv != nullptr ? Create(*s, "summary.jsonl") : nullptr;
  if (s->csv == nullptr || s->jsonl == nullptr) {
    return 0;
  }
  CsvHeading(s->csv);
  char why[160] = {};
  if (!Written(s->csv, "summary.csv", why, sizeof why)) {
    std::fprintf(stderr, "boxstation: cannot write %s\n", why);
    return 0;
  }
  return 1;
}

int SummaryRow(Station* s, int index, char* why, size_t why_size) {
  const Slot& slot = s->slots[index];
  BoxRecord r{*s, slot, index, {}, {}, {}, {}, FailureCategory(slot.result.result, slot.result.crashed, slot.progress)};
  UtcTimeText(slot.start_utc_ms, r.start, sizeof r.start);
  UtcTimeText(slot.end_utc_ms, r.end, sizeof r.end);
  const uint32_t ms = slot.end_ms - slot.start_ms;
  std::snprintf(r.seconds, sizeof r.seconds, "%u.%03u", ms / 1000, ms % 1000);
  ReachedText(slot.progress, r.stage, sizeof r.stage);
  why[0] = '\0';
  CsvRow(s->csv, r);
  // Flushed at once: a station that dies later loses no box that has ended.
  const bool csv = Written(s->csv, "summary.csv", why, why_size);
  JsonRow(s->jsonl, r);
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
  // Each slot's yield and line quality: the resends per box that answered.
  for (int i = 0; i < s.slot_count; ++i) {
    const Slot& slot = s.slots[i];
    const int updated = slot.by_result[kStageUpdated];
    const int no_box = slot.by_result[kStageNoBox];
    const int answered = slot.done - no_box;
    char port[kPathSize];
    ShownText(slot.port, port, sizeof port);
    std::printf("  slot %d %s: %d updated, %d failed, %d no box", i + 1, port, updated, answered - updated, no_box);
    if (answered > 0) {
      std::printf(", %.1f resends per box", static_cast<double>(slot.resends) / answered);
    }
    std::printf("\n");
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
