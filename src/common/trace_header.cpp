// A trace's header, written and read in one place.
#include "common/trace_header.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/trace.h"

namespace {

// Copies the text between from and the first until after it (or the line's end) into out.
void TakeField(const char* line, const char* from, const char* until, char* out, size_t size) {
  const char* at = std::strstr(line, from);
  if (at == nullptr) {
    return;
  }
  at += std::strlen(from);
  const char* end = std::strstr(at, until);
  const int n = end != nullptr ? static_cast<int>(end - at) : static_cast<int>(std::strlen(at));
  std::snprintf(out, size, "%.*s", n, at);
}

// The back part of text[0, *end) that ends with key and a run of hex digits of length digits;
// on a match *end moves to key's start.
bool TakeBack(const char* text, int* end, const char* key, int digits, char* out) {
  const int key_length = static_cast<int>(std::strlen(key));
  const int at = *end - digits - key_length;
  if (at < 0 || std::strncmp(text + at, key, static_cast<size_t>(key_length)) != 0) {
    return false;
  }
  for (int i = 0; i < digits; ++i) {
    if (std::strchr("0123456789ABCDEF", text[at + key_length + i]) == nullptr) {
      return false;
    }
  }
  std::memcpy(out, text + at + key_length, static_cast<size_t>(digits));
  out[digits] = '\0';
  *end = at;
  return true;
}

bool EndsAt(const char* text, int from, int end, const char* word) {
  const int n = static_cast<int>(std::strlen(word));
  return end - from >= n && std::strncmp(text + end - n, word, static_cast<size_t>(n)) == 0;
}

// A name as console text is escaped, and its ';' as \x3B too: then no name holds the "; file "
// or "; started " that the fields are told apart by. TraceUnescape undoes both.
void EscapeName(const char* name, char* out, size_t size) {
  static char escaped[4096];
  TraceEscape(name, std::strlen(name), escaped, sizeof escaped);
  size_t n = 0;
  for (const char* c = escaped; *c != '\0' && n + 4 < size; ++c) {
    if (*c == ';') {
      std::memcpy(out + n, "\\x3B", 4);
      n += 4;
    } else {
      out[n++] = *c;
    }
  }
  out[n] = '\0';
}

}  // namespace

size_t FormatTraceHeader(const TraceHeader& header, char* out, size_t size) {
  const TraceHeader& h = header;
  char port[sizeof h.port * 4];
  char file[sizeof h.sdf_file * 4];
  EscapeName(h.port, port, sizeof port);
  EscapeName(h.sdf_file, file, sizeof file);
  char described[sizeof file + 96];
  if (h.file == kHeaderFileRead) {
    std::snprintf(described, sizeof described, "file %s %lld bytes, data_crc32 %s, id %s", file,
                  static_cast<long long>(h.sdf_bytes), h.data_crc32, h.sdf_id);
  } else if (h.file == kHeaderFileNoHeader) {
    std::snprintf(described, sizeof described, "file %s %lld bytes, no header", file,
                  static_cast<long long>(h.sdf_bytes));
  } else {
    std::snprintf(described, sizeof described, "file %s unreadable", file);
  }
  const int n = std::snprintf(out, size, "version %s; image %lu bytes sha256 %s; port %s; %s; started %s", h.version,
                              static_cast<unsigned long>(h.image_bytes), h.image_sha256, port, described, h.started);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size > 0) {
      out[0] = '\0';
    }
    return 0;
  }
  return static_cast<size_t>(n);
}

int ReadTraceHeader(const char* line, TraceHeader* header) {
  const char* text = line;
  TraceHeader* h = header;
  *h = TraceHeader{};
  if (std::strncmp(text, "# version ", 10) != 0) {
    return 0;
  }
  TakeField(text, "# version ", "; ", h->version, sizeof h->version);
  if (const char* image = std::strstr(text, "; image "); image != nullptr) {
    h->image_bytes = static_cast<uint32_t>(std::strtoul(image + 8, nullptr, 10));
  }
  TakeField(text, " bytes sha256 ", ";", h->image_sha256, sizeof h->image_sha256);
  char port[sizeof h->port * 4] = {};
  TakeField(text, "; port ", "; file ", port, sizeof port);
  h->port[TraceUnescape(port, std::strlen(port), h->port, sizeof h->port - 1)] = '\0';
  const char* file = std::strstr(text, "; file ");
  const char* started = nullptr;
  for (const char* at = std::strstr(text, "; started "); at != nullptr; at = std::strstr(at + 1, "; started ")) {
    started = at;
  }
  if (started != nullptr) {
    std::snprintf(h->started, sizeof h->started, "%s", started + 10);
  }
  if (file == nullptr || started == nullptr || started < file) {
    return 1;
  }
  file += std::strlen("; file ");
  const int from = static_cast<int>(file - text);
  int end = static_cast<int>(started - text);
  int fields = end;
  char id[sizeof h->sdf_id];
  char crc[sizeof h->data_crc32];
  if (TakeBack(text, &fields, ", id ", 16, id) && TakeBack(text, &fields, ", data_crc32 ", 8, crc)) {
    std::memcpy(h->sdf_id, id, sizeof id);
    std::memcpy(h->data_crc32, crc, sizeof crc);
    h->file = kHeaderFileRead;
    end = fields;
  } else if (EndsAt(text, from, end, ", no header")) {
    h->file = kHeaderFileNoHeader;
    end -= 11;
  } else if (EndsAt(text, from, end, " unreadable")) {
    end -= 11;
  }
  // " N bytes" before the fields, when the file could be read.
  if (h->file != kHeaderFileUnreadable && EndsAt(text, from, end, " bytes")) {
    int digits = end - 6;
    while (digits > from && text[digits - 1] >= '0' && text[digits - 1] <= '9') {
      --digits;
    }
    if (digits < end - 6 && digits > from && text[digits - 1] == ' ') {
      h->sdf_bytes = std::atoll(text + digits);
      end = digits - 1;
    }
  }
  h->sdf_file[TraceUnescape(file, static_cast<size_t>(end - from), h->sdf_file, sizeof h->sdf_file - 1)] = '\0';
  return 1;
}
