// A row of summary.jsonl checked before the database sees it (see row_check.h).
#include "records/row_check.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kShortText = 64;  // enough for any member name or time stamp we check

struct Scan {
  const char* p;
};

void SkipSpace(Scan* s) {
  while (*s->p == ' ' || *s->p == '\t' || *s->p == '\r' || *s->p == '\n') {
    ++s->p;
  }
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A JSON string at s->p (its opening quote); its first kShortText - 1 bytes, unescaped, into
// text (escapes other than \uXXXX kept as their letter). *nul: it holds \u0000, which jsonb
// refuses.
bool ScanString(Scan* s, char* text, size_t* length, bool* nul) {
  ++s->p;
  size_t n = 0;
  *nul = false;
  for (;;) {
    char c = *s->p++;
    if (c == '"') {
      break;
    }
    if (c == '\0' || static_cast<unsigned char>(c) < 0x20) {
      return false;
    }
    if (c == '\\') {
      c = *s->p++;
      if (c == 'u') {
        for (int i = 0; i < 4; ++i) {
          if (!IsHex(s->p[i])) {
            return false;
          }
        }
        *nul = *nul || std::strncmp(s->p, "0000", 4) == 0;
        s->p += 4;
        c = '?';
      } else if (std::strchr("\"\\/bfnrt", c) == nullptr || c == '\0') {
        return false;
      }
    }
    if (n + 1 < kShortText) {
      text[n++] = c;
    }
  }
  text[n] = '\0';
  *length = n;
  return true;
}

// A JSON number; *integral when it has neither fraction nor exponent.
bool ScanNumber(Scan* s, bool* integral, size_t* digits) {
  const char* p = s->p;
  *integral = true;
  if (*p == '-') {
    ++p;
  }
  const char* first = p;
  if (*p == '0') {
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    while (*p >= '0' && *p <= '9') {
      ++p;
    }
  } else {
    return false;
  }
  *digits = static_cast<size_t>(p - first);
  if (*p == '.') {
    *integral = false;
    ++p;
    if (!(*p >= '0' && *p <= '9')) {
      return false;
    }
    while (*p >= '0' && *p <= '9') {
      ++p;
    }
  }
  if (*p == 'e' || *p == 'E') {
    *integral = false;
    ++p;
    if (*p == '+' || *p == '-') {
      ++p;
    }
    if (!(*p >= '0' && *p <= '9')) {
      return false;
    }
    while (*p >= '0' && *p <= '9') {
      ++p;
    }
  }
  s->p = p;
  return true;
}

// An object or array of an unknown member, passed over whole.
bool SkipNested(Scan* s) {
  int depth = 0;
  for (;;) {
    const char c = *s->p;
    if (c == '\0') {
      return false;
    }
    if (c == '"') {
      char text[kShortText];
      size_t length = 0;
      bool nul = false;
      if (!ScanString(s, text, &length, &nul)) {
        return false;
      }
      continue;
    }
    ++s->p;
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) {
        return true;
      }
    }
  }
}

bool Digits(const char* p, int n) {
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') {
      return false;
    }
  }
  return true;
}

int Number(const char* p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// YYYY-MM-DDTHH:MM:SS[.fff][Z|+HH:MM|-HH:MM], a real date and time: the form the station writes.
bool IsTimeStamp(const char* t) {
  if (!(Digits(t, 4) && t[4] == '-' && Digits(t + 5, 2) && t[7] == '-' && Digits(t + 8, 2) &&
        (t[10] == 'T' || t[10] == ' ') && Digits(t + 11, 2) && t[13] == ':' && Digits(t + 14, 2) && t[16] == ':' &&
        Digits(t + 17, 2))) {
    return false;
  }
  const int year = Number(t, 4);
  const int month = Number(t + 5, 2);
  const int day = Number(t + 8, 2);
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
      Number(t + 11, 2) > 23 || Number(t + 14, 2) > 59 || Number(t + 17, 2) > 60) {
    return false;
  }
  const char* p = t + 19;
  if (*p == '.') {
    ++p;
    if (!Digits(p, 1)) {
      return false;
    }
    while (*p >= '0' && *p <= '9') {
      ++p;
    }
  }
  if (*p == 'Z') {
    ++p;
  } else if (*p == '+' || *p == '-') {
    if (!(Digits(p + 1, 2) && p[3] == ':' && Digits(p + 4, 2))) {
      return false;
    }
    p += 6;
  }
  return *p == '\0';
}

// A JSON integer of digits digits at value, within PostgreSQL's integer.
bool FitsInteger(const char* value, size_t digits) {
  if (digits > 10) {
    return false;
  }
  const bool negative = *value == '-';
  long long magnitude = 0;
  for (size_t i = 0; i < digits; ++i) {
    magnitude = magnitude * 10 + (value[i + (negative ? 1 : 0)] - '0');
  }
  return negative ? magnitude <= 2147483648LL : magnitude <= 2147483647LL;
}

enum Json { kJsonString, kJsonNumber, kJsonTrue, kJsonFalse, kJsonNull, kJsonNested };

// One member's value against its field's column.
bool FitsColumn(const char* name, const char* sql_type, Json json, const char* value, const char* text, size_t length,
                bool integral, size_t digits, char* why, size_t why_size) {
  if (json == kJsonNull || sql_type == nullptr) {
    return true;
  }
  const char* wanted = nullptr;
  if (std::strcmp(sql_type, "text") == 0) {
    wanted = json == kJsonString ? nullptr : "a text";
  } else if (std::strcmp(sql_type, "boolean") == 0) {
    wanted = json == kJsonTrue || json == kJsonFalse ? nullptr : "true or false";
  } else if (std::strcmp(sql_type, "double precision") == 0) {
    // A JSON number's exponent may overflow a double: PostgreSQL refuses that row.
    wanted = json == kJsonNumber && digits <= 300 ? nullptr : "a number";
  } else if (std::strcmp(sql_type, "integer") == 0) {
    wanted = json == kJsonNumber && integral && FitsInteger(value, digits) ? nullptr : "a whole number of 32 bits";
  } else if (std::strcmp(sql_type, "bigint") == 0) {
    wanted = json == kJsonNumber && integral && digits <= 18 ? nullptr : "a whole number of at most 18 digits";
  } else if (std::strcmp(sql_type, "timestamptz") == 0) {
    wanted = json == kJsonString && length + 1 < kShortText && IsTimeStamp(text)
                 ? nullptr
                 : "a time such as 2026-12-07T09:00:00.000Z";
  }
  if (wanted != nullptr) {
    std::snprintf(why, why_size, "field %s is not %s", name, wanted);
    return false;
  }
  return true;
}

}  // namespace

const char* SqlTypeName(int field) {
  if (field < 0 || field >= kFieldCount || kRecordFields[field].sql_type == nullptr) {
    return nullptr;
  }
  const char* type = kRecordFields[field].sql_type;
  return std::strcmp(type, "timestamptz") == 0 ? "timestamp with time zone" : type;
}

int CheckRow(const char* line, char* why, size_t why_size) {
  Scan s{line};
  bool record_id = false;
  bool schema = false;
  SkipSpace(&s);
  if (*s.p != '{') {
    std::snprintf(why, why_size, "not a JSON object");
    return 0;
  }
  ++s.p;
  SkipSpace(&s);
  bool first = true;
  while (*s.p != '}') {
    if (!first) {
      if (*s.p != ',') {
        std::snprintf(why, why_size, "not valid JSON at byte %d", static_cast<int>(s.p - line) + 1);
        return 0;
      }
      ++s.p;
      SkipSpace(&s);
    }
    first = false;
    char name[kShortText];
    size_t name_length = 0;
    bool nul = false;
    if (*s.p != '"' || !ScanString(&s, name, &name_length, &nul)) {
      std::snprintf(why, why_size, "not valid JSON at byte %d", static_cast<int>(s.p - line) + 1);
      return 0;
    }
    SkipSpace(&s);
    if (*s.p != ':') {
      std::snprintf(why, why_size, "not valid JSON at byte %d", static_cast<int>(s.p - line) + 1);
      return 0;
    }
    ++s.p;
    SkipSpace(&s);
    Json json = kJsonNull;
    char text[kShortText] = {};
    size_t length = 0;
    bool integral = false;
    size_t digits = 0;
    bool ok = true;
    const char* value = s.p;
    if (*s.p == '"') {
      json = kJsonString;
      ok = ScanString(&s, text, &length, &nul);
      if (ok && nul) {
        std::snprintf(why, why_size, "field %s holds \\u0000, which PostgreSQL's jsonb cannot hold", name);
        return 0;
      }
    } else if (*s.p == '-' || (*s.p >= '0' && *s.p <= '9')) {
      json = kJsonNumber;
      ok = ScanNumber(&s, &integral, &digits);
    } else if (std::strncmp(s.p, "true", 4) == 0) {
      json = kJsonTrue;
      s.p += 4;
    } else if (std::strncmp(s.p, "false", 5) == 0) {
      json = kJsonFalse;
      s.p += 5;
    } else if (std::strncmp(s.p, "null", 4) == 0) {
      s.p += 4;
    } else if (*s.p == '{' || *s.p == '[') {
      json = kJsonNested;
      ok = SkipNested(&s);
    } else {
      ok = false;
    }
    if (!ok) {
      std::snprintf(why, why_size, "field %s: not valid JSON", name);
      return 0;
    }
    SkipSpace(&s);
    const int field = FieldByName(name);
    if (std::strcmp(name, "schema") == 0) {
      schema = true;
      if (json != kJsonNumber || !integral || digits > 9 || *value == '-' ||
          Number(value, static_cast<int>(digits)) != kRecordSchema) {
        std::snprintf(why, why_size, "a row of another schema than %d, which this boxstation does not know",
                      kRecordSchema);
        return 0;
      }
    } else if (std::strcmp(name, "record_id") == 0) {
      if (json != kJsonString || length == 0) {
        std::snprintf(why, why_size, "field record_id is not a non-empty text");
        return 0;
      }
      record_id = true;
    } else if (field >= 0 && !FitsColumn(name, kRecordFields[field].sql_type, json, value, text, length, integral,
                                         digits, why, why_size)) {
      return 0;
    }
  }
  ++s.p;
  SkipSpace(&s);
  if (*s.p != '\0') {
    std::snprintf(why, why_size, "bytes after the JSON object");
    return 0;
  }
  if (!schema) {
    std::snprintf(why, why_size, "it has no field schema");
    return 0;
  }
  if (!record_id) {
    std::snprintf(why, why_size, "it has no field record_id");
    return 0;
  }
  return 1;
}
