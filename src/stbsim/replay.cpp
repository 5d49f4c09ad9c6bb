#include "stbsim/replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bootrom/firmware_image.h"
#include "common/trace.h"
#include "stbsim/pty_box.h"

namespace {

// "12.000345" as microseconds; false when it is no such time.
bool ParseTime(const std::string& text, int64_t* us) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || text.size() - dot - 1 != 6 ||
      text.find_first_not_of("0123456789.") != std::string::npos) {
    return false;
  }
  *us = std::strtoll(text.substr(0, dot).c_str(), nullptr, 10) * 1000000 +
        std::strtoll(text.substr(dot + 1).c_str(), nullptr, 10);
  return true;
}

bool ParseBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 2 > text.size() || std::strchr("0123456789ABCDEFabcdef", text[i]) == nullptr ||
        std::strchr("0123456789ABCDEFabcdef", text[i + 1]) == nullptr) {
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    i += 2;
  }
  return !bytes->empty();
}

std::string Hex(uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

}  // namespace

bool LoadTrace(const std::string& path, Trace* trace, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();  // a trace carried over from Windows may have gained CR LF
    }
    trace->lines.push_back(line);
  }
  if (trace->lines.size() < 2 || trace->lines[0] != kTraceMagic || trace->lines[1].rfind("# ", 0) != 0) {
    *error = path + " is no boxload trace (its first line is not \"" + kTraceMagic + "\")";
    return false;
  }
  trace->header = trace->lines[1].substr(2);
  const size_t hash = trace->header.find("sha256 ");
  if (hash != std::string::npos) {
    trace->image_sha256 = trace->header.substr(hash + 7, 64);
  }
  for (size_t i = 2; i < trace->lines.size(); ++i) {
    const std::string& text = trace->lines[i];
    const int number = static_cast<int>(i + 1);
    const size_t space = text.find(' ');
    const size_t kind_end = space == std::string::npos ? std::string::npos : text.find(' ', space + 1);
    TraceEvent event{TraceEvent::kTx, number, 0, {}};
    if (text.empty() || kind_end == std::string::npos || !ParseTime(text.substr(0, space), &event.at_us)) {
      *error = path + ":" + std::to_string(number) + ": not an event line: " + text.substr(0, 80);
      return false;
    }
    const std::string kind = text.substr(space + 1, kind_end - space - 1);
    const std::string payload = text.substr(kind_end + 1);
    if (kind == "TX" || kind == "RX") {
      event.kind = kind == "TX" ? TraceEvent::kTx : TraceEvent::kRx;
      if (!ParseBytes(payload, &event.bytes)) {
        *error = path + ":" + std::to_string(number) + ": bad bytes: " + payload.substr(0, 80);
        return false;
      }
      trace->events.push_back(event);
    } else if (kind == "NOTE" && payload.rfind("read timed out", 0) == 0) {
      event.kind = TraceEvent::kTimeOut;
      trace->events.push_back(event);
    }
  }
  return true;
}

Replayer::Replayer(const Trace* trace, bool fast) : trace_(trace), fast_(fast) {}

void Replayer::Start(uint64_t now_us) {
  anchor_real_us_ = static_cast<int64_t>(now_us);
  anchor_recorded_us_ = 0;
  timed_out_since_anchor_ = false;
  Advance();
}

void Replayer::Advance() {
  const std::vector<TraceEvent>& events = trace_->events;
  for (; next_ < events.size() && events[next_].kind != TraceEvent::kTx; ++next_) {
    const TraceEvent& event = events[next_];
    if (event.kind == TraceEvent::kTimeOut) {
      timed_out_since_anchor_ = true;
      continue;
    }
    // An answer that came after the tool gave up waiting must come after that again.
    int64_t delay = fast_ && !timed_out_since_anchor_ ? 0 : event.at_us - anchor_recorded_us_;
    delay = delay < 0 ? 0 : delay;
    const uint64_t at = static_cast<uint64_t>(anchor_real_us_ + delay);
    std::transform(event.bytes.begin(), event.bytes.end(), std::back_inserter(out_), [at](uint8_t byte) {
      return BoxOutput{at, false, byte};
    });
  }
}

void Replayer::Receive(uint8_t byte, uint64_t now_us) {
  if (differed_) {
    return;
  }
  const std::vector<TraceEvent>& events = trace_->events;
  if (next_ >= events.size()) {
    differed_ = true;
    difference_ =
        "its end: TX byte offset " + std::to_string(tx_offset_) + ": expected nothing more, received " + Hex(byte);
    return;
  }
  const TraceEvent& event = events[next_];
  if (in_line_ == 0) {
    anchor_real_us_ = static_cast<int64_t>(now_us);
    anchor_recorded_us_ = event.at_us;
    timed_out_since_anchor_ = false;
  }
  if (byte != event.bytes[in_line_]) {
    differed_ = true;
    difference_ = "trace line " + std::to_string(event.line) + ": " + trace_->lines[event.line - 1] +
                  "\nTX byte offset " + std::to_string(tx_offset_) + " (byte " + std::to_string(in_line_) +
                  " of that line): expected " + Hex(event.bytes[in_line_]) + ", received " + Hex(byte);
    return;
  }
  ++in_line_;
  ++tx_offset_;
  if (in_line_ == event.bytes.size()) {
    in_line_ = 0;
    ++next_;
    Advance();
  }
}

bool Replayer::PeekOutput(BoxOutput* out) const {
  if (out_.empty()) {
    return false;
  }
  *out = out_.front();
  return true;
}

bool Replayer::PopOutput(BoxOutput* out) {
  if (!PeekOutput(out)) {
    return false;
  }
  out_.pop_front();
  return true;
}

int ServeReplay(const std::string& trace_path, const std::string& link, bool fast, const std::atomic<bool>* stop) {
  Trace trace;
  std::string error;
  if (!LoadTrace(trace_path, &trace, &error)) {
    std::fprintf(stderr, "stbsim: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "stbsim: replaying %s: %s\n", trace_path.c_str(), trace.header.c_str());
  const char* image_hash = FirmwareImageSha256;
  if (trace.image_sha256 != image_hash) {
    std::fprintf(stderr,
                 "stbsim: warning: the trace was made with another firmware image (sha256 %s) than this build "
                 "carries (%s): the frames will differ\n",
                 trace.image_sha256.empty() ? "not given" : trace.image_sha256.c_str(), image_hash);
  }
  Replayer replayer(&trace, fast);
  PtyBox pty(&replayer, link);
  // Box time in microseconds, the trace's own unit, from the moment the pty is ready.
  PtyClock clock;
  clock.ns_per_unit = 1000;
  pty.set_clock(clock);
  if (!pty.Open()) {
    return 1;
  }
  std::fprintf(stderr, "stbsim: session 1 on %s\nstbsim: ready on %s\n", pty.slave_path().c_str(), link.c_str());
  replayer.Start(0);
  pty.Run(stop);
  if (replayer.differed()) {
    std::fprintf(stderr, "stbsim: the tool differs from the trace at %s\n", replayer.Difference().c_str());
    return 2;
  }
  if (!pty.tool_closed()) {
    std::fprintf(stderr, "stbsim: replay stopped after %llu bytes from the tool\n",
                 static_cast<unsigned long long>(replayer.matched()));
    return 1;
  }
  if (replayer.finished()) {
    std::fprintf(stderr, "stbsim: replay complete: the tool sent the trace's %llu bytes and closed the port\n",
                 static_cast<unsigned long long>(replayer.matched()));
    return 0;
  }
  std::fprintf(stderr, "stbsim: the tool closed the port after %llu of the trace's bytes, before the trace ended\n",
               static_cast<unsigned long long>(replayer.matched()));
  return 1;
}
