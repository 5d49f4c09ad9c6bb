// Following a child's trace: its console text, event by event, read into the box's stage.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/trace.h"
#include "station/station.h"

namespace {

// The trace is read in chunks from here: one buffer for every slot, as slots are read in turn.
char g_chunk[8192];

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool EndsWith(const char* text, const char* suffix) {
  const size_t n = std::strlen(text);
  const size_t m = std::strlen(suffix);
  return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

void SetFailure(Progress* p, const char* line, bool summary) {
  // A summary ("BAD") names no cause: it never hides the line that did.
  if (summary && p->failure[0] != '\0' && !p->failure_is_summary) {
    return;
  }
  std::snprintf(p->failure, sizeof p->failure, "%s", line);
  p->failure_is_summary = summary;
}

// Lines of a run going well that move no counter: the reset's answer, the image's start, the
// SDF header's verdict, a step's OK after lines of its own.
bool IsPlainProgress(const char* s) {
  return StartsWith(s, "SendResetCommand: STB response") || std::strcmp(s, "SendFileHeader...") == 0 ||
         std::strcmp(s, "SendFile...") == 0 || std::strcmp(s, "wait STB response:") == 0 || std::strcmp(s, "OK") == 0;
}

void Advance(Progress* p, int stage, int kb) {
  p->stage = stage;
  p->kb = kb;
}

// One line (or part of a line ended by "\r") of boxload's console text.
void ConsoleLine(Progress* p, const char* s) {
  int n = 0;
  // The final prompt, also behind a box's text that had no line end of its own.
  if (const char* prompt = std::strstr(s, "press any key"); prompt != nullptr) {
    p->at_prompt = true;
    if (prompt != s) {
      char before[sizeof p->text];
      std::snprintf(before, sizeof before, "%.*s", static_cast<int>(prompt - s), s);
      ConsoleLine(p, before);
    }
    return;
  }
  if (s[0] == '\0' || StartsWith(s, "KMV-7720P FW update utility")) {
    return;
  }
  if (StartsWith(s, "Send 'GetPlatformID'")) {
    Advance(p, kStageWaitingForBox, 0);
  } else if (StartsWith(s, "STB response: ") || std::strcmp(s, "STB: REPAIR_MODE") == 0) {
    if (p->stage == kStageWaitingForBox) {
      Advance(p, kStageFirmware, 0);  // a box answered
    }
  } else if (std::sscanf(s, "SendFile: %d(Kb)", &n) == 1) {
    Advance(p, kStageFirmware, n);
  } else if (IsPlainProgress(s)) {
    // the stages going their way: nothing to show
  } else if (std::strcmp(s, "Waiting STB response") == 0 || std::strcmp(s, "do_upload_firmware()") == 0 ||
             StartsWith(s, "Firmware update status: OK")) {
    Advance(p, kStageWaitingForLoader, 0);
  } else if (std::sscanf(s, "Send %dKb", &n) == 1 && EndsWith(s, "Kb")) {
    // Each names the KB sent before its block; the one after the last block names the whole
    // KB only, so a body with a part KB at its end would stop one short.
    ++p->sends;
    Advance(p, kStageSdf, p->sends > p->sdf_kb ? p->sdf_kb : n);
  } else if (StartsWith(s, "SW update status: OK")) {
    Advance(p, kStageUpdated, p->sdf_kb);
  } else if (std::strcmp(s, "STB not responding...") == 0) {
    Advance(p, kStageNoBox, 0);
    SetFailure(p, s, false);
  } else if (std::strcmp(s, "Remote BootLoader is ready") == 0) {
    Advance(p, kStageSdf, 0);
  } else if (EndsWith(s, "... ") || EndsWith(s, "... OK") || EndsWith(s, "Wait For STB ready")) {
    // A step word ("SendSDFFile... "), perhaps with its OK or the ready wait on the same line.
    const char* dots = std::strstr(s, "... ");
    std::snprintf(p->step, sizeof p->step, "%.*s", dots != nullptr ? static_cast<int>(dots - s + 3) : 0, s);
    if (EndsWith(s, "Wait For STB ready")) {
      Advance(p, kStageWaitingForLoader, 0);
    } else if (StartsWith(s, "SendSDFFile...")) {
      Advance(p, kStageSdf, 0);
    }
  } else if (std::strcmp(s, "BAD") == 0 || EndsWith(s, "... BAD")) {
    char line[sizeof p->failure];
    // The step word (under 40) and the line cut so that both always fit the 160 of a failure.
    std::snprintf(line, sizeof line, "%.39s%s%.119s", std::strcmp(s, "BAD") == 0 ? p->step : "",
                  std::strcmp(s, "BAD") == 0 && p->step[0] != '\0' ? " " : "", s);
    SetFailure(p, line, true);
  } else if (std::strcmp(s, "FW update error...") == 0) {
    SetFailure(p, s, true);
  } else {
    // Anything else is a failure line ("SendBytes: read error...", the abort's line), or the
    // box's own text, which matters only when no failure line follows it.
    SetFailure(p, s, false);
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

// "# version ...; file NAME N bytes, data_crc32 XXXXXXXX; started ...": the file this box
// was sent, which in a loop may be another than the station checked. The last mention wins:
// the name before it may hold anything.
void HeaderLine(Progress* p, const char* line, int length) {
  static const char kKey[] = ", data_crc32 ";
  const int key = static_cast<int>(sizeof kKey) - 1;
  for (int i = length - key - 8; i >= 0; --i) {
    if (std::memcmp(line + i, kKey, static_cast<size_t>(key)) == 0) {
      std::memcpy(p->data_crc32, line + i + key, 8);
      p->data_crc32[8] = '\0';
      return;
    }
  }
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

// "<seconds>.<micros> OUT <escaped text>": the text goes to the console line. A NOTE tells
// whether the trace is whole; other events tell the station nothing it does not learn from
// the child's end.
void TraceLine(Progress* p, const char* line, int length) {
  const char* payload = nullptr;
  if (line[0] == '#') {
    HeaderLine(p, line, length);
  } else if (Payload(line, length, "NOTE ", &payload)) {
    const auto rest = static_cast<size_t>(line + length - payload);
    p->finished = p->finished || (rest >= 12 && std::strncmp(payload, "exit status ", 12) == 0);
    p->out_cut = p->out_cut || (rest >= 22 && std::strncmp(payload, "console text above cut", 22) == 0);
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
  if (progress->file != nullptr) {
    (void)std::fclose(progress->file);
    progress->file = nullptr;
  }
}

void StageText(int stage, int kb, const Progress& progress, char* text, size_t size) {
  switch (stage) {
    case kStageStarting:
      std::snprintf(text, size, "starting");
      break;
    case kStageWaitingForBox:
      std::snprintf(text, size, "waiting for a box");
      break;
    case kStageFirmware:
      std::snprintf(text, size, "firmware %d of %d KB", kb, kFirmwareKb);
      break;
    case kStageWaitingForLoader:
      std::snprintf(text, size, "waiting for the bootloader");
      break;
    case kStageSdf:
      std::snprintf(text, size, "SDF %d of %d KB", kb, progress.sdf_kb);
      break;
    case kStageFailed:
      std::snprintf(text, size, "FAILED: %s", progress.failure[0] != '\0' ? progress.failure : "no reason given");
      break;
    default:
      std::snprintf(text, size, "%s", ResultName(stage));
      break;
  }
}
