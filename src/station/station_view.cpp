// The live view: a table redrawn in place on a terminal, one line per event anywhere else.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/common.h"
#include "records/results.h"
#include "station/station.h"

namespace {

// A terminal is redrawn at most this often; a counter still shows within a second.
constexpr uint32_t kRedrawMs = 250;
constexpr int kPortColumn = 22;

const char* ColourOf(const Station& s, int stage) {
  if (!s.colour) {
    return "";
  }
  switch (stage) {
    case kStageUpdated:
      return "\x1b[32m";
    case kStageFailed:
      return "\x1b[1;31m";
    case kStageNoBox:
    case kStageTimedOut:
    case kStageAborted:
      return "\x1b[33m";
    default:
      return "";
  }
}

const char* ColourEnd(const Station& s, int stage) {
  return s.colour && ColourOf(s, stage)[0] != '\0' ? "\x1b[0m" : "";
}

// The port as wide as its column: a long by-id name keeps its end, which tells adapters apart.
const char* PortColumn(const char* port) {
  const size_t n = std::strlen(port);
  return n > kPortColumn ? port + (n - kPortColumn) : port;
}

double BoxesPerHour(const Station& s) {
  const double hours = static_cast<double>(ElapsedClock() - s.start_ms) / 3.6e6;
  return hours > 0 ? s.by_result[kStageUpdated] / hours : 0;
}

int Running(const Station& s) {
  int running = 0;
  for (int i = 0; i < s.slot_count; ++i) {
    running += s.slots[i].running ? 1 : 0;
  }
  return running;
}

void AppendRecordLost(const Slot& slot, char* text, size_t size) {
  if (slot.record_lost[0] == '\0') {
    return;
  }
  const size_t used = std::strlen(text);
  std::snprintf(text + used, size - used, " - NOT RECORDED: %s", slot.record_lost);
}

// What a slot's row and event line say: the stage now, or how its last box ended.
void SlotStage(const Slot& slot, char* text, size_t size, int* stage) {
  const bool ended = !slot.running && slot.seq > 0;
  *stage = ended ? slot.result.result : slot.progress.stage;
  if (slot.seq == 0) {
    *stage = kStageStarting;
    std::snprintf(text, size, "waiting for its key");
    return;
  }
  if (ended && slot.result.result == kStageFailed) {
    char where[48];
    ReachedText(slot.progress, where, sizeof where);
    std::snprintf(text, size, "FAILED: %s (%s)",
                  slot.progress.failure[0] != '\0' ? slot.progress.failure : slot.end.text, where);
    AppendRecordLost(slot, text, size);
    return;
  }
  StageText(*stage, slot.progress.kb, slot.progress, text, size);
  if (ended) {
    AppendRecordLost(slot, text, size);
  }
}

uint32_t SlotSeconds(const Slot& slot) {
  if (slot.seq == 0) {
    return 0;
  }
  return ((slot.running ? ElapsedClock() : slot.end_ms) - slot.start_ms) / 1000;
}

// One table line, cut to the terminal's width less one column (a line that fills the last
// column leaves the cursor waiting to wrap): head as it is, then text in colour.
void TableLine(const Station& s, int width, const char* head, int stage, const char* text) {
  const int room = width - 1;
  const int head_length = static_cast<int>(std::strlen(head));
  const int head_shown = head_length < room ? head_length : (room > 0 ? room : 0);
  const int text_room = room - head_shown;
  std::printf("%.*s", head_shown, head);
  if (text_room > 0 && text[0] != '\0') {
    std::printf("%s%.*s%s", ColourOf(s, stage), text_room, text, ColourEnd(s, stage));
  }
  std::printf("\x1b[K\n");
}

void SlotLine(const Station& s, int index, int width) {
  const Slot& slot = s.slots[index];
  char stage_text[200];
  int stage = 0;
  SlotStage(slot, stage_text, sizeof stage_text, &stage);
  if (slot.waiting) {
    const size_t used = std::strlen(stage_text);
    if (s.records_lost == 0) {
      std::snprintf(stage_text + used, sizeof stage_text - used, " - key %c for the next box", slot.key);
    } else {
      std::snprintf(stage_text + used, sizeof stage_text - used, " - no new box: a record was lost");
    }
  }
  char shown[sizeof stage_text];
  ShownText(stage_text, shown, sizeof shown);
  char port[kPathSize];
  ShownText(slot.port, port, sizeof port);
  const uint32_t t = SlotSeconds(slot);
  // The stage last: a long failure line is cut at the terminal's edge. Beside the slot's yield,
  // the resends of its running (or last) box: a slot that keeps needing them has a bad cable
  // or adapter.
  const int updated = slot.by_result[kStageUpdated];
  char head[112];
  std::snprintf(head, sizeof head, " %-4d %-*.*s %3u:%02u %4d %4d %4d  ", index + 1, kPortColumn, kPortColumn,
                PortColumn(port), t / 60, t % 60, updated, slot.done - updated, slot.progress.resends);
  TableLine(s, width, head, stage, shown);
}

// The database's side, when --results is given: what it holds, and in red what it does not.
bool ResultsText(char* text, size_t size) {
  const ResultsCounts c = ResultsNow();
  if (!c.enabled) {
    return false;
  }
  const bool trouble = c.conflicts + c.refused > 0 || c.down || c.stopped;
  const int n = std::snprintf(text, size, "   db %d stored", c.stored);
  if (trouble || c.unsent > 0) {
    std::snprintf(text + n, size - static_cast<size_t>(n), ", %d not sent%s%s, %d CONFLICT, %d refused", c.unsent,
                  c.down ? " (server down)" : "", c.stopped ? " (table refused)" : "", c.conflicts, c.refused);
  }
  return trouble;
}

// The table never outgrows its terminal: a redraw goes back up as many lines as it drew, and a
// line that wrapped or a table taller than the screen would scroll it away a bit more each time.
void DrawTable(Station* s) {
  int width = 0;
  int rows = 0;
  TerminalSize(&width, &rows);
  if (s->drawn_lines > 0) {
    std::printf("\r\x1b[%dA", s->drawn_lines);  // back to the table's first line
  }
  // One row stays free below the table, for the cursor.
  const int room = rows - 1 > 1 ? rows - 1 : 1;
  char line[160];
  std::snprintf(line, sizeof line, " updated %d  failed %d  running %d   %.0f boxes per hour",
                s->by_result[kStageUpdated], s->ended - s->by_result[kStageUpdated], Running(*s), BoxesPerHour(*s));
  char results[96] = "";
  const bool trouble = ResultsText(results, sizeof results);
  TableLine(*s, width, line, trouble ? kStageFailed : kStageUpdated, results);
  int drawn = 1;
  if (room >= 2) {
    std::snprintf(line, sizeof line, " %-4s %-*s %6s %4s %4s %4s  %s", "slot", kPortColumn, "port", "time", "upd",
                  "fail", "rsnd", "stage");
    TableLine(*s, width, line, 0, "");
    ++drawn;
  }
  const bool all_fit = s->slot_count <= room - drawn;
  const int shown = all_fit ? s->slot_count : (room - drawn - 1 > 0 ? room - drawn - 1 : 0);
  for (int i = 0; i < shown; ++i) {
    SlotLine(*s, i, width);
    ++drawn;
  }
  if (!all_fit && drawn < room) {
    // Short: it is cut to the width like every line.
    std::snprintf(line, sizeof line, " %d more hidden", s->slot_count - shown);
    TableLine(*s, width, line, 0, "");
    ++drawn;
  }
  // A table shorter than the last one (the terminal shrank) leaves no old line below it.
  std::printf("\x1b[J");
  s->drawn_lines = drawn;
  std::fflush(stdout);
}

}  // namespace

void ShownText(const char* text, char* out, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    const auto u = static_cast<unsigned char>(*c);
    const bool plain = u >= 0x20 && u < 0x7F;
    if (n + (plain ? 1 : 4) >= size) {
      break;
    }
    if (plain) {
      out[n++] = *c;
    } else {
      out[n++] = '\\';
      out[n++] = 'x';
      out[n++] = kDigits[u >> 4];
      out[n++] = kDigits[u & 0x0F];
    }
  }
  out[n] = '\0';
}

void ViewBegin(Station* s) {
  s->terminal = OutputIsTerminal();
  const char* no_colour = std::getenv("NO_COLOR");
  s->colour = s->terminal && (no_colour == nullptr || no_colour[0] == '\0');
  char name[kPathSize];
  char folder[kPathSize];
  ShownText(s->sdf_name, name, sizeof name);
  ShownText(s->log_dir, folder, sizeof folder);
  std::printf("boxstation: %s (data_crc32 %08X, %d KB) on %d port%s; logs in %s\n", name, s->data_crc32, s->sdf_kb,
              s->slot_count, s->slot_count == 1 ? "" : "s", folder);
  if (s->terminal) {
    DrawTable(s);
    s->drawn_ms = ElapsedClock();
  }
  std::fflush(stdout);
}

void ViewUpdate(Station* s, bool force) {
  if (!s->terminal) {
    return;
  }
  const uint32_t now = ElapsedClock();
  // The clock column moves once a second even when nothing else does.
  if (force || (now - s->drawn_ms >= kRedrawMs && (s->dirty || now / 1000 != s->drawn_ms / 1000))) {
    DrawTable(s);
    s->drawn_ms = now;
    s->dirty = false;
  }
}

void ViewEvent(Station* s, int index) {
  s->dirty = true;
  if (s->terminal) {
    return;
  }
  Slot& slot = s->slots[index];
  const Progress& p = slot.progress;
  const bool ended = !slot.running;
  if (!ended && p.stage >= kStageUpdated) {
    return;  // told with the box's end
  }
  // The body's counter every tenth of the way; every other change of stage as it comes.
  if (!ended && p.stage == slot.shown_stage) {
    const int step = p.stage == kStageSdf ? (p.sdf_kb + 9) / 10 : kFirmwareKb;
    if (step == 0 || p.kb / step == slot.shown_kb / step) {
      return;
    }
  }
  slot.shown_stage = ended ? slot.result.result : p.stage;
  slot.shown_kb = p.kb;
  char raw[240];
  int stage = 0;
  SlotStage(slot, raw, sizeof raw, &stage);
  // Escaped: a box's text or a port's name never drives the operator's terminal.
  char text[sizeof raw * 4];
  char port[kPathSize];
  ShownText(raw, text, sizeof text);
  ShownText(slot.port, port, sizeof port);
  if (ended) {
    const uint32_t ms = slot.end_ms - slot.start_ms;
    // A box not updated ends its line with its category in brackets, for a script to count.
    const char* category = FailureCategory(slot.result.result, slot.result.crashed, p);
    std::printf("slot %d %s: box %d %s, %u.%u s%s%s%s\n", index + 1, port, slot.seq, text, ms / 1000, ms % 1000 / 100,
                category != nullptr ? " [" : "", category != nullptr ? category : "", category != nullptr ? "]" : "");
  } else {
    std::printf("slot %d %s: box %d %s\n", index + 1, port, slot.seq, text);
  }
  std::fflush(stdout);
}

void ViewStepAside(Station* s) {
  if (s->terminal && s->drawn_lines > 0) {
    std::printf("\r\x1b[%dA\x1b[J", s->drawn_lines);
    s->drawn_lines = 0;
    s->dirty = true;
  }
  std::fflush(stdout);
}

void ViewEnd(Station* s) {
  if (s->terminal) {
    DrawTable(s);
  }
  std::fflush(stdout);
}
