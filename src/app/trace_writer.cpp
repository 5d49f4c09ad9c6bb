#include "app/trace_writer.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "common/trace.h"

namespace {

std::FILE* g_file = nullptr;
// The file's buffer: bytes reach the disk in large writes, and the protocol path never
// allocates.
char g_file_buffer[64 * 1024];
// Held for the moment of one event; the abort thread takes it too.
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
bool g_finished = false;
std::chrono::steady_clock::time_point g_start;
int64_t g_last_flush_us = 0;
// Bytes wait in the buffer at most this long.
constexpr int64_t kFlushEveryUs = 1000000;

// The byte line being filled: its kind, how many bytes, when the last came, and its text.
constexpr int kNoLine = -1;
int g_line_kind = kNoLine;
int g_line_count = 0;
int64_t g_line_last_us = 0;
char g_line[32 + kTraceBytesPerLine * 3 + 2];
size_t g_line_length = 0;

class Lock {
 public:
  Lock() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Lock() { g_lock.clear(std::memory_order_release); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_start).count();
}

size_t FormatTime(char* out, size_t size, int64_t us) {
  const int n = std::snprintf(out, size, "%lu.%06lu", static_cast<unsigned long>(us / 1000000),
                              static_cast<unsigned long>(us % 1000000));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// Under the lock, after each event: a trace cut short (a full disk, a file-size limit) is
// said once, when it happens, with the system's reason. The update goes on: the trace is a
// diagnostic. errno is still the failed write's: since it, only this thread's calls on this
// file ran, and they touch no descriptor once the error is set.
void SayIfCutShort() {
  static bool said = false;
  if (said || std::ferror(g_file) == 0) {
    return;
  }
  said = true;
  const int reason = errno;
  std::fprintf(stderr, "boxload: the trace could not be written in full: %s\n", std::strerror(reason));
}

void Flush(int64_t now) {
  (void)std::fflush(g_file);
  g_last_flush_us = now;
  SayIfCutShort();
}

void EndByteLine() {
  if (g_line_kind == kNoLine) {
    return;
  }
  g_line[g_line_length++] = '\n';
  (void)std::fwrite(g_line, 1, g_line_length, g_file);
  g_line_kind = kNoLine;
}

// Starts an event line other than bytes, ending the byte line first.
void BeginEvent(const char* kind) {
  EndByteLine();
  char stamp[32];
  const size_t n = FormatTime(stamp, sizeof stamp, NowUs());
  (void)std::fwrite(stamp, 1, n, g_file);
  std::fputc(' ', g_file);
  std::fputs(kind, g_file);
  std::fputc(' ', g_file);
}

void WriteEscaped(const char* text, size_t length) {
  char chunk[256];
  while (length > 0) {
    const size_t taken = TraceEscape(text, length, chunk, sizeof chunk);
    std::fputs(chunk, g_file);
    text += taken;
    length -= taken;
  }
}

void WriteNote(const char* format, va_list args) {
  BeginEvent("NOTE");
  std::vfprintf(g_file, format, args);
  std::fputc('\n', g_file);
}

void RecordByte(TraceKind kind, uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  const int64_t now = NowUs();
  const Lock lock;
  if (g_finished) {
    return;
  }
  if (g_line_kind != kind || g_line_count == kTraceBytesPerLine || now - g_line_last_us > kTraceGapUs) {
    EndByteLine();
    g_line_length = FormatTime(g_line, sizeof g_line, now);
    g_line[g_line_length++] = ' ';
    g_line[g_line_length++] = kind == kTraceTx ? 'T' : 'R';
    g_line[g_line_length++] = 'X';
    g_line_kind = kind;
    g_line_count = 0;
  }
  g_line[g_line_length++] = ' ';
  g_line[g_line_length++] = kDigits[byte >> 4];
  g_line[g_line_length++] = kDigits[byte & 0x0F];
  ++g_line_count;
  g_line_last_us = now;
  if (now - g_last_flush_us > kFlushEveryUs) {
    Flush(now);
  }
  SayIfCutShort();
}

int RecordPrint(const char* format, va_list args) {
  // On the stack, not static: the abort thread prints too.
  char text[kTraceTextMax];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  const size_t kept = n <= 0 ? 0 : n < static_cast<int>(sizeof text) ? static_cast<size_t>(n) : sizeof text - 1;
  // Recorded before it is shown: a line cut off by the abort (which takes standard output for
  // good) is still in the trace, and the abort's own line can never wait on this lock.
  {
    const Lock lock;
    if (!g_finished && kept > 0) {
      BeginEvent("OUT");
      WriteEscaped(text, kept);
      (void)std::fputc('\n', g_file);
      if (kept < static_cast<size_t>(n)) {
        BeginEvent("NOTE");
        std::fprintf(g_file, "console text above cut to %lu of %d bytes\n", static_cast<unsigned long>(kept), n);
      }
      Flush(NowUs());
    }
  }
  if (kept < static_cast<size_t>(n)) {
    std::vprintf(format, again);
  } else if (n > 0) {
    (void)std::fwrite(text, 1, kept, stdout);  // as vprintf: the result is not looked at
  }
  va_end(again);
  return n;
}

// Under the lock: the trace is complete; every later event is dropped.
void Finish() {
  g_finished = true;
  TraceDetach();
  SayIfCutShort();
}

// A NOTE; the last one also drops every later event.
void Note(bool last, const char* format, va_list args) {
  if (!TraceActive()) {
    return;
  }
  const Lock lock;
  if (g_finished) {
    return;
  }
  WriteNote(format, args);
  Flush(NowUs());
  if (last) {
    Finish();
  }
}

void RecordNote(const char* format, va_list args) { Note(false, format, args); }

const TraceSink kWriter = {RecordByte, RecordPrint, RecordNote};

}  // namespace

int TraceStart(std::FILE* file, const char* header) {
  g_file = file;
  std::setvbuf(g_file, g_file_buffer, _IOFBF, sizeof g_file_buffer);
  g_start = std::chrono::steady_clock::now();
  std::fprintf(g_file, "%s\n# %s\n", kTraceMagic, header);
  // On disk before the port is touched: a run that dies at once still leaves its header.
  if (std::fflush(g_file) != 0) {
    const int reason = errno;
    (void)std::fclose(g_file);
    g_file = nullptr;
    errno = reason;
    return 0;
  }
  TraceAttach(&kWriter);
  return 1;
}

void TraceFlush() {
  if (!TraceActive()) {
    return;
  }
  const Lock lock;
  if (g_finished) {
    return;
  }
  EndByteLine();
  Flush(NowUs());
}

void TraceFinish(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Note(true, format, args);
  va_end(args);
}

void TraceFinishAfterText(const char* text, const char* note) {
  if (!TraceActive()) {
    return;
  }
  const Lock lock;
  if (g_finished) {
    return;
  }
  BeginEvent("OUT");
  WriteEscaped(text, std::strlen(text));
  (void)std::fputc('\n', g_file);
  BeginEvent("NOTE");
  std::fputs(note, g_file);
  (void)std::fputc('\n', g_file);
  Flush(NowUs());
  Finish();
}
