// Following a child's trace: its console text, event by event, read into the box's stage.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/trace.h"
#include "common/trace_header.h"
#include "station/station.h"

namespace {

// A row's id is its place: the matcher hands the id on, and the actions are keyed by it.
constexpr bool RowsInOrder() {
  for (int i = 0; i < kFollowedLineCount; ++i) {
    if (kFollowedLines[i].id != i) {
      return false;
    }
  }
  return true;
}
static_assert(RowsInOrder(), "kFollowedLines: each row at the place of its id");

// The trace is read in chunks from here: one buffer for every slot, as slots are read in turn.
char g_chunk[8192];

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

void SetFailure(Progress* p, const char* line, bool summary) {
  // A summary ("BAD") names no cause: it never hides the line that did.
  if (summary && p->failure[0] != '\0' && !p->failure_is_summary) {
    return;
  }
  std::snprintf(p->failure, sizeof p->failure, "%s", line);
  p->failure_is_summary = summary;
}

// "SendFile: 7(Kb)" against "SendFile: %d(Kb)": the text before the conversion, digits, the
// text after it, and nothing else.
bool MatchesNumber(const char* s, const char* format, int* n) {
  const char* percent = std::strchr(format, '%');
  const size_t before = static_cast<size_t>(percent - format);
  if (std::strncmp(s, format, before) != 0) {
    return false;
  }
  const char* after = percent + std::strspn(percent + 1, "l") + 2;
  const char* digits = s + before;
  const char* end = digits + std::strspn(digits, "0123456789");
  if (end == digits || end - digits > 9 || std::strcmp(end, after) != 0) {
    return false;
  }
  *n = std::atoi(digits);
  return true;
}

// The first row of the contract that this console line matches; kFollowedLineCount for none.
int MatchLine(const char* s, int* n) {
  for (const FollowedLine& row : kFollowedLines) {
    const bool matched = (row.match == kWholeLine && std::strcmp(s, row.text) == 0) ||
                         (row.match == kLineStart && StartsWith(s, row.text)) ||
                         (row.match == kLineInside && std::strstr(s, row.text) != nullptr) ||
                         (row.match == kLineNumber && MatchesNumber(s, row.text, n));
    if (matched) {
      return row.id;
    }
  }
  return kFollowedLineCount;
}

void Advance(Progress* p, int stage, int kb) {
  p->stage = stage;
  p->kb = kb;
}

// "STB response: A5 4B 4D ... 1F" (each byte %X): the 12 bytes after A5, when all came.
void ReadPlatform(Progress* p, const char* s) {
  const char* at = s + std::strlen(kFollowedLines[kLinePlatform].text);
  char hex[sizeof p->platform] = {};
  int bytes = -1;  // A5 first
  for (;;) {
    at += std::strspn(at, " ");
    char* end = nullptr;
    const unsigned long byte = std::strtoul(at, &end, 16);
    if (end == at || end - at > 2) {
      break;
    }
    if (bytes >= 0 && bytes < 12) {
      std::snprintf(hex + static_cast<ptrdiff_t>(2) * bytes, 3, "%02lX", byte);
    }
    ++bytes;
    at = end;
  }
  if (bytes == 12 && *at == '\0') {
    std::memcpy(p->platform, hex, sizeof hex);
  }
}

void ConsoleLine(Progress* p, const char* s);

// A step word ("SendSDFFile... "), perhaps with its verdict or the ready wait on the same line.
void StepLine(Progress* p, int id, const char* s) {
  const size_t word = std::strlen(kFollowedLines[id].text);
  p->step = id;
  if (id == kLineBodyStep) {
    Advance(p, kStageSdf, 0);
  }
  if (s[word] != '\0') {
    ConsoleLine(p, s + word);
  }
}

// One line (or part of a line ended by "\r") of boxload's console text.
void ConsoleLine(Progress* p, const char* s) {
  int n = 0;
  if (s[0] == '\0') {
    return;
  }
  const int id = MatchLine(s, &n);
  if (id < kFollowedLineCount && kFollowedLines[id].category != kCategoryNone) {
    if (p->line_category == kCategoryNone) {
      p->line_category = kFollowedLines[id].category;  // the first names the cause, the rest follow from it
    }
    SetFailure(p, s, false);
    if (id == kLineNoBox) {
      Advance(p, kStageNoBox, 0);
    }
    return;
  }
  switch (id) {
    case kLinePrompt: {
      // The final prompt, also behind a box's text that had no line end of its own.
      p->at_prompt = true;
      const char* prompt = std::strstr(s, kFollowedLines[kLinePrompt].text);
      if (prompt != s) {
        char before[sizeof p->text];
        std::snprintf(before, sizeof before, "%.*s", static_cast<int>(prompt - s), s);
        ConsoleLine(p, before);
      }
      break;
    }
    case kLineProbe:
      Advance(p, kStageWaitingForBox, 0);
      break;
    case kLinePlatform:
    case kLineRepairMode:
      // The first answer is the box's own; the later one comes from the image it was sent.
      if (p->stage == kStageWaitingForBox) {
        Advance(p, kStageFirmware, 0);
        if (id == kLinePlatform) {
          ReadPlatform(p, s);
        } else {
          p->repair_mode = true;
        }
      }
      break;
    case kLineImageFrame:
      Advance(p, kStageFirmware, n);
      break;
    case kLineImageSent:
    case kLineFirmwareOk:
      Advance(p, kStageWaitingForLoader, 0);
      break;
    case kLineFirmwareDone:
      Advance(p, kStageWaitingForLoader, 0);
      p->firmware_end_us = p->last_us;
      break;
    case kLineBlock:
      // Each names the KB sent before its block; the one after the last block names the whole
      // KB only, so a body with a part KB at its end would stop one short.
      ++p->sends;
      Advance(p, kStageSdf, p->sends > p->sdf_kb ? p->sdf_kb : n);
      break;
    case kLineSoftwareOk:
      Advance(p, kStageUpdated, p->sdf_kb);
      break;
    case kLineLoaderReady:
      p->loader_ready = true;
      Advance(p, kStageSdf, 0);
      break;
    case kLineCheckStep:
    case kLineHeaderStep:
    case kLineBodyStep:
      StepLine(p, id, s);
      break;
    case kLineWaitReady:
      Advance(p, kStageWaitingForLoader, 0);
      break;
    case kLineStepOk:
      p->body_sent = p->body_sent || p->step == kLineBodyStep;
      break;
    case kLineStepBad: {
      char line[sizeof p->failure];
      // The step word, as boxload prints it, and the verdict: both always fit a failure line.
      std::snprintf(line, sizeof line, "%s%s", p->step != kNoStep ? kFollowedLines[p->step].text : "", s);
      SetFailure(p, line, true);
      break;
    }
    case kLineFirmwareError:
      SetFailure(p, s, true);
      break;
    case kLineStrayByte:
      ++p->stray_bytes;
      SetFailure(p, s, false);  // the cause when no verdict follows it
      break;
    case kFollowedLineCount:
      // boxload's own failure line ("SendBytes: bad response...", the abort's line), or the
      // box's text, which matters only when no failure line follows it.
      SetFailure(p, s, false);
      break;
    default:
      break;  // the run going its way: nothing to show
  }
}

void ConsoleChar(Progress* p, char c) {
  if (c == '\n' || c == '\r') {
    p->text[p->text_length] = '\0';
    ConsoleLine(p, p->text);
    p->text_length = 0;
    return;
  }
  if (p->text_length < static_cast<int>(sizeof p->text) - 1) {
    p->text[p->text_length++] = c;
  }
}

// The trace's header: the program and the file this box was sent, which in a loop may be
// another than the station checked.
void HeaderLine(Progress* p, const char* line, int length) {
  char text[sizeof p->line + 1];
  std::snprintf(text, sizeof text, "%.*s", length, line);
  static TraceHeader header;  // large: not on the stack
  if (ReadTraceHeader(text, &header) == 0) {
    return;
  }
  std::snprintf(p->boxload_version, sizeof p->boxload_version, "%s", header.version);
  std::snprintf(p->image_sha256, sizeof p->image_sha256, "%s", header.image_sha256);
  std::snprintf(p->sdf_file, sizeof p->sdf_file, "%s", header.sdf_file);
  p->sdf_bytes = header.sdf_bytes;
  std::snprintf(p->data_crc32, sizeof p->data_crc32, "%s", header.data_crc32);
  std::snprintf(p->sdf_id, sizeof p->sdf_id, "%s", header.sdf_id);
}

bool Payload(const char* line, int length, const char* kind, const char** payload) {
  const char* space = static_cast<const char*>(std::memchr(line, ' ', static_cast<size_t>(length)));
  const size_t n = std::strlen(kind);
  if (space == nullptr || static_cast<size_t>(line + length - space) < n + 1 || std::strncmp(space + 1, kind, n) != 0) {
    return false;
  }
  *payload = space + 1 + n;
  return true;
}

// "<seconds>.<fraction>" at the line's start, in microseconds; -1 when there is none.
int64_t EventTime(const char* line, int length) {
  int64_t seconds = 0;
  int i = 0;
  for (; i < length && line[i] >= '0' && line[i] <= '9' && i < 12; ++i) {
    seconds = seconds * 10 + (line[i] - '0');
  }
  if (i == 0) {
    return -1;
  }
  int64_t micros = 0;
  int64_t scale = 100000;
  if (i < length && line[i] == '.') {
    for (++i; i < length && line[i] >= '0' && line[i] <= '9'; ++i, scale /= 10) {
      micros += (line[i] - '0') * scale;
    }
  }
  return seconds * 1000000 + micros;
}

void NoteLine(Progress* p, const char* payload, size_t rest) {
  for (const FollowedLine& row : kFollowedLines) {
    const size_t n = std::strlen(row.text);
    if (row.match != kTraceNote || rest < n || std::strncmp(payload, row.text, n) != 0) {
      continue;
    }
    if (row.category != kCategoryNone && p->line_category == kCategoryNone) {
      p->line_category = row.category;
    }
    switch (row.id) {
      case kNoteExit:
        p->finished = true;
        break;
      case kNoteCut:
        p->out_cut = true;
        break;
      case kNoteResend:
        ++p->resends;
        break;
      case kNoteOutOfStep:
        p->out_of_step = true;
        break;
      case kNoteWrongPlatform:
        p->wrong_platform = true;
        break;
      default:
        break;
    }
    return;
  }
}

// "<seconds>.<micros> OUT <escaped text>": the text goes to the console line. The notes tell
// what the console does not: the trace's end, a block sent again, a refused platform. Other
// events tell the station nothing it does not learn from the child's end.
void TraceLine(Progress* p, const char* line, int length) {
  const char* payload = nullptr;
  if (line[0] == '#') {
    HeaderLine(p, line, length);
    return;
  }
  const bool running = !p->at_prompt;
  const int64_t now = EventTime(line, length);
  if (now >= 0) {
    p->first_us = p->first_us < 0 ? now : p->first_us;
    p->last_us = now;
  }
  if (Payload(line, length, "NOTE ", &payload)) {
    NoteLine(p, payload, static_cast<size_t>(line + length - payload));
  } else if (Payload(line, length, "OUT ", &payload)) {
    // The text is never longer than its escaped form.
    char text[sizeof(Progress::line)];
    const size_t n = TraceUnescape(payload, static_cast<size_t>(line + length - payload), text, sizeof text);
    p->out_bytes += static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
      p->out_lines += text[i] == '\n' ? 1 : 0;
      ConsoleChar(p, text[i]);
    }
  }
  // The stages' clocks stop at the prompt: the wait for a key is no part of them.
  if (running && now >= 0) {
    const int64_t firmware_end = p->firmware_end_us >= 0 ? p->firmware_end_us : now;
    p->firmware_ms = (firmware_end - p->first_us) / 1000;
    p->software_ms = p->firmware_end_us >= 0 ? (now - p->firmware_end_us) / 1000 : 0;
  }
}

}  // namespace

void FollowBegin(Progress* progress, const char* trace_path, int sdf_kb) {
  *progress = Progress{};
  progress->sdf_kb = sdf_kb;
  std::snprintf(progress->path, sizeof progress->path, "%s", trace_path);
}

int FollowTrace(Progress* p) {
  if (p->file == nullptr) {
    // The child makes its trace as it starts.
    p->file = std::fopen(p->path, "rb");
    if (p->file == nullptr) {
      return 0;
    }
    // Read straight into the station's chunk: no buffer of the C library's per slot.
    std::setvbuf(p->file, nullptr, _IONBF, 0);
  }
  const int stage = p->stage;
  const int kb = p->kb;
  for (;;) {
    // Back to where the last read ended: that clears the end-of-file mark everywhere (the
    // Windows runtime keeps one of its own below the stream's), so the next read sees more.
    if (std::fseek(p->file, p->offset, SEEK_SET) != 0) {
      break;
    }
    const size_t n = std::fread(g_chunk, 1, sizeof g_chunk, p->file);
    p->offset += static_cast<long>(n);
    for (size_t i = 0; i < n; ++i) {
      const char c = g_chunk[i];
      if (c == '\n') {
        TraceLine(p, p->line, p->line_length);
        p->line_length = 0;
      } else if (p->line_length < static_cast<int>(sizeof p->line)) {
        // Longer lines are cut: only byte lines are ever that long, and they need not be read.
        p->line[p->line_length++] = c;
      }
    }
    if (n < sizeof g_chunk) {
      break;
    }
  }
  return p->stage != stage || p->kb != kb ? 1 : 0;
}

void FollowEnd(Progress* progress) {
  (void)FollowTrace(progress);
  // A last line with no end ("Can't open file f.sdf") still names its cause. Only its category
  // is taken: the failure stays what it was, boxload's stderr says more of a file.
  if (progress->text_length > 0 && progress->line_category == kCategoryNone) {
    progress->text[progress->text_length] = '\0';
    int n = 0;
    const int id = MatchLine(progress->text, &n);
    progress->line_category = id < kFollowedLineCount ? kFollowedLines[id].category : kCategoryNone;
  }
  if (progress->file != nullptr) {
    (void)std::fclose(progress->file);
    progress->file = nullptr;
  }
}
