// A slot's box from its start to its end: the child's files, the child, and what its end means.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "files/files.h"
#include "sdf/sdf.h"
#include "station/station_run.h"

// A line on standard error while the boxes run: the table steps aside, so that the line stays
// on the screen above it.
void Say(Station* s, const char* format, ...) {
  ViewStepAside(s);
  va_list args;
  va_start(args, format);
  std::fputs("boxstation: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

namespace {

// A record of this box that could not be written: said at once, kept for its row and its
// line; the station then starts no new box and ends with status 1.
void RecordLost(Station* s, int index, const char* what) {
  Slot& slot = s->slots[index];
  char shown[sizeof slot.record_lost * 4];
  ShownText(what, shown, sizeof shown);
  Say(s, "slot %d, box %d: not recorded in full: %s", index + 1, slot.seq, shown);
  if (slot.record_lost[0] == '\0') {
    ++s->records_lost;
    CopyText(slot.record_lost, sizeof slot.record_lost, what);
  }
}

// The body's size in KB as the file holds it now: in a loop it may have been replaced.
int BodyKb(const char* name, int known) {
  const int fd = FileOpenRead(name);
  if (fd == kNoFile) {
    return known;
  }
  SdfHeader header{};
  const int kb = ReadFileExactly(fd, header.bytes, kSdfHeaderSize) != 0 ? static_cast<int>(BodyBlocks(header)) : known;
  FileClose(fd);
  return kb;
}

// What the child's standard error tells of this box.
struct ErrorLines {
  char last[160];       // the last line that says something of the box
  char refused[160];    // the box refused the update at its last verdict
  char trace_cut[160];  // boxload could not write its trace in full
};

void ReadErrorLines(const char* path, ErrorLines* lines) {
  *lines = ErrorLines{};
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    return;
  }
  char text[512];
  while (std::fgets(text, sizeof text, f) != nullptr) {
    text[std::strcspn(text, "\r\n")] = '\0';
    if (std::strstr(text, kFollowedLines[kErrorRefusedLast].text) != nullptr) {
      CopyText(lines->refused, sizeof lines->refused, text);
    } else if (std::strstr(text, kFollowedLines[kErrorTraceCut].text) != nullptr) {
      CopyText(lines->trace_cut, sizeof lines->trace_cut, text);
      continue;  // a record's trouble, not the box's
    }
    if (text[0] != '\0' && std::strstr(text, kFollowedLines[kErrorStandIn].text) == nullptr) {
      CopyText(lines->last, sizeof lines->last, text);
    }
  }
  (void)std::fclose(f);
}

// The failure field of a box that did not update. The refusal at the last verdict says more
// than any text the box sent before it, which is kept after it.
void ChooseFailure(const Slot& slot, const ErrorLines& lines, Progress* p) {
  char line[sizeof p->failure];
  if (lines.refused[0] != '\0') {
    if (p->failure[0] != '\0' && !p->failure_is_summary) {
      std::snprintf(line, sizeof line, "%.72s (the box said: %.70s)", lines.refused, p->failure);
    } else {
      CopyText(line, sizeof line, lines.refused);
    }
    CopyText(p->failure, sizeof p->failure, line);
  } else if (p->failure[0] == '\0' || p->failure_is_summary) {
    if (lines.last[0] != '\0') {
      CopyText(p->failure, sizeof p->failure, lines.last);
    } else if (p->failure[0] == '\0') {
      std::snprintf(line, sizeof line, "boxload ended with %s", slot.end.text);
      CopyText(p->failure, sizeof p->failure, line);
    }
  }
}

// What of a box's trace and log did not reach the disk: a full disk or a size limit cuts both
// without a word from boxload's console. "" when both are whole. Only a child that ended its
// own way has written its trace to the end.
void MissingRecord(const Slot& slot, const ErrorLines& lines, char* what, size_t size) {
  what[0] = '\0';
  const Progress& p = slot.progress;
  if (slot.end.exit_code < 0 || slot.abort_stage != 0) {
    return;
  }
  if (lines.trace_cut[0] != '\0' || !p.finished) {
    std::snprintf(what, size, "%s: the trace was cut short%s%.100s", slot.trace_path,
                  lines.trace_cut[0] != '\0' ? ": " : "", lines.trace_cut);
    return;
  }
  const int fd = FileOpenRead(slot.log_path);
  const int64_t length = fd != kNoFile ? FileLength(fd) : -1;
  if (fd != kNoFile) {
    FileClose(fd);
  }
  const int64_t expected = p.out_bytes + p.out_lines * (LogLineEndBytes() - 1);
  if (!p.out_cut && length != expected) {
    std::snprintf(what, size, "%s: holds %lld of the %lld bytes of console text", slot.log_path,
                  static_cast<long long>(length), static_cast<long long>(expected));
  }
}

// An empty .err says nothing: it goes.
void DropEmptyFile(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    return;
  }
  const bool empty = std::fgetc(f) == EOF;
  (void)std::fclose(f);
  if (empty) {
    (void)std::remove(path);
  }
}

}  // namespace

void StartBox(Station* s, int index) {
  Slot& slot = s->slots[index];
  ++slot.seq;
  ++s->started;
  std::snprintf(slot.log_path, sizeof slot.log_path, "%s/slot%d-%d.log", s->log_dir, index + 1, slot.seq);
  std::snprintf(slot.trace_path, sizeof slot.trace_path, "%s/slot%d-%d.trace", s->log_dir, index + 1, slot.seq);
  std::snprintf(slot.err_path, sizeof slot.err_path, "%s/slot%d-%d.err", s->log_dir, index + 1, slot.seq);
  FollowBegin(&slot.progress, slot.trace_path, BodyKb(s->sdf_name, s->sdf_kb));
  slot.abort_stage = 0;
  slot.prompt_ms = 0;
  slot.waiting = false;
  slot.record_lost[0] = '\0';
  slot.end = ChildEnd{};
  slot.result = SlotResult{};
  FindSlotDevice(&slot);
  slot.start_ms = ElapsedClock();
  slot.start_utc_ms = UtcNowMs();
  const char* argv[] = {s->boxload, slot.port, s->sdf_name, "--trace", slot.trace_path, nullptr, nullptr, nullptr};
  if (s->platform != nullptr) {
    argv[5] = "--platform";
    argv[6] = s->platform;
  }
  char why[sizeof slot.progress.failure];
  int started = kChildFileNotMade;
  // The trace made new here: boxload then writes into it, and never over a file of the user's.
  // The start line is on disk before the child starts: a box is never updated unaccounted for.
  if (FileCreateNew(slot.trace_path) == 0) {
    std::snprintf(why, sizeof why, "cannot create %s: %s", slot.trace_path, std::strerror(errno));
  } else if (SummaryStart(s, index, why, sizeof why) == 0) {
    started = kChildFileNotMade;
  } else {
    started = StartChild(s->boxload, argv, slot.log_path, slot.err_path, &slot.child, why, sizeof why);
  }
  if (started != kChildStarted) {
    // Counted as a failed box: its line and its row tell why.
    slot.child.running = false;
    slot.end.exit_code = -1;
    slot.end.not_started = true;
    std::snprintf(slot.end.text, sizeof slot.end.text, "not started");
    CopyText(slot.progress.failure, sizeof slot.progress.failure, why);
    if (started == kChildFileNotMade) {
      RecordLost(s, index, why);
    } else {
      char shown[sizeof why * 4];
      ShownText(why, shown, sizeof shown);
      Say(s, "slot %d: %s", index + 1, shown);
    }
  }
  slot.running = true;
  ViewEvent(s, index);
}

void EndBox(Station* s, int index) {
  Slot& slot = s->slots[index];
  Progress& p = slot.progress;
  FollowEnd(&p);
  slot.end_ms = ElapsedClock();
  slot.end_utc_ms = UtcNowMs();
  slot.result = DecideResult(slot.end, slot.abort_stage, p);
  const int result = slot.result.result;
  ErrorLines lines;
  ReadErrorLines(slot.err_path, &lines);
  if (result != kStageUpdated) {
    ChooseFailure(slot, lines, &p);
  }
  char missing[sizeof slot.record_lost];
  MissingRecord(slot, lines, missing, sizeof missing);
  if (missing[0] != '\0') {
    RecordLost(s, index, missing);
  }
  DropEmptyFile(slot.err_path);
  slot.running = false;
  ++slot.done;
  ++slot.by_result[result];
  slot.resends += p.resends;
  ++s->ended;
  ++s->by_result[result];
  ++s->by_category[CategoryOf(result, slot.result.crashed, p)];
  if (result != kStageUpdated) {
    if (s->miss_count < kMissesShown) {
      Miss& m = s->misses[s->miss_count];
      m.slot = index;
      m.seq = slot.seq;
      m.stage = result;
      char where[48];
      ReachedText(p, where, sizeof where);
      char text[sizeof m.text];
      if (result == kStageNoBox) {
        std::snprintf(text, sizeof text, "%s: ", ResultName(result));
      } else {
        std::snprintf(text, sizeof text, "%s at %s: ", ResultName(result), where);
      }
      const size_t used = std::strlen(text);
      CopyText(text + used, sizeof text - used, p.failure);
      CopyText(m.text, sizeof m.text, text);
    }
    ++s->miss_count;
  }
  char why[160];
  if (SummaryRow(s, index, why, sizeof why) == 0) {
    RecordLost(s, index, why);
  }
  NoteBoxEnd(s, index);
  slot.waiting = s->loop;
  ViewEvent(s, index);
}
