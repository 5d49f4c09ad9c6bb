// A run's records on disk: written whole, forced to disk, read back by any process.
#include "records/spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/files.h"

namespace {

char g_csv_line[kRecordLineSize * 2];  // a CSV text may grow by its escapes
char g_json_line[kRecordLineSize];
char g_read_line[kRecordLineSize];

void Why(char* why, size_t size, const char* name, int reason) {
  if (why[0] == '\0') {
    std::snprintf(why, size, "%s: %s", name, std::strerror(reason != 0 ? reason : EIO));
  }
}

std::FILE* Create(const char* folder, const char* name, char* why, size_t why_size) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/%s", folder, name);
  std::FILE* f = FileOpenNew(path);
  if (f == nullptr) {
    std::snprintf(why, why_size, "cannot create %s: %s", path, std::strerror(errno));
  }
  return f;
}

// A line written and forced to disk, or the reason it was not in why.
bool WriteLine(std::FILE* f, const char* name, const char* line, size_t n, char* why, size_t why_size) {
  errno = 0;
  if (n == 0) {
    Why(why, why_size, name, EFBIG);  // a row too long for its line: never written cut
    return false;
  }
  if (std::fwrite(line, 1, n, f) != n || FileSyncStream(f) == 0) {
    Why(why, why_size, name, errno);
    return false;
  }
  return true;
}

// The record_id of one of our lines, as its JSON text: every line starts {"record_id":"...".
std::string IdOf(const char* line) {
  static constexpr char kHead[] = "{\"record_id\":\"";
  if (std::strncmp(line, kHead, sizeof kHead - 1) != 0) {
    return {};
  }
  const char* from = line + sizeof kHead - 1;
  const char* c = from;
  while (*c != '\0' && *c != '"') {
    c += c[0] == '\\' && c[1] != '\0' ? 2 : 1;
  }
  return *c == '"' ? std::string(from, c) : std::string();
}

}  // namespace

int SpoolOpen(Spool* spool, const char* folder, char* why, size_t why_size) {
  why[0] = '\0';
  char path[4096];
  std::snprintf(path, sizeof path, "%s/station.lock", folder);
  spool->lock = FileLockNew(path);
  if (spool->lock == kNoFile) {
    std::snprintf(why, why_size, "cannot create %s: %s", path, std::strerror(errno));
    return 0;
  }
  spool->csv = Create(folder, "summary.csv", why, why_size);
  spool->jsonl = spool->csv != nullptr ? Create(folder, "summary.jsonl", why, why_size) : nullptr;
  spool->starts = spool->jsonl != nullptr ? Create(folder, "starts.jsonl", why, why_size) : nullptr;
  if (spool->starts == nullptr) {
    return 0;
  }
  const size_t n = FormatCsvHeading(g_csv_line, sizeof g_csv_line);
  return WriteLine(spool->csv, "summary.csv", g_csv_line, n, why, why_size) ? 1 : 0;
}

int SpoolStart(Spool* spool, const Record& start, char* why, size_t why_size) {
  why[0] = '\0';
  const size_t n = FormatJsonLine(start, g_json_line, sizeof g_json_line);
  return WriteLine(spool->starts, "starts.jsonl", g_json_line, n, why, why_size) ? 1 : 0;
}

int SpoolAppend(Spool* spool, const Record& record, char* why, size_t why_size) {
  why[0] = '\0';
  const size_t csv_n = FormatCsvLine(record, g_csv_line, sizeof g_csv_line);
  const size_t json_n = FormatJsonLine(record, g_json_line, sizeof g_json_line);
  const bool csv = WriteLine(spool->csv, "summary.csv", g_csv_line, csv_n, why, why_size);
  const bool jsonl = WriteLine(spool->jsonl, "summary.jsonl", g_json_line, json_n, why, why_size);
  if (jsonl) {
    // Only now may the database see it: the row is on disk first.
    spool->synced.store(std::ftell(spool->jsonl), std::memory_order_release);
  }
  return csv && jsonl ? 1 : 0;
}

int64_t SpoolSynced(const Spool& spool) { return spool.synced.load(std::memory_order_acquire); }

void SpoolClose(Spool* spool) {
  for (std::FILE** f : {&spool->csv, &spool->jsonl, &spool->starts}) {
    if (*f != nullptr) {
      (void)std::fclose(*f);
      *f = nullptr;
    }
  }
  FileUnlock(spool->lock);
  spool->lock = kNoFile;
}

int SpoolReadOpen(SpoolReader* reader, const char* path) {
  *reader = SpoolReader{};
  reader->file = std::fopen(path, "rb");
  return reader->file != nullptr ? 1 : 0;
}

SpoolLine SpoolNextLine(SpoolReader* reader, int64_t limit, char* line, size_t size) {
  std::FILE* f = reader->file;
  std::clearerr(f);
  if (std::fseek(f, static_cast<long>(reader->offset), SEEK_SET) != 0) {
    return kNoLine;
  }
  size_t n = 0;
  int64_t at = reader->offset;
  bool ended = false;
  bool too_long = false;
  for (int c = 0; (limit < 0 || at < limit) && (c = std::fgetc(f)) != EOF;) {
    ++at;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (n + 1 < size) {
      line[n++] = static_cast<char>(c);
    } else {
      too_long = true;
    }
  }
  if (!ended) {
    return kNoLine;  // a line still being written, or past the limit: later
  }
  reader->offset = at;
  ++reader->line_number;
  if (n > 0 && line[n - 1] == '\r') {
    --n;
  }
  line[too_long ? 0 : n] = '\0';
  return too_long ? kLineTooLong : kLine;
}

void SpoolReadClose(SpoolReader* reader) {
  if (reader->file != nullptr) {
    (void)std::fclose(reader->file);
  }
  *reader = SpoolReader{};
}

int FolderStationRunning(const char* folder) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/station.lock", folder);
  return FileLocked(path);
}

int InterruptedRows(const char* folder, EachRow each, void* context) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/summary.jsonl", folder);
  std::vector<std::string> ended;
  SpoolReader r;
  if (SpoolReadOpen(&r, path) != 0) {
    for (SpoolLine l; (l = SpoolNextLine(&r, -1, g_read_line, sizeof g_read_line)) != kNoLine;) {
      if (l == kLine) {
        ended.push_back(IdOf(g_read_line));
      }
    }
    SpoolReadClose(&r);
  }
  std::sort(ended.begin(), ended.end());
  std::snprintf(path, sizeof path, "%s/starts.jsonl", folder);
  int count = 0;
  if (SpoolReadOpen(&r, path) == 0) {
    return 0;  // a folder of an earlier version: it kept no starts
  }
  for (SpoolLine l; (l = SpoolNextLine(&r, -1, g_read_line, sizeof g_read_line)) != kNoLine;) {
    const std::string id = l == kLine ? IdOf(g_read_line) : std::string();
    if (!id.empty() && !std::binary_search(ended.begin(), ended.end(), id)) {
      each(g_read_line, context);
      ++count;
    }
  }
  SpoolReadClose(&r);
  return count;
}
