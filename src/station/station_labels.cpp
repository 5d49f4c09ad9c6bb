// --label: the operator's lines (a scanner types a label and Enter), each box's label, and the
// mark on a slot whose line keeps failing.
//
// A line is one of:
//   SLOT-7, SLOT-07, SLOT-007   picks slot 7 (any case); never a label, so a wrong pick is mended
//                               by scanning the right slot's code
//   SLOT-07-ABORT               aborts the box running in slot 7, as Ctrl+C aborts boxload
//   SLOT-CANCEL                 clears the pick
//   7                           with no slot picked: picks slot 7 (typed at the keyboard)
//   anything else               with a slot picked: its box's label; then the box starts
// A line that is refused clears the pick, so that the next scan is read afresh.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "records/results.h"
#include "station/station_run.h"

namespace {

constexpr char kSlotCode[] = "SLOT-";
constexpr char kCancelWord[] = "CANCEL";
constexpr char kAbortWord[] = "-ABORT";
// The database gets this long to say whether a label was updated before; the box then starts
// with "not checked" on the screen.
constexpr uint32_t kAskMs = 3000;

bool SameLetters(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
    if (x != b[i]) {
      return false;
    }
  }
  return true;
}

// 1 to 3 digits and nothing else: a slot's number, or 0.
int SlotNumber(const char* text, size_t n) {
  if (n == 0 || n > 3) {
    return 0;
  }
  int number = 0;
  for (size_t i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return 0;
    }
    number = number * 10 + (text[i] - '0');
  }
  return number;
}

// The word for the operator: on the screen, and on standard error when there is no screen.
[[gnu::format(printf, 2, 3)]] void Tell(Station* s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(s->notice, sizeof s->notice, format, args);
  va_end(args);
  s->dirty = true;
  if (!s->terminal) {
    std::fprintf(stderr, "boxstation: %s\n", s->notice);
  }
}

void ClearPick(Station* s) {
  s->picked = -1;
  s->repeat[0] = '\0';
  s->asking = -1;
  s->dirty = true;
}

// A refused line: said, and the pick cleared.
[[gnu::format(printf, 2, 3)]] void Refuse(Station* s, const char* format, ...) {
  char text[sizeof s->notice - 10];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ClearPick(s);
  Tell(s, "refused: %s", text);
}

uint64_t LabelHash(const char* label) {
  uint64_t h = 14695981039346656037ULL;  // FNV-1a
  for (const char* c = label; *c != '\0'; ++c) {
    h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ULL;
  }
  return h != 0 ? h : 1;
}

// The label's entry in this run's table, made when make says so; null when it has none (or
// the table is full: the run's own check then passes it, as the database's "not checked").
LabelSeen* Seen(Station* s, const char* label, bool make) {
  const uint64_t h = LabelHash(label);
  for (uint64_t i = 0; i < static_cast<uint64_t>(kLabelsKept); ++i) {
    LabelSeen& e = s->seen[(h + i) % kLabelsKept];
    if (e.hash == h) {
      return &e;
    }
    if (e.hash == 0) {
      if (!make || s->seen_count >= kLabelsKept - 1) {
        return nullptr;
      }
      e.hash = h;
      ++s->seen_count;
      return &e;
    }
  }
  return nullptr;
}

// The slot's box is to start now, with this label: the caller starts it.
int Start(Station* s, int index, const char* label) {
  Slot& slot = s->slots[index];
  CopyText(slot.label, sizeof slot.label, label);
  ClearPick(s);
  if (label[0] != '\0') {
    Tell(s, "slot %d: box %s started", index + 1, label);
  } else {
    Tell(s, "slot %d: a box with no label started", index + 1);
  }
  return index;
}

void Pick(Station* s, int number) {
  if (number < 1 || number > s->slot_count) {
    Refuse(s, "this station has no slot %d (slots 1 to %d)", number, s->slot_count);
    return;
  }
  const Slot& slot = s->slots[number - 1];
  if (slot.running) {
    Refuse(s, "slot %d is updating a box (SLOT-%02d-ABORT aborts it)", number, number);
    return;
  }
  if (!MayStart(*s)) {
    Refuse(s, "no new box: %s", s->records_lost > 0 ? "a record was lost" : "--count is reached");
    return;
  }
  ClearPick(s);
  s->picked = number - 1;
  Tell(s, "slot %d: waiting for its label%s", number,
       s->label_mode == kLabelOptional ? " (an empty line for none)" : "");
}

// Why text is no label, or null: 1 to 64 printable ASCII characters.
const char* NotALabel(const char* text) {
  const size_t n = std::strlen(text);
  if (n >= kLabelSize) {
    return "longer than 64 characters";
  }
  for (size_t i = 0; i < n; ++i) {
    const auto u = static_cast<unsigned char>(text[i]);
    if (u < 0x20 || u > 0x7E) {
      return "a byte that is not printable ASCII";
    }
  }
  return nullptr;
}

int Label(Station* s, int index, const char* label) {
  const bool repeated = s->repeat[0] != '\0' && std::strcmp(s->repeat, label) == 0;
  s->repeat[0] = '\0';
  char shown[kLabelSize * 4 + 8];
  ShownText(label, shown, sizeof shown);
  if (label[0] == '\0') {
    if (s->label_mode == kLabelRequired) {
      Refuse(s, "slot %d needs its box's label", index + 1);
      return -1;
    }
    return Start(s, index, "");
  }
  if (const char* why = NotALabel(label); why != nullptr) {
    Refuse(s, "%s: no label (%s)", shown, why);
    return -1;
  }
  for (int i = 0; i < s->slot_count; ++i) {
    if (s->slots[i].running && std::strcmp(s->slots[i].label, label) == 0) {
      Refuse(s, "%s is in slot %d now: one box, one slot", shown, i + 1);
      return -1;
    }
  }
  if (repeated) {
    return Start(s, index, label);
  }
  if (const LabelSeen* e = Seen(s, label, false); e != nullptr && e->updated) {
    CopyText(s->repeat, sizeof s->repeat, label);
    Tell(s, "slot %d: %s was updated in slot %d of this run: scan it again to update it again", index + 1, shown,
         e->slot);
    return -1;
  }
  if (ResultsNow().enabled) {
    CopyText(s->asked, sizeof s->asked, label);
    s->asking = index;
    s->asked_ms = ElapsedClock();
    ResultsAskLabel(label);
    Tell(s, "slot %d: %s: asking the database", index + 1, shown);
    return -1;
  }
  return Start(s, index, label);
}

int OperatorLine(Station* s, const char* line, bool refused) {
  const size_t n = std::strlen(line);
  char shown[sizeof s->input * 4];
  ShownText(line, shown, sizeof shown);
  s->asking = -1;  // any line ends a question the database has not answered
  if (refused) {
    Refuse(s, "a line of more than 64 characters, or with a NUL byte");
    return -1;
  }
  const size_t code = sizeof kSlotCode - 1;
  if (n >= code && SameLetters(line, kSlotCode, code)) {
    const char* rest = line + code;
    const size_t rest_n = n - code;
    const size_t abort_n = sizeof kAbortWord - 1;
    if (rest_n == sizeof kCancelWord - 1 && SameLetters(rest, kCancelWord, rest_n)) {
      ClearPick(s);
      Tell(s, "no slot picked");
    } else if (const int number = SlotNumber(rest, rest_n); number > 0) {
      Pick(s, number);
    } else if (const int aborted = rest_n > abort_n ? SlotNumber(rest, rest_n - abort_n) : 0;
               aborted > 0 && SameLetters(rest + rest_n - abort_n, kAbortWord, abort_n)) {
      Slot* slot = aborted <= s->slot_count ? &s->slots[aborted - 1] : nullptr;
      if (slot == nullptr || !slot->running) {
        Refuse(s, "slot %d has no box running", aborted);
      } else if (slot->abort_stage == 0) {
        slot->abort_stage = kStageAborted;
        slot->abort_ms = ElapsedClock();
        AbortChild(&slot->child);
        Tell(s, "slot %d: its box is aborted", aborted);
      }
    } else {
      Refuse(s, "%s is no slot code (SLOT-07, SLOT-07-ABORT, SLOT-CANCEL)", shown);
    }
    return -1;
  }
  if (s->picked >= 0) {
    return Label(s, s->picked, line);
  }
  if (const int number = SlotNumber(line, n); number > 0) {
    Pick(s, number);
  } else if (n > 0) {  // Enter with no slot picked: nothing to refuse
    Refuse(s, "%s: no slot picked (scan a slot's code, such as SLOT-07, or type its number)", shown);
  }
  return -1;
}

}  // namespace

bool MayStart(const Station& s) { return s.records_lost == 0 && (s.count == 0 || s.started < s.count); }

int OperatorInput(Station* s, int key) {
  // A scanner ends its label with CR, LF, CR LF or Tab; Tab LF is one end too, never an empty line.
  if (key == '\n' && s->input_cr) {
    s->input_cr = false;
    return -1;
  }
  s->input_cr = key == '\r' || key == '\t';
  if (key == '\r' || key == '\n' || key == '\t') {
    const bool refused = s->input_length < 0;
    char line[sizeof s->input];
    CopyText(line, sizeof line, refused ? "" : s->input);
    s->input_length = 0;
    s->input[0] = '\0';
    return OperatorLine(s, line, refused);
  }
  s->dirty = true;
  if ((key == 0x7F || key == '\b') && s->input_length > 0) {
    s->input[--s->input_length] = '\0';  // typed at the keyboard: the last character goes
    return -1;
  }
  if (s->input_length < 0) {
    return -1;
  }
  if (key == 0 || s->input_length >= static_cast<int>(kLabelSize)) {
    s->input_length = -1;  // refused at its end
    return -1;
  }
  s->input[s->input_length++] = static_cast<char>(key);
  s->input[s->input_length] = '\0';
  return -1;
}

int InputEnded(Station* s) {
  const int start = s->input_length != 0 ? OperatorInput(s, '\n') : -1;  // a last line without its end
  s->input_ended = true;
  ClearPick(s);
  return start;
}

int LabelTick(Station* s) {
  if (s->asking < 0) {
    return -1;
  }
  const int answer = ResultsLabelAnswer();
  const bool late = ElapsedClock() - s->asked_ms >= kAskMs;
  if (answer == kLabelAsking && !late) {
    return -1;
  }
  const int index = s->asking;
  char label[kLabelSize];
  CopyText(label, sizeof label, s->asked);
  s->asking = -1;
  if (answer == kLabelUpdatedBefore) {
    CopyText(s->repeat, sizeof s->repeat, label);
    Tell(s, "slot %d: %s was updated before, says the database: scan it again to update it again", index + 1, label);
    return -1;
  }
  if (s->slots[index].running || !MayStart(*s)) {
    ClearPick(s);
    return -1;
  }
  Start(s, index, label);
  if (answer != kLabelNeverUpdated) {
    Tell(s, "slot %d: box %s started, not checked in the database (no answer)", index + 1, label);
  }
  return index;
}

// No answer, a line that failed, a refused frame or block, a verdict out of its place: what a
// bad cable, a loose connector or a failing adapter does to any box. A box's own trouble (its
// platform, its image, its flash, the file) is not counted, nor the station's time-out or an abort.
bool PointsAtLine(int category) {
  return category == kCategoryNoBox || category == kCategoryImageRefused || category == kCategoryBlockRefused ||
         category == kCategoryOutOfStep || category == kCategoryLineLost;
}

void NoteBoxEnd(Station* s, int index) {
  Slot& slot = s->slots[index];
  const int result = slot.result.result;
  for (int i = 2; i > 0; --i) {
    slot.line_failed[i] = slot.line_failed[i - 1];
    CopyText(slot.last_labels[i], sizeof slot.last_labels[i], slot.last_labels[i - 1]);
  }
  slot.line_failed[0] = PointsAtLine(CategoryOf(result, slot.result.crashed, slot.progress));
  CopyText(slot.last_labels[0], sizeof slot.last_labels[0], slot.label);
  // Three different boxes: a box with no label is taken for a box of its own, since the station
  // cannot tell; one labelled box failing three times is that box's trouble, not the slot's.
  bool marked = slot.line_failed[0] && slot.line_failed[1] && slot.line_failed[2];
  for (int i = 0; i < 3 && marked; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (slot.last_labels[i][0] != '\0' && std::strcmp(slot.last_labels[i], slot.last_labels[j]) == 0) {
        marked = false;
      }
    }
  }
  slot.marked = marked;
  s->last_ended = index;
  if (slot.label[0] != '\0') {
    if (LabelSeen* e = Seen(s, slot.label, true); e != nullptr && result == kStageUpdated) {
      e->updated = true;
      e->slot = index + 1;
    }
  }
  if (result == kStageUpdated) {
    const uint32_t minute = (ElapsedClock() - s->start_ms) / 60000;
    const int at = static_cast<int>(minute % 60);
    if (s->minute_of[at] != minute) {
      s->minute_of[at] = minute;
      s->per_minute[at] = 0;
    }
    ++s->per_minute[at];
  }
}
