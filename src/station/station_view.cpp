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

// The port as wide as its column: a long by-id name keeps its end, which tells adapters apart.
const char* PortColumn(const char* port) {
  const size_t n = std::strlen(port);
  return n > kPortColumn ? port + (n - kPortColumn) : port;
}

// Boxes updated in the last hour (by the minute), or per hour so far in a station's first hour.
double BoxesPerHour(const Station& s) {
  const uint32_t elapsed = ElapsedClock() - s.start_ms;
  const uint32_t minute = elapsed / 60000;
  int boxes = 0;
  for (int i = 0; i < 60; ++i) {
    boxes += minute - s.minute_of[i] < 60 ? s.per_minute[i] : 0;
  }
  const double hours = elapsed < 3600000U ? static_cast<double>(elapsed) / 3.6e6 : 1.0;
  return hours > 0 ? boxes / hours : 0;
}

// A slot's state as the grid and the held results show it, with a symbol for monochrome
// screens and colour-blind eyes alike.
enum Held : int { kHeldIdle, kHeldPicked, kHeldRunning, kHeldPass, kHeldFail, kHeldMarked };
constexpr char kHeldSymbol[] = {'.', '?', '>', '+', 'X', '!'};
// Each category's code in a grid cell: four characters at most.
constexpr const char* kCategoryCodes[kCategoryCount] = {
    "PASS", "nbox", "plat", "img", "ldr", "hdr", "blk", "last", "step", "line", "file", "tout", "abrt", "crsh", "othr",
};

int HeldOf(const Station& s, int index) {
  const Slot& slot = s.slots[index];
  if (slot.running) {
    return kHeldRunning;
  }
  if (s.picked == index) {
    return kHeldPicked;
  }
  if (slot.done == 0) {
    return kHeldIdle;
  }
  if (slot.result.result == kStageUpdated) {
    return kHeldPass;
  }
  return slot.marked ? kHeldMarked : kHeldFail;
}

const char* HeldColour(const Station& s, int held) {
  if (!s.colour) {
    return "";
  }
  switch (held) {
    case kHeldPass:
      return "\x1b[32m";
    case kHeldFail:
      return "\x1b[1;31m";
    case kHeldMarked:
      return "\x1b[1;7;31m";
    case kHeldPicked:
      return "\x1b[7m";
    default:
      return "";
  }
}

int CategoryOfSlot(const Slot& slot) { return CategoryOf(slot.result.result, slot.result.crashed, slot.progress); }

// The grid cell's code: the stage of a running box, or how the last one ended.
void CellCode(const Station& s, int index, char* code, size_t size) {
  const Slot& slot = s.slots[index];
  const Progress& p = slot.progress;
  switch (HeldOf(s, index)) {
    case kHeldIdle:
      code[0] = '\0';
      return;
    case kHeldPicked:
      std::snprintf(code, size, "scan");
      return;
    case kHeldRunning:
      if (p.stage == kStageFirmware) {
        std::snprintf(code, size, "F%d", p.kb * 100 / kFirmwareKb);
      } else if (p.stage == kStageSdf && p.sdf_kb > 0) {
        std::snprintf(code, size, "S%d", p.kb * 100 / p.sdf_kb);
      } else {
        std::snprintf(code, size, "%s", p.stage == kStageWaitingForLoader ? "boot" : "wait");
      }
      return;
    default:
      std::snprintf(code, size, "%s", kCategoryCodes[CategoryOfSlot(slot)]);
      return;
  }
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
void ColouredLine(const Station& s, int width, const char* head, const char* colour, const char* text) {
  const int room = width - 1;
  const int head_length = static_cast<int>(std::strlen(head));
  const int head_shown = head_length < room ? head_length : (room > 0 ? room : 0);
  const int text_room = room - head_shown;
  std::printf("%.*s", head_shown, head);
  if (text_room > 0 && text[0] != '\0') {
    std::printf("%s%.*s%s", colour, text_room, text, s.colour && colour[0] != '\0' ? "\x1b[0m" : "");
  }
  std::printf("\x1b[K\n");
}

void TableLine(const Station& s, int width, const char* head, int stage, const char* text) {
  ColouredLine(s, width, head, ColourOf(s, stage), text);
}

// What a slot's row and the grid's detail line say: its symbol, then PASS or FAIL with the
// category and the label, held until the slot starts again; or the label and stage of its box.
void HeldText(const Station& s, int index, char* text, size_t size) {
  const Slot& slot = s.slots[index];
  const int held = HeldOf(s, index);
  char stage_text[200];
  int stage = 0;
  SlotStage(slot, stage_text, sizeof stage_text, &stage);
  const char* label = slot.label[0] != '\0' ? slot.label : "";
  const char* gap = label[0] != '\0' ? " " : "";
  if (held == kHeldPass) {
    std::snprintf(text, size, "+ PASS%s%s", gap, label);
    AppendRecordLost(slot, text, size);
  } else if (held == kHeldFail || held == kHeldMarked) {
    // The failure line after the category: "no box" or "aborted" alone would say it twice. A
    // failed box's stage text says already what of its record was lost.
    const bool failed = slot.result.result == kStageFailed;
    const char* detail = failed ? stage_text + std::strlen("FAILED: ") : slot.progress.failure;
    std::snprintf(text, size, "%c FAIL %s%s%s%s: %s", kHeldSymbol[held], CategoryName(CategoryOfSlot(slot)), gap, label,
                  held == kHeldMarked ? " - check the cable or the adapter" : "", detail);
    if (!failed) {
      AppendRecordLost(slot, text, size);
    }
  } else if (held == kHeldRunning) {
    std::snprintf(text, size, "> %s%s%s", label, gap, stage_text);
  } else if (held == kHeldPicked) {
    std::snprintf(text, size, "? waiting for its label");
  } else if (s.label_mode != kLabelNone) {
    std::snprintf(text, size, ". SLOT-%02d and a label start it", index + 1);
  } else {
    std::snprintf(text, size, "%s", stage_text);
  }
  if (slot.waiting && held != kHeldPicked) {
    const size_t used = std::strlen(text);
    if (s.records_lost != 0) {
      std::snprintf(text + used, size - used, " - no new box: a record was lost");
    } else if (s.label_mode == kLabelNone && slot.key != '\0') {
      std::snprintf(text + used, size - used, " - key %c for the next box", slot.key);
    }
  }
}

void SlotLine(const Station& s, int index, int width) {
  const Slot& slot = s.slots[index];
  char stage_text[300];
  HeldText(s, index, stage_text, sizeof stage_text);
  const int held = HeldOf(s, index);
  char shown[sizeof stage_text * 4];
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
  ColouredLine(s, width, head, HeldColour(s, held), shown);
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

// The slots that need a hand, by number: those whose last box failed, and those marked.
void HandText(const Station& s, char* text, size_t size) {
  int failed = 0;
  int marked = 0;
  char failed_list[40] = "";
  char marked_list[40] = "";
  for (int i = 0; i < s.slot_count; ++i) {
    const int held = HeldOf(s, i);
    if (held != kHeldFail && held != kHeldMarked) {
      continue;
    }
    int* count = held == kHeldMarked ? &marked : &failed;
    char* list = held == kHeldMarked ? marked_list : failed_list;
    const size_t used = std::strlen(list);
    if (*count < 6) {
      std::snprintf(list + used, sizeof failed_list - used, " %d", i + 1);
    } else if (*count == 6) {
      std::snprintf(list + used, sizeof failed_list - used, " ...");
    }
    ++*count;
  }
  if (failed + marked == 0) {
    std::snprintf(text, size, " needs a hand: none");
    return;
  }
  // The counts first: a narrow screen cuts the line's end.
  std::snprintf(text, size, " needs a hand: %d failed, %d marked%s%s%s%s", failed, marked,
                marked > 0 ? " | cable or adapter?" : "", marked_list, failed > 0 ? " | failed" : "", failed_list);
}

// The grid: a cell of nine columns a slot, its number, its symbol and a short code.
void GridLine(const Station& s, int first, int cells) {
  for (int i = first; i < first + cells && i < s.slot_count; ++i) {
    char code[16];
    CellCode(s, i, code, sizeof code);
    const int held = HeldOf(s, i);
    const char* colour = HeldColour(s, held);
    std::printf("%s%3d%c%-4.4s%s ", colour, i + 1, kHeldSymbol[held], code,
                s.colour && colour[0] != '\0' ? "\x1b[0m" : "");
  }
  std::printf("\x1b[K\n");
}

// The line of --label: the last word for the operator, and the line being typed.
void InputLine(const Station& s, int width) {
  char text[sizeof s.notice + sizeof s.input * 4 + 16];
  char typed[sizeof s.input * 4];
  ShownText(s.input_length > 0 ? s.input : "", typed, sizeof typed);
  std::snprintf(text, sizeof text, " %s%s%s", s.notice, s.input_length != 0 ? "  > " : "", typed);
  TableLine(s, width, text, 0, "");
}

// The table never outgrows its terminal: a redraw goes back up as many lines as it drew, and a
// line that wrapped or a table taller than the screen would scroll it away a bit more each time.
// Slots that do not fit a line each are drawn as a grid, with the slot picked (or the last to
// end) in full on a line of its own.
void DrawTable(Station* s) {
  int width = 0;
  int rows = 0;
  TerminalSize(&width, &rows);
  if (s->drawn_lines > 0) {
    std::printf("\r\x1b[%dA", s->drawn_lines);  // back to the table's first line
  }
  // One row stays free below the table, for the cursor.
  const int room = rows - 1 > 1 ? rows - 1 : 1;
  const int input_lines = s->label_mode != kLabelNone ? 1 : 0;
  char line[240];
  std::snprintf(line, sizeof line, " updated %d  failed %d  running %d   %.0f boxes per hour",
                s->by_result[kStageUpdated], s->ended - s->by_result[kStageUpdated], Running(*s), BoxesPerHour(*s));
  char results[96] = "";
  const bool trouble = ResultsText(results, sizeof results);
  TableLine(*s, width, line, trouble ? kStageFailed : kStageUpdated, results);
  int drawn = 1;
  if (room > drawn) {
    HandText(*s, line, sizeof line);
    TableLine(*s, width, line, 0, "");
    ++drawn;
  }
  if (3 + s->slot_count + input_lines <= room) {
    std::snprintf(line, sizeof line, " %-4s %-*s %6s %4s %4s %4s  %s", "slot", kPortColumn, "port", "time", "upd",
                  "fail", "rsnd", "stage");
    TableLine(*s, width, line, 0, "");
    ++drawn;
    for (int i = 0; i < s->slot_count; ++i) {
      SlotLine(*s, i, width);
      ++drawn;
    }
  } else {
    const int cells = (width - 1) / 9 > 0 ? (width - 1) / 9 : 1;
    for (int first = 0; first < s->slot_count && drawn < room - 1 - input_lines; first += cells) {
      GridLine(*s, first, cells);
      ++drawn;
    }
    const int chosen = s->picked >= 0 ? s->picked : s->last_ended;
    if (drawn < room) {
      if (chosen >= 0) {
        // The slot's number and what it holds first: the port, which the grid never shows, last.
        char text[400];
        char held[300];
        HeldText(*s, chosen, held, sizeof held);
        std::snprintf(text, sizeof text, "%s (%s)", held, s->slots[chosen].port);
        char shown[sizeof text * 4];
        ShownText(text, shown, sizeof shown);
        std::snprintf(line, sizeof line, " slot %d ", chosen + 1);
        ColouredLine(*s, width, line, HeldColour(*s, HeldOf(*s, chosen)), shown);
      } else {
        TableLine(*s, width, "", 0, "");
      }
      ++drawn;
    }
  }
  if (input_lines > 0 && drawn < room) {
    InputLine(*s, width);
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
    if (s->label_mode != kLabelNone && s->notice[0] == '\0') {
      std::snprintf(s->notice, sizeof s->notice,
                    "scan a slot's code (SLOT-07) or type its number, then the box's label");
    }
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
  // The box's label, when it has one, after its number.
  char label[kLabelSize + 16] = "";
  if (slot.label[0] != '\0') {
    std::snprintf(label, sizeof label, " label %s:", slot.label);
  }
  if (ended) {
    const uint32_t ms = slot.end_ms - slot.start_ms;
    // A box not updated ends its line with its category in brackets, for a script to count.
    const char* category = FailureCategory(slot.result.result, slot.result.crashed, p);
    std::printf("slot %d %s: box %d%s %s, %u.%u s%s%s%s\n", index + 1, port, slot.seq, label, text, ms / 1000,
                ms % 1000 / 100, category != nullptr ? " [" : "", category != nullptr ? category : "",
                category != nullptr ? "]" : "");
    if (slot.marked) {
      std::printf(
          "slot %d %s: check the cable or the adapter: the last three boxes, three different ones, failed on "
          "the line\n",
          index + 1, port);
    }
  } else {
    std::printf("slot %d %s: box %d%s %s\n", index + 1, port, slot.seq, label, text);
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
