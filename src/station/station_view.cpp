// The live view: a table redrawn in place on a terminal, one line per event anywhere else.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
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

// What a slot's row and event line say: the stage now, or how its last box ended.
void SlotStage(const Slot& slot, char* text, size_t size, int* stage) {
  const bool ended = !slot.running && slot.seq > 0;
  *stage = slot.progress.stage;
  if (slot.seq == 0) {
    *stage = kStageStarting;
    std::snprintf(text, size, "waiting for its key");
    return;
  }
  if (ended && slot.progress.stage == kStageFailed) {
    char where[48];
    StageText(slot.reached_stage, slot.reached_kb, slot.progress, where, sizeof where);
    std::snprintf(text, size, "FAILED: %s (%s)",
                  slot.progress.failure[0] != '\0' ? slot.progress.failure : slot.end.text, where);
    return;
  }
  StageText(slot.progress.stage, slot.progress.kb, slot.progress, text, size);
}

uint32_t SlotSeconds(const Slot& slot) {
  if (slot.seq == 0) {
    return 0;
  }
  return ((slot.running ? ElapsedClock() : slot.end_ms) - slot.start_ms) / 1000;
}

void DrawTable(Station* s) {
  const int width = TerminalWidth();
  if (s->drawn_lines > 0) {
    std::printf("\x1b[%dA", s->drawn_lines);  // back to the table's first line
  }
  std::printf("\r updated %d  failed %d  running %d   %.0f boxes per hour\x1b[K\n", s->by_result[kStageUpdated],
              s->ended - s->by_result[kStageUpdated], Running(*s), BoxesPerHour(*s));
  std::printf(" %-4s %-*s %6s %5s  %s\x1b[K\n", "slot", kPortColumn, "port", "time", "done", "stage");
  for (int i = 0; i < s->slot_count; ++i) {
    const Slot& slot = s->slots[i];
    char stage_text[200];
    int stage = 0;
    SlotStage(slot, stage_text, sizeof stage_text, &stage);
    if (slot.waiting) {
      const size_t used = std::strlen(stage_text);
      std::snprintf(stage_text + used, sizeof stage_text - used, " - key %c for the next box", slot.key);
    }
    const uint32_t t = SlotSeconds(slot);
    // The stage last: a long failure line is cut at the terminal's edge, as a wrapped row
    // would throw the redraw out of place.
    char head[64];
    const int head_length = std::snprintf(head, sizeof head, " %-4d %-*s %3u:%02u %5d  ", i + 1, kPortColumn,
                                          PortColumn(slot.port), t / 60, t % 60, slot.done);
    const int room = width - 1 - head_length;
    std::printf("%s%s%.*s%s\x1b[K\n", head, ColourOf(*s, stage), room > 0 ? room : 0, stage_text, ColourEnd(*s, stage));
  }
  s->drawn_lines = s->slot_count + 2;
  std::fflush(stdout);
}

}  // namespace

void ViewBegin(Station* s) {
  s->terminal = OutputIsTerminal();
  const char* no_colour = std::getenv("NO_COLOR");
  s->colour = s->terminal && (no_colour == nullptr || no_colour[0] == '\0');
  std::printf("boxstation: %s (data_crc32 %08X, %d KB) on %d port%s; logs in %s\n", s->sdf_name, s->data_crc32,
              s->sdf_kb, s->slot_count, s->slot_count == 1 ? "" : "s", s->log_dir);
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
  slot.shown_stage = p.stage;
  slot.shown_kb = p.kb;
  char text[240];
  int stage = 0;
  SlotStage(slot, text, sizeof text, &stage);
  if (ended) {
    const uint32_t ms = slot.end_ms - slot.start_ms;
    std::printf("slot %d %s: box %d %s, %u.%u s\n", index + 1, slot.port, slot.seq, text, ms / 1000, ms % 1000 / 100);
  } else {
    std::printf("slot %d %s: box %d %s\n", index + 1, slot.port, slot.seq, text);
  }
  std::fflush(stdout);
}

void ViewEnd(Station* s) {
  if (s->terminal) {
    DrawTable(s);
  }
  std::fflush(stdout);
}
