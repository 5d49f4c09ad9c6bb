// boxstation: updates many boxes on many ports at once, each by a boxload child of its own.
//
//   boxstation [--log-dir DIR] [--loop [--count N]] [--timeout SEC] [--platform HEX] [--results URL]
//              FILE.sdf PORT...
//   boxstation --push URL DIR...
//
// Before any child starts, the station checks the SDF file as boxload does, refuses a port
// named twice (under any two names) and opens each port once, as boxload would, to refuse one
// that cannot be used. Then each slot runs boxload with --trace (and --platform when given),
// its console text into the slot's log, and follows the trace for the live view.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bootrom/bootrom.h"
#include "common/common.h"
#include "common/trace.h"
#include "sdf/sdf.h"
#include "sdf/sdf_file.h"
#include "serial/port_argument.h"
#include "serial/serial.h"
#include "station/station.h"
#include "station/station_proc.h"
#include "station/station_results.h"

namespace {

constexpr int kExitAllUpdated = 0;
constexpr int kExitSomeNot = 1;
constexpr int kExitUsage = 2;
// An aborted child frees its port at once; one that has not ended by then is killed.
constexpr uint32_t kAbortGraceMs = 5000;
constexpr int kTickMs = 100;
constexpr uint32_t kPromptNudgeMs = 2000;

Station g_station;

// text into a buffer of size, cut to fit.
void CopyText(char* to, size_t size, const char* text) {
  size_t n = 0;
  while (n + 1 < size && text[n] != '\0') {
    ++n;
  }
  std::memmove(to, text, n);
  to[n] = '\0';
}
char g_boxload[kPathSize];
PortArgument g_port_argument;  // large: one at a time

// --platform as given: checked here, passed to every child.
const char* g_platform = nullptr;

void Usage() {
  std::fprintf(stderr,
               "usage: boxstation [--log-dir DIR] [--loop [--count N]] [--timeout SEC] [--platform HEX] "
               "[--results URL] FILE.sdf PORT...\n"
               "       boxstation --push URL DIR...\n"
               "  PORT as boxload takes it (a device path, COMn, or a number 1 to 8), one slot each, at most %d\n"
               "  --platform HEX: update only boxes whose platform begins with these bytes (as boxload)\n",
               kMaxSlots);
}

bool ReadSeconds(const char* text, uint32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 1 || n > static_cast<long long>(kMaxTimeoutS)) {
    return false;
  }
  *value = static_cast<uint32_t>(n);
  return true;
}

bool ReadCount(const char* text, int* value) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 1 || n > 1000000000L) {
    return false;
  }
  *value = static_cast<int>(n);
  return true;
}

// Options anywhere; the first other word is the file, the rest are ports. 0 on a usage error
// (its line printed).
int ReadCommandLine(int argc, char** argv, Station* s, const char** log_dir, const char** ports[]) {
  int port_count = 0;
  static const char* port_words[kMaxSlots];
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
      Usage();
      std::exit(kExitAllUpdated);
    } else if (std::strcmp(word, "--loop") == 0) {
      s->loop = true;
    } else if (std::strcmp(word, "--log-dir") == 0 && has_value) {
      *log_dir = argv[++i];
    } else if (std::strcmp(word, "--count") == 0 && has_value) {
      if (!ReadCount(argv[++i], &s->count)) {
        std::fprintf(stderr, "boxstation: --count takes a number of boxes, not %s\n", argv[i]);
        return 0;
      }
    } else if (std::strcmp(word, "--timeout") == 0 && has_value) {
      if (!ReadSeconds(argv[++i], &s->timeout_s)) {
        std::fprintf(stderr, "boxstation: --timeout takes a number of seconds from 1 to %u, not %s\n", kMaxTimeoutS,
                     argv[i]);
        return 0;
      }
    } else if (std::strcmp(word, "--results") == 0 && has_value) {  // PostgreSQL: station_results.h
      if (ResultsOption(argv[++i]) == 0) {
        return 0;
      }
    } else if (std::strcmp(word, "--platform") == 0 && has_value) {
      PlatformPrefix prefix;
      if (ReadPlatformPrefix(argv[++i], &prefix) == 0) {
        std::fprintf(stderr, "boxstation: --platform takes 1 to 12 bytes in hex, such as 4B4D5637, not %s\n", argv[i]);
        return 0;
      }
      g_platform = argv[i];
    } else if (word[0] == '-' && word[1] == '-') {
      std::fprintf(stderr, "boxstation: %s: unknown option, or its value is missing\n", word);
      return 0;
    } else if (file == nullptr) {
      file = word;
    } else if (port_count == kMaxSlots) {
      std::fprintf(stderr, "boxstation: at most %d ports\n", kMaxSlots);
      return 0;
    } else {
      port_words[port_count++] = word;
    }
  }
  if (file == nullptr || port_count == 0) {
    return 0;
  }
  if (s->count != 0 && !s->loop) {
    std::fprintf(stderr, "boxstation: --count goes with --loop\n");
    return 0;
  }
  s->sdf_name = file;
  s->slot_count = port_count;
  *ports = port_words;
  return 1;
}

// The same check and the same lines as boxload's software stage; no port is touched before it.
bool CheckSdf(Station* s) {
  const int fd = FileOpenRead(s->sdf_name);
  if (fd == kNoFile) {
    const int reason = errno;
    Print("Can't open file %s", s->sdf_name);
    std::fflush(stdout);
    std::fprintf(stderr, "\nboxstation: %s: %s\n", s->sdf_name, std::strerror(reason));
    return false;
  }
  SdfHeader header{};
  Print("Check SDF file... ");
  const int good = Check_SDF_File(fd, &header);
  Print(good != 0 ? "OK\n" : "BAD\n");
  FileClose(fd);
  s->data_crc32 = data_crc32(header);
  s->sdf_kb = static_cast<int>((data_length(header) + kBlockSize - 1) / kBlockSize);
  std::fflush(stdout);
  return good != 0;
}

// The lines for a port word that names no port OpenPort takes, or a name too long for a slot;
// the station's exit status.
int RefusePort(const char* word, PortArgumentKind kind) {
  if (kind != kPortNumber) {
    std::fprintf(stderr, "boxstation: the port name is too long (%lu characters, at most %lu)\n",
                 static_cast<unsigned long>(std::strlen(word)), static_cast<unsigned long>(kPathSize - 1));
    return kExitSomeNot;
  }
  std::fprintf(stderr, "boxstation: %s: invalid COM port specified (a number %d to %d, or a device)\n", word,
               kFirstPortNumber, kLastPortNumber);
  char meant[kPathSize];
  if (SuggestPortPath(word, meant, sizeof meant) != 0) {
    std::fprintf(stderr, "boxstation: did you mean %s?\n", meant);
  }
  return kExitUsage;
}

// OpenPort's console text passes through here while the station tries the ports, so that a
// line it left open ("Unable to configure the serial port") can be ended.
bool g_line_open = false;

int WatchPrint(const char* format, va_list args) {
  char text[512];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  (void)std::vprintf(format, again);
  va_end(again);
  if (n > 0) {
    const size_t last = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) - 1 : sizeof text - 2;
    g_line_open = text[last] != '\n';
  }
  return n;
}
void WatchByte(TraceKind /*kind*/, uint8_t /*byte*/) {}
void WatchNote(const char* /*format*/, va_list /*args*/) {}
const TraceSink kLineWatch = {WatchByte, WatchPrint, WatchNote};

// Every port named once, and each one usable: boxload's own open, then let go at once.
int CheckPorts(Station* s) {
  static char open_names[kMaxSlots][kPathSize];
  static char devices[kMaxSlots][kPathSize];
  static PortId ids[kMaxSlots];
  static bool have_id[kMaxSlots];
  for (int i = 0; i < s->slot_count; ++i) {
    ReadPortArgument(s->slots[i].port, PortNamingRules(), &g_port_argument);
    const char* open_name = PortOpenName(g_port_argument);
    if (open_name == nullptr || std::strlen(open_name) >= kPathSize) {
      return RefusePort(s->slots[i].port, g_port_argument.kind);
    }
    CopyText(open_names[i], kPathSize, open_name);
    const char* device = PortDevicePath(open_name);
    CopyText(devices[i], kPathSize, device != nullptr ? device : open_name);
    have_id[i] = PortIdentity(devices[i], &ids[i]) != 0;
    for (int j = 0; j < i; ++j) {
      const bool same = have_id[i] && have_id[j] ? ids[i].major == ids[j].major && ids[i].minor == ids[j].minor
                                                 : std::strcmp(devices[i], devices[j]) == 0;
      if (same) {
        std::fprintf(stderr, "boxstation: %s and %s are the same port: name each port once\n", s->slots[j].port,
                     s->slots[i].port);
        return kExitUsage;
      }
    }
  }
  TraceAttach(&kLineWatch);
  int status = kExitAllUpdated;
  for (int i = 0; i < s->slot_count && status == kExitAllUpdated; ++i) {
    g_line_open = false;
    const PortHandle port = OpenPort(open_names[i]);
    if (port == nullptr) {
      if (g_line_open) {
        Print("\n");  // "Unable to configure the serial port" has no line end of its own
      }
      std::fflush(stdout);
      char shown[kPathSize * 4];
      ShownText(s->slots[i].port, shown, sizeof shown);
      std::fprintf(stderr, "boxstation: %s cannot be used: no box was started\n", shown);
      status = kExitSomeNot;
    } else {
      ReleasePort(port);
    }
  }
  TraceDetach();
  return status;
}

bool HoldsSummary(const char* folder) {
  char path[kPathSize + 16];
  std::snprintf(path, sizeof path, "%s/summary.csv", folder);
  return FileKindOf(path) != kFileMissing;
}

void SayFolderFailure(const char* folder) {
  const int reason = errno;
  char shown[kPathSize * 4];
  ShownText(folder, shown, sizeof shown);
  std::fprintf(stderr, "boxstation: %s: cannot make the folder: %s\n", shown, std::strerror(reason));
}

// boxstation-YYYYMMDD-HHMMSS (UTC) here, made by this station alone: a name taken (an earlier
// run's, or another station's started in the same second) gets a suffix, -2, -3, ...
bool MakeDefaultFolder(Station* s) {
  char utc[32];
  UtcTimeText(static_cast<int64_t>(std::time(nullptr)), utc, sizeof utc);
  // "2026-12-07T09:00:00Z" -> "20261207-090000"
  char stamp[16];
  int n = 0;
  for (const char* c = utc; *c != '\0' && n < 15; ++c) {
    if (*c >= '0' && *c <= '9') {
      stamp[n++] = *c;
      if (n == 8) {
        stamp[n++] = '-';
      }
    }
  }
  stamp[n] = '\0';
  std::snprintf(s->log_dir, sizeof s->log_dir, "boxstation-%s", stamp);
  for (int k = 2; k <= 1000; ++k) {
    if (MakeFolder(s->log_dir, true) != 0) {
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
    std::snprintf(s->log_dir, sizeof s->log_dir, "boxstation-%s-%d", stamp, k);
  }
  SayFolderFailure(s->log_dir);
  return false;
}

// --log-dir may name a folder that exists, but never one of an earlier run: every file the
// station writes there is new in any case.
bool MakeLogFolder(Station* s, const char* given) {
  if (given == nullptr) {
    return MakeDefaultFolder(s);
  }
  if (std::strlen(given) >= sizeof s->log_dir) {
    std::fprintf(stderr, "boxstation: the folder name is too long\n");
    return false;
  }
  CopyText(s->log_dir, sizeof s->log_dir, given);
  if (HoldsSummary(given)) {
    char shown[kPathSize * 4];
    ShownText(given, shown, sizeof shown);
    std::fprintf(stderr, "boxstation: %s holds an earlier run's summary: name another folder\n", shown);
    return false;
  }
  if (MakeFolder(s->log_dir, false) == 0) {
    SayFolderFailure(s->log_dir);
    return false;
  }
  return true;
}

// A line on standard error while the boxes run: the table steps aside, so that the line stays
// on the screen above it.
[[gnu::format(printf, 2, 3)]] void Say(Station* s, const char* format, ...) {
  ViewStepAside(s);
  va_list args;
  va_start(args, format);
  std::fputs("boxstation: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

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
  const int kb = ReadFileExactly(fd, header.bytes, kSdfHeaderSize) != 0
                     ? static_cast<int>((data_length(header) + kBlockSize - 1) / kBlockSize)
                     : known;
  FileClose(fd);
  return kb;
}

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
  slot.start_ms = ElapsedClock();
  slot.start_utc = static_cast<int64_t>(std::time(nullptr));
  const char* argv[] = {g_boxload, slot.port, s->sdf_name, "--trace", slot.trace_path, nullptr, nullptr, nullptr};
  if (g_platform != nullptr) {
    argv[5] = "--platform";
    argv[6] = g_platform;
  }
  char why[sizeof slot.progress.failure];
  int started = kChildFileNotMade;
  // The trace made new here: boxload then writes into it, and never over a file of the user's.
  if (CreateNewFile(slot.trace_path) == 0) {
    std::snprintf(why, sizeof why, "cannot create %s: %s", slot.trace_path, std::strerror(errno));
  } else {
    started = StartChild(g_boxload, argv, slot.log_path, slot.err_path, &slot.child, why, sizeof why);
  }
  if (started != kChildStarted) {
    // Counted as a failed box: its line and its row tell why.
    slot.child.running = false;
    slot.end.exit_code = -1;
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
    if (std::strstr(text, "refused the update at its last verdict") != nullptr) {
      CopyText(lines->refused, sizeof lines->refused, text);
    } else if (std::strstr(text, "the trace could not be written in full") != nullptr) {
      CopyText(lines->trace_cut, sizeof lines->trace_cut, text);
      continue;  // a record's trouble, not the box's
    }
    if (text[0] != '\0' && std::strstr(text, "stand-in firmware image") == nullptr) {
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

void EndBox(Station* s, int index) {
  Slot& slot = s->slots[index];
  Progress& p = slot.progress;
  FollowEnd(&p);
  slot.end_ms = ElapsedClock();
  slot.end_utc = static_cast<int64_t>(std::time(nullptr));
  slot.reached_stage = p.stage == kStageNoBox ? kStageWaitingForBox : p.stage;
  slot.reached_kb = p.kb;
  int result = kStageFailed;
  // After an abort, exit 0 alone is no update: Wine ends a program on Ctrl+C with 0.
  if (slot.end.exit_code == 0 && (slot.abort_stage == 0 || p.stage == kStageUpdated)) {
    result = kStageUpdated;
  } else if (slot.abort_stage != 0) {
    result = slot.abort_stage;
  } else if (slot.end.exit_code == 1 && p.stage == kStageNoBox) {
    result = kStageNoBox;
  }
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
  p.stage = result;
  DropEmptyFile(slot.err_path);
  slot.running = false;
  ++slot.done;
  ++s->ended;
  ++s->by_result[result];
  if (result != kStageUpdated) {
    if (s->miss_count < kMissesShown) {
      Miss& m = s->misses[s->miss_count];
      m.slot = index;
      m.seq = slot.seq;
      m.stage = result;
      char where[48];
      StageText(slot.reached_stage, slot.reached_kb, p, where, sizeof where);
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
  slot.waiting = s->loop;
  ViewEvent(s, index);
}

// A station that could not record a box starts no other: the operator sees to the disk first.
bool MayStart(const Station& s) { return s.records_lost == 0 && (s.count == 0 || s.started < s.count); }

void OperatorKey(Station* s, int key) {
  for (int i = 0; i < s->slot_count; ++i) {
    const Slot& slot = s->slots[i];
    if (slot.waiting && (key == '\n' || key == slot.key) && MayStart(*s)) {
      StartBox(s, i);
    }
  }
}

// One pass over the slots: progress, ends, time-outs, aborts.
void Tend(Station* s, bool stopping) {
  const uint32_t now = ElapsedClock();
  for (int i = 0; i < s->slot_count; ++i) {
    Slot& slot = s->slots[i];
    if (!slot.running) {
      continue;
    }
    if (FollowTrace(&slot.progress) != 0) {
      ViewEvent(s, i);
    }
    if (PollChild(&slot.child, &slot.end) != 0) {
      EndBox(s, i);
      continue;
    }
    // A child still at its final prompt after a while missed the key queued for it.
    if (slot.progress.at_prompt && slot.prompt_ms == 0) {
      slot.prompt_ms = now;
    } else if (slot.prompt_ms != 0 && now - slot.prompt_ms >= kPromptNudgeMs) {
      NudgeChild(&slot.child);
      slot.prompt_ms = now;
    }
    if (slot.abort_stage == 0 && stopping) {
      slot.abort_stage = kStageAborted;
      slot.abort_ms = now;
      AbortChild(&slot.child);
    } else if (slot.abort_stage == 0 && s->timeout_s != 0 &&
               static_cast<uint64_t>(now - slot.start_ms) >= static_cast<uint64_t>(s->timeout_s) * 1000U) {
      slot.abort_stage = kStageTimedOut;
      slot.abort_ms = now;
      AbortChild(&slot.child);
    } else if (slot.abort_stage != 0 && now - slot.abort_ms >= kAbortGraceMs) {
      KillChild(&slot.child);
    }
  }
}

bool AnyRunning(const Station& s) {
  for (int i = 0; i < s.slot_count; ++i) {
    if (s.slots[i].running) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard descriptor would hand its number to a port,
  // which would then be refused as the station's own terminal, or take the console text.
  if (StandardDescriptorsOpen() == 0) {
    return kExitSomeNot;
  }
  if (const int helper = StationHelperMain(argc, argv); helper >= 0) {
    return helper;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--push") == 0) {  // PostgreSQL: station_results.h
    return PushMain(argc, argv);
  }
  Station* s = &g_station;
  const char* log_dir = nullptr;
  const char** ports = nullptr;
  if (ReadCommandLine(argc, argv, s, &log_dir, &ports) == 0) {
    Usage();
    return kExitUsage;
  }
  for (int i = 0; i < s->slot_count; ++i) {
    s->slots[i].port = ports[i];
    s->slots[i].key = static_cast<char>(i < 9 ? '1' + i : 'a' + (i - 9));
  }
  if (!CheckSdf(s)) {
    return kExitSomeNot;
  }
  if (const int status = CheckPorts(s); status != kExitAllUpdated) {
    return status;
  }
  if (ProgramBeside("boxload", g_boxload, sizeof g_boxload) == 0 || FileKindOf(g_boxload) != kFileRegular) {
    std::fprintf(stderr, "boxstation: boxload is not beside boxstation (%s)\n", g_boxload);
    return kExitSomeNot;
  }
  if (!MakeLogFolder(s, log_dir) || SummaryOpen(s) == 0) {
    return kExitSomeNot;
  }
  ResultsBegin(s->log_dir);  // PostgreSQL, with --results

  CatchStopSignals();
  if (s->loop && KeysBegin() == 0) {
    std::fprintf(stderr,
                 "boxstation: not the terminal's foreground job: no keys are read until it is brought there "
                 "(fg); the first boxes start now\n");
  }
  s->start_ms = ElapsedClock();
  ViewBegin(s);
  for (int i = 0; i < s->slot_count && MayStart(*s); ++i) {
    StartBox(s, i);
  }
  bool stopping = false;
  for (;;) {
    const int key = WaitForOperatorKey(kTickMs);
    stopping = stopping || StopSignal() != 0;
    Tend(s, stopping);
    if (key >= 0 && !stopping) {
      OperatorKey(s, key);
    }
    if (!AnyRunning(*s) && (!s->loop || stopping || (s->count != 0 && s->ended >= s->count) || s->records_lost > 0)) {
      break;
    }
    ViewUpdate(s, false);
    ResultsTend(ElapsedClock());  // PostgreSQL, with --results
  }
  if (s->loop) {
    KeysEnd();
  }
  ViewEnd(s);
  SummaryScreen(*s);
  if (s->csv != nullptr) {
    (void)std::fclose(s->csv);
  }
  if (s->jsonl != nullptr) {
    (void)std::fclose(s->jsonl);
  }
  ResultsEnd();  // PostgreSQL, with --results
  if (StopSignal() != 0) {
    EndByStopSignal(StopSignal());
  }
  // Never a clean run with a record missing.
  return s->ended > 0 && s->by_result[kStageUpdated] == s->ended && s->records_lost == 0 ? kExitAllUpdated
                                                                                         : kExitSomeNot;
}
