// The station's command line: options anywhere, then the SDF file and one port per slot.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/platform_prefix.h"
#include "records/results.h"
#include "station/station_run.h"

void Usage() {
  std::fprintf(
      stderr,
      "usage: boxstation [--log-dir DIR] [--loop [--count N]] [--label optional|required] [--timeout SEC] "
      "[--platform HEX] [--station NAME] [--results URL] FILE.sdf PORT...\n"
      "       boxstation --push URL DIR...\n"
      "  PORT as boxload takes it (a device path; COMn on Windows; or a number 1 to 8), one slot each, at most %d\n"
      "  --loop: a slot whose box ended starts again on its key (1-9, a-z: the first %d slots) or Enter\n"
      "  --label: each box starts by lines (the terminal's, or standard input's): a slot (SLOT-07, or 7),\n"
      "    then the box's label; SLOT-CANCEL clears the slot picked, SLOT-07-ABORT aborts slot 7's box\n"
      "  --platform HEX: update only boxes whose platform begins with these bytes (as boxload)\n"
      "  --station NAME: the bench's name in every record (1 to %d bytes, no control bytes; by default "
      "the host's name)\n",
      kMaxSlots, kKeySlots, static_cast<int>(kStationNameSize - 1));
}

namespace {

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

// A name the records carry as it is: no control byte, which would break a log line or a CSV row.
bool ReadStationName(const char* text, char* name, size_t size) {
  const size_t n = std::strlen(text);
  if (n == 0 || n >= size) {
    return false;
  }
  for (const char* c = text; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) {
      return false;
    }
  }
  CopyText(name, size, text);
  return true;
}

// The host's name, with any control byte as '?', when --station names none.
void DefaultStationName(char* name, size_t size) {
  if (HostName(name, size) == 0) {
    CopyText(name, size, "unnamed");
  }
  for (char* c = name; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) {
      *c = '?';
    }
  }
}

}  // namespace

// Options anywhere; the first other word is the file, the rest are ports.
int ReadCommandLine(int argc, char** argv, Station* s, const char** log_dir) {
  int port_count = 0;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
      Usage();
      std::exit(kExitAllUpdated);
    } else if (std::strcmp(word, "--loop") == 0) {
      s->loop = true;
    } else if (std::strcmp(word, "--label") == 0 && has_value) {
      const char* mode = argv[++i];
      s->label_mode = std::strcmp(mode, "optional") == 0   ? kLabelOptional
                      : std::strcmp(mode, "required") == 0 ? kLabelRequired
                                                           : kLabelNone;
      if (s->label_mode == kLabelNone) {
        std::fprintf(stderr, "boxstation: --label takes optional or required, not %s\n", mode);
        return 0;
      }
      s->loop = true;  // every box starts by its lines, and a slot starts again the same way
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
    } else if (std::strcmp(word, "--station") == 0 && has_value) {
      if (!ReadStationName(argv[++i], s->name, sizeof s->name)) {
        char shown[kPathSize];
        ShownText(argv[i], shown, sizeof shown);
        std::fprintf(stderr, "boxstation: --station takes a name of 1 to %d bytes with no control bytes, not %s\n",
                     static_cast<int>(kStationNameSize - 1), shown);
        return 0;
      }
    } else if (std::strcmp(word, "--results") == 0 && has_value) {  // PostgreSQL: records/results.h
      if (ResultsOption(argv[++i]) == 0) {
        return 0;
      }
    } else if (std::strcmp(word, "--platform") == 0 && has_value) {
      PlatformPrefix prefix;
      if (ReadPlatformPrefix(argv[++i], &prefix) == 0) {
        std::fprintf(stderr, "boxstation: --platform takes 1 to 12 bytes in hex, such as 4B4D5637, not %s\n", argv[i]);
        return 0;
      }
      s->platform = argv[i];
    } else if (word[0] == '-' && word[1] == '-') {
      std::fprintf(stderr, "boxstation: %s: unknown option, or its value is missing\n", word);
      return 0;
    } else if (file == nullptr) {
      file = word;
    } else if (port_count == kMaxSlots) {
      std::fprintf(stderr, "boxstation: at most %d ports\n", kMaxSlots);
      return 0;
    } else {
      // Keys 1-9, then a-z; the slots past them have none.
      const char key = port_count < 9 ? static_cast<char>('1' + port_count) : static_cast<char>('a' + (port_count - 9));
      s->slots[port_count].key = port_count < kKeySlots ? key : '\0';
      s->slots[port_count++].port = word;
    }
  }
  if (file == nullptr || port_count == 0) {
    return 0;
  }
  if (s->loop && s->label_mode == kLabelNone && port_count > kKeySlots) {
    std::fprintf(stderr, "boxstation: --loop has keys for %d slots: past them, start each box by its lines (--label)\n",
                 kKeySlots);
    return 0;
  }
  if (s->count != 0 && !s->loop) {
    std::fprintf(stderr, "boxstation: --count goes with --loop\n");
    return 0;
  }
  if (s->name[0] == '\0') {
    DefaultStationName(s->name, sizeof s->name);
  }
  s->sdf_name = file;
  s->slot_count = port_count;
  return 1;
}
