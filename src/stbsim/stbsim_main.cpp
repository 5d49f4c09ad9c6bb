// stbsim: the simulated box on a pseudo-terminal, for trying the tool without hardware.
//
//   stbsim --link /tmp/box [options]     then: boxload /tmp/box file.sdf
//
// Serves one session after another (each opening of the port by the tool gets a fresh box)
// until interrupted, or only one with --once. Exit status 0 when the last session's update
// completed, 1 otherwise, 2 for a bad command line.
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "stbsim/box_sim.h"
#include "stbsim/pty_box.h"
#include "stbsim/replay.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int /*sig*/) { g_stop.store(true); }

constexpr const char* kUsage =
    "usage: stbsim --link PATH [options]     then: boxload PATH file.sdf\n"
    "Plays the box on a new pseudo-terminal whose slave PATH links to; the tool opens PATH as it\n"
    "opens a USB adapter's device. Bytes are hexadecimal, as one byte (\"9\", \"0E\") or several\n"
    "(\"05 08\", \"0508\", \"05,08\").\n"
    "\n"
    "Boot ROM:\n"
    "  --silent-probes K       leave the first K probes unanswered (-1: all of them)\n"
    "  --junk HEX              bytes sent before each A5 answer\n"
    "  --platform HEX          the bytes after A5 (default 4B 4D 56 37 37 32 30 50 00 01 0A 1F)\n"
    "  --repair 05|0E          wait in repair mode: answer probes with 05 08 or 0E 08\n"
    "  --reset-reply HEX       answer to the reset request (default 05 08)\n"
    "  --go-reply HEX          answer to the go byte (default 09)\n"
    "  --frame-ack HEX         answer to a good frame (default 09)\n"
    "  --odd-frame K:HEX       answer frame K (0-based) with HEX instead\n"
    "  --boot-delay MS         deaf this long after the image (default 200)\n"
    "  --never-boot            deaf for ever after the image\n"
    "Remote bootloader:\n"
    "  --ready-noise HEX       bytes sent before the ready signal 53 44 46 10\n"
    "  --ready-delay MS        wait this long after the first probe answer before the ready\n"
    "  --header-verdict HEX    verdict on a good SDF header (default 06)\n"
    "  --refuse-block K:TIMES  refuse block K (0-based) TIMES times with 15\n"
    "  --odd-block K:HEX       answer block K once with HEX\n"
    "  --text STR              send 02 STR 00 before one verdict (see --text-at)\n"
    "  --text-at WHERE         header, after-last (default) or final\n"
    "  --after-last HEX        verdict after the last block (default 06)\n"
    "  --final HEX             last verdict (default 06)\n"
    "  --store-ms MS           the SDF header's and each block's verdict leave MS ms late: the\n"
    "                          time to store them\n"
    "  --store-jitter MS       each block's store takes up to MS ms more, varying by block\n"
    "  --last-block-ms MS      the last block's store takes MS ms instead\n"
    "  --final-delay MS        the last verdict leaves MS ms after the one before it\n"
    "  --no-body-check         a box that does not check the body: by default the final verdict\n"
    "                          is 15 when the body taken does not match the header's data_crc32\n"
    "Faults and the line:\n"
    "  --fault KIND:POINT:INDEX[:MS]\n"
    "                          KIND corrupt-in, corrupt-out, drop, noise, delay, refuse, unknown,\n"
    "                          hang-up, ack (a 06 of noise behind the answer), noise-ahead (one\n"
    "                          noise byte as the message arrives, ahead of the box's store time);\n"
    "                          POINT probe, reset, go, file-header, frame, ready,\n"
    "                          sdf-header, block, after-last, final; INDEX counts that point's\n"
    "                          occurrences from 0; MS is the delay (default 6000)\n"
    "  --noise-burst N[:MS]    the noise fault sends N bytes 5A, and the answer follows MS ms\n"
    "                          after them (default 1:0)\n"
    "  --noise-byte HEX        the byte the noise faults send (default 5A; 06 or 15 looks like a\n"
    "                          verdict)\n"
    "  --byte-time-ms F        pace the line: F ms per byte each way (115,200 8N1: 0.0868)\n"
    "  --latency-ms N          hold the box's bytes as a USB adapter does: to the tool when 62 are\n"
    "                          waiting or N ms after the first (FTDI on Linux: 16, low latency: 1)\n"
    "Replay:\n"
    "  --replay TRACE          play the box's side of a trace made by boxload --trace (the options\n"
    "                          above do not apply); exit 2 at the first byte that differs\n"
    "  --fast                  answer at once instead of at the recorded delays\n"
    "Program:\n"
    "  --save-image FILE       write the image the box received (after each session)\n"
    "  --save-body FILE        write the SDF body the box received (after each session)\n"
    "  --once                  end after one session\n"
    "  --timeout MS            give up after MS ms\n"
    "  --help\n";

bool ParseHex(const char* text, std::vector<uint8_t>* out) {
  out->clear();
  std::string digits;
  auto flush = [&]() -> bool {
    if (digits.empty()) {
      return true;
    }
    if (digits.size() % 2 != 0) {
      if (digits.size() != 1) {
        return false;
      }
      digits = "0" + digits;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
      out->push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    digits.clear();
    return true;
  };
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ' ' || *p == ',') {
      if (!flush()) {
        return false;
      }
    } else if (std::strchr("0123456789abcdefABCDEF", *p) != nullptr) {
      digits += *p;
    } else {
      return false;
    }
  }
  return flush();
}

bool ParseByte(const char* text, uint8_t* out) {
  std::vector<uint8_t> bytes;
  if (!ParseHex(text, &bytes) || bytes.size() != 1) {
    return false;
  }
  *out = bytes[0];
  return true;
}

bool ParseInt(const char* text, long min, long* out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > 0x7FFFFFFF) {
    return false;
  }
  *out = value;
  return true;
}

// "K:REST": K a number from 0, REST handed back.
bool ParsePair(const char* text, long* k, std::string* rest) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) {
    return false;
  }
  *rest = colon + 1;
  return ParseInt(std::string(text, colon).c_str(), 0, k);
}

bool ParseFault(const char* text, FaultPlan* result) {
  static const struct {
    const char* name;
    BoxFault fault;
  } kKinds[] = {{"corrupt-in", BoxFault::kCorruptIn},
                {"corrupt-out", BoxFault::kCorruptOut},
                {"drop", BoxFault::kDrop},
                {"noise", BoxFault::kNoise},
                {"delay", BoxFault::kDelay},
                {"refuse", BoxFault::kRefuse},
                {"unknown", BoxFault::kUnknown},
                {"hang-up", BoxFault::kHangUp},
                {"ack", BoxFault::kExtraAck},
                {"noise-ahead", BoxFault::kNoiseAhead}};
  static const struct {
    const char* name;
    BoxPoint point;
  } kPoints[] = {{"probe", BoxPoint::kProbe},
                 {"reset", BoxPoint::kReset},
                 {"go", BoxPoint::kGo},
                 {"file-header", BoxPoint::kFileHeader},
                 {"frame", BoxPoint::kFrame},
                 {"ready", BoxPoint::kReady},
                 {"sdf-header", BoxPoint::kSdfHeader},
                 {"block", BoxPoint::kBlock},
                 {"after-last", BoxPoint::kAfterLast},
                 {"final", BoxPoint::kFinal}};
  std::vector<std::string> parts;
  std::string part;
  for (const char* p = text;; ++p) {
    if (*p == ':' || *p == '\0') {
      parts.push_back(part);
      part.clear();
      if (*p == '\0') {
        break;
      }
    } else {
      part += *p;
    }
  }
  if (parts.size() != 3 && parts.size() != 4) {
    return false;
  }
  bool kind_ok = false;
  for (const auto& kind : kKinds) {
    if (parts[0] == kind.name) {
      result->fault = kind.fault;
      kind_ok = true;
    }
  }
  bool point_ok = false;
  for (const auto& point : kPoints) {
    if (parts[1] == point.name) {
      result->point = point.point;
      point_ok = true;
    }
  }
  long index = 0;
  long delay = result->delay_ms;
  if (!kind_ok || !point_ok || !ParseInt(parts[2].c_str(), 0, &index) ||
      (parts.size() == 4 && !ParseInt(parts[3].c_str(), 0, &delay))) {
    return false;
  }
  result->index = static_cast<int>(index);
  result->delay_ms = static_cast<uint32_t>(delay);
  return true;
}

struct Options {
  BoxConfig config;
  std::string link;
  std::string save_image;
  std::string save_body;
  bool once = false;
  long timeout_ms = 0;
  long latency_ms = 0;
  std::string replay;
  bool fast = false;
};

bool Set(bool* flag, bool value) {
  *flag = value;
  return true;
}

bool Set(std::string* text, const char* value) {
  *text = value;
  return true;
}

template <typename T>
bool ReadNumber(const char* text, long min, T* out) {
  long n = 0;
  const bool ok = ParseInt(text, min, &n);
  *out = static_cast<T>(n);
  return ok;
}

// "K:REST" with REST a byte: K into *k.
template <typename T>
bool ReadIndexAndByte(const char* text, T* k, uint8_t* byte) {
  long index = 0;
  std::string rest;
  const bool ok = ParsePair(text, &index, &rest) && ParseByte(rest.c_str(), byte);
  *k = static_cast<T>(index);
  return ok;
}

// One option of the command line: a switch takes no value (one given with '=' is ignored);
// apply reads the value into the options, false when it is bad.
struct OptionRule {
  const char* name;
  bool takes_value;
  bool (*apply)(const char* value, Options* o);
};

constexpr OptionRule kOptionRules[] = {
    {"--once", false, [](const char*, Options* o) { return Set(&o->once, true); }},
    {"--fast", false, [](const char*, Options* o) { return Set(&o->fast, true); }},
    {"--never-boot", false, [](const char*, Options* o) { return Set(&o->config.never_boot, true); }},
    {"--no-body-check", false, [](const char*, Options* o) { return Set(&o->config.check_body, false); }},
    {"--link", true, [](const char* v, Options* o) { return Set(&o->link, v); }},
    {"--silent-probes", true, [](const char* v, Options* o) { return ReadNumber(v, -1, &o->config.silent_probes); }},
    {"--junk", true, [](const char* v, Options* o) { return ParseHex(v, &o->config.junk_before_reply); }},
    {"--platform", true, [](const char* v, Options* o) { return ParseHex(v, &o->config.platform_id); }},
    {"--repair", true,
     [](const char* v, Options* o) {
       uint8_t& first = o->config.repair_first;
       return ParseByte(v, &first) && (first == 0x05 || first == 0x0E);
     }},
    {"--reset-reply", true, [](const char* v, Options* o) { return ParseHex(v, &o->config.reset_reply); }},
    {"--go-reply", true, [](const char* v, Options* o) { return ParseByte(v, &o->config.go_reply); }},
    {"--frame-ack", true, [](const char* v, Options* o) { return ParseByte(v, &o->config.frame_ack); }},
    {"--odd-frame", true,
     [](const char* v, Options* o) { return ReadIndexAndByte(v, &o->config.odd_frame, &o->config.odd_frame_answer); }},
    {"--boot-delay", true, [](const char* v, Options* o) { return ReadNumber(v, 0, &o->config.boot_delay_ms); }},
    {"--ready-noise", true, [](const char* v, Options* o) { return ParseHex(v, &o->config.ready_noise); }},
    {"--ready-delay", true, [](const char* v, Options* o) { return ReadNumber(v, 0, &o->config.ready_delay_ms); }},
    {"--header-verdict", true, [](const char* v, Options* o) { return ParseByte(v, &o->config.header_verdict); }},
    {"--refuse-block", true,
     [](const char* v, Options* o) {
       long k = 0;
       std::string rest;
       const bool ok = ParsePair(v, &k, &rest) && ReadNumber(rest.c_str(), 0, &o->config.refuse_times);
       o->config.refuse_block = static_cast<int>(k);
       return ok;
     }},
    {"--odd-block", true,
     [](const char* v, Options* o) { return ReadIndexAndByte(v, &o->config.odd_block, &o->config.odd_verdict); }},
    {"--text", true, [](const char* v, Options* o) { return Set(&o->config.text, v); }},
    {"--text-at", true,
     [](const char* v, Options* o) {
       BoxConfig& c = o->config;
       c.text_before_header_verdict = std::strcmp(v, "header") == 0;
       c.text_before_final = std::strcmp(v, "final") == 0;
       return c.text_before_header_verdict || c.text_before_final || std::strcmp(v, "after-last") == 0;
     }},
    {"--after-last", true, [](const char* v, Options* o) { return ParseByte(v, &o->config.after_last_verdict); }},
    {"--final", true, [](const char* v, Options* o) { return ParseByte(v, &o->config.final_verdict); }},
    {"--store-ms", true, [](const char* v, Options* o) { return ReadNumber(v, 0, &o->config.store_ms); }},
    {"--store-jitter", true, [](const char* v, Options* o) { return ReadNumber(v, 0, &o->config.store_jitter_ms); }},
    {"--last-block-ms", true, [](const char* v, Options* o) { return ReadNumber(v, 0, &o->config.last_block_ms); }},
    {"--final-delay", true, [](const char* v, Options* o) { return ReadNumber(v, 0, &o->config.final_delay_ms); }},
    {"--noise-byte", true, [](const char* v, Options* o) { return ParseByte(v, &o->config.fault.noise_byte); }},
    {"--fault", true, [](const char* v, Options* o) { return ParseFault(v, &o->config.fault); }},
    {"--noise-burst", true,
     [](const char* v, Options* o) {
       FaultPlan& f = o->config.fault;
       long k = 0;
       long n = 0;
       std::string rest;
       const bool gap = std::strchr(v, ':') != nullptr;
       const bool ok = gap ? ParsePair(v, &k, &rest) && ParseInt(rest.c_str(), 0, &n) : ParseInt(v, 0, &k);
       f.noise_bytes = static_cast<uint32_t>(k);
       f.noise_gap_ms = gap ? static_cast<uint32_t>(n) : 0;
       return ok;
     }},
    {"--byte-time-ms", true,
     [](const char* v, Options* o) {
       char* end = nullptr;
       o->config.byte_time_ms = std::strtod(v, &end);
       return end != v && *end == '\0' && o->config.byte_time_ms >= 0;
     }},
    {"--latency-ms", true,
     [](const char* v, Options* o) { return ParseInt(v, 0, &o->latency_ms) && o->latency_ms <= 255; }},
    {"--save-image", true, [](const char* v, Options* o) { return Set(&o->save_image, v); }},
    {"--save-body", true, [](const char* v, Options* o) { return Set(&o->save_body, v); }},
    {"--replay", true, [](const char* v, Options* o) { return Set(&o->replay, v); }},
    {"--timeout", true, [](const char* v, Options* o) { return ParseInt(v, 1, &o->timeout_ms); }},
};

const OptionRule* FindOptionRule(const std::string& name) {
  const auto* rule = std::find_if(std::begin(kOptionRules), std::end(kOptionRules),
                                  [&name](const OptionRule& r) { return name == r.name; });
  return rule != std::end(kOptionRules) ? rule : nullptr;
}

// Returns 0 to run, 1 after --help, 2 on a bad command line (reported).
int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool has_inline = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_inline = true;
    }
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    const OptionRule* rule = FindOptionRule(name);
    if (rule != nullptr && !rule->takes_value) {
      rule->apply(nullptr, o);
      continue;
    }
    if (!has_inline && i + 1 >= argc) {
      std::fprintf(stderr, "stbsim: %s needs a value (or unknown option)\n", name.c_str());
      return 2;
    }
    if (!has_inline) {
      value = argv[++i];
    }
    if (rule == nullptr) {
      std::fprintf(stderr, "stbsim: unknown option %s (see --help)\n", name.c_str());
      return 2;
    }
    if (!rule->apply(value.c_str(), o)) {
      std::fprintf(stderr, "stbsim: bad value for %s: %s\n", name.c_str(), value.c_str());
      return 2;
    }
  }
  if (o->link.empty()) {
    std::fprintf(stderr, "stbsim: --link PATH is required (see --help)\n");
    return 2;
  }
  return 0;
}

void Save(const std::string& path, const std::vector<uint8_t>& bytes, const char* what) {
  if (path.empty()) {
    return;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "stbsim: cannot write the %s to %s: %s\n", what, path.c_str(), std::strerror(errno));
    return;
  }
  std::fprintf(stderr, "stbsim: %s (%zu bytes) written to %s\n", what, bytes.size(), path.c_str());
}

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a signal wakes the poll, which then looks at the stop flag.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGALRM, &action, nullptr);
  (void)std::signal(SIGPIPE, SIG_IGN);  // cannot fail for SIGPIPE
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed != 0) {
    return parsed == 1 ? 0 : 2;
  }
  InstallSignals();
  if (options.timeout_ms > 0) {
    itimerval timer{};
    timer.it_value.tv_sec = options.timeout_ms / 1000;
    timer.it_value.tv_usec = (options.timeout_ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);
  }

  if (!options.replay.empty()) {
    return ServeReplay(options.replay, options.link, options.fast, &g_stop);
  }
  auto sim = std::make_unique<BoxSim>(options.config, stderr);
  PtyBox box(sim.get(), options.link);
  box.set_latency_ms(static_cast<uint32_t>(options.latency_ms));
  bool completed = false;
  for (int session = 1;; ++session) {
    if (!box.Open()) {
      return 1;
    }
    std::fprintf(stderr, "stbsim: session %d on %s\nstbsim: ready on %s\n", session, box.slave_path().c_str(),
                 options.link.c_str());
    box.Run(&g_stop);
    const bool heard = sim->probes_seen() > 0 || !sim->complaints().empty();
    if (heard) {
      completed = sim->update_complete();
      std::fprintf(stderr,
                   "stbsim: session %d ended (%s): %d probes, image %s, body %zu bytes, %zu complaints, "
                   "update %s\n",
                   session,
                   sim->hung_up()      ? "box hung up"
                   : box.tool_closed() ? "port closed"
                                       : "stopped",
                   sim->probes_seen(), sim->image_complete() ? "complete" : "incomplete", sim->body().size(),
                   sim->complaints().size(), completed ? "complete" : "not complete");
      Save(options.save_image, sim->image(), "image");
      Save(options.save_body, sim->body(), "body");
    }
    if (options.once || g_stop.load()) {
      break;
    }
    sim = std::make_unique<BoxSim>(options.config, stderr);
    box.set_sim(sim.get());
  }
  return completed ? 0 : 1;
}
