// A box's record: the field table and the two line formats made from it.
#include "records/record.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"

const RecordField kRecordFields[kFieldCount] = {
    {"record_id", kFieldText, "text"},
    {"slot", kFieldNumber, "integer"},
    {"port", kFieldText, "text"},
    {"seq", kFieldNumber, "integer"},
    {"start", kFieldText, "timestamptz"},
    {"end", kFieldText, "timestamptz"},
    {"seconds", kFieldNumber, "double precision"},
    {"result", kFieldText, "text"},
    {"stage", kFieldText, nullptr},
    {"failure", kFieldText, "text"},
    {"exit", kFieldText, nullptr},
    {"exit", kFieldNumber, "integer"},
    {"signal", kFieldText, "text"},  // a name as a shell gives it: "SIGINT", or Windows' "0xC000013A"
    {"sdf_file", kFieldText, "text"},
    {"data_crc32", kFieldText, "text"},
    {"log", kFieldText, "text"},
    {"trace", kFieldText, "text"},
    {"records", kFieldText, nullptr},
    {"schema", kFieldNumber, "integer"},
    {"station", kFieldText, "text"},
    {"device", kFieldText, "text"},
    {"adapter_serial", kFieldText, "text"},
    {"firmware_seconds", kFieldNumber, "double precision"},
    {"software_seconds", kFieldNumber, "double precision"},
    {"category", kFieldText, "text"},
    {"platform", kFieldText, "text"},
    {"repair_mode", kFieldTruth, "boolean"},
    {"sdf_bytes", kFieldNumber, "bigint"},
    {"sdf_id", kFieldText, "text"},
    {"resends", kFieldNumber, "integer"},
    {"stray_bytes", kFieldNumber, "integer"},
    {"boxload_version", kFieldText, "text"},
    {"image_sha256", kFieldText, "text"},
    {"run_id", kFieldText, "text"},
    {"box_label", kFieldText, "text"},
};

// Each file's order, which never changes for what it had: a new field goes at the end of both.
const FieldId kCsvColumns[] = {
    kFieldSlot,
    kFieldPort,
    kFieldSeq,
    kFieldStart,
    kFieldEnd,
    kFieldSeconds,
    kFieldResult,
    kFieldStage,
    kFieldFailure,
    kFieldExitText,
    kFieldSdfFile,
    kFieldDataCrc32,
    kFieldLog,
    kFieldTrace,
    kFieldRecords,
    kFieldSchema,
    kFieldRecordId,
    kFieldStation,
    kFieldDevice,
    kFieldAdapterSerial,
    kFieldFirmwareSeconds,
    kFieldSoftwareSeconds,
    kFieldCategory,
    kFieldSignal,
    kFieldPlatform,
    kFieldRepairMode,
    kFieldSdfBytes,
    kFieldSdfId,
    kFieldResends,
    kFieldStrayBytes,
    kFieldBoxloadVersion,
    kFieldImageSha256,
    kFieldRunId,
    kFieldBoxLabel,
};
const size_t kCsvColumnCount = sizeof kCsvColumns / sizeof kCsvColumns[0];

const FieldId kJsonMembers[] = {
    kFieldRecordId,
    kFieldSlot,
    kFieldPort,
    kFieldSeq,
    kFieldStart,
    kFieldEnd,
    kFieldSeconds,
    kFieldResult,
    kFieldStage,
    kFieldFailure,
    kFieldExitStatus,
    kFieldSignal,
    kFieldSdfFile,
    kFieldDataCrc32,
    kFieldLog,
    kFieldTrace,
    kFieldRecords,
    kFieldSchema,
    kFieldStation,
    kFieldDevice,
    kFieldAdapterSerial,
    kFieldFirmwareSeconds,
    kFieldSoftwareSeconds,
    kFieldCategory,
    kFieldPlatform,
    kFieldRepairMode,
    kFieldSdfBytes,
    kFieldSdfId,
    kFieldResends,
    kFieldStrayBytes,
    kFieldBoxloadVersion,
    kFieldImageSha256,
    kFieldRunId,
    kFieldBoxLabel,
};
const size_t kJsonMemberCount = sizeof kJsonMembers / sizeof kJsonMembers[0];

namespace {

// Text appended to a buffer that knows when it overflowed: a row is written whole or not at all.
struct Out {
  char* text;
  size_t size;
  size_t used;
  bool full;
};

void Put(Out* o, const char* bytes, size_t n) {
  if (o->full || o->used + n >= o->size) {
    o->full = true;
    return;
  }
  std::memcpy(o->text + o->used, bytes, n);
  o->used += n;
  o->text[o->used] = '\0';
}
void Put(Out* o, const char* text) { Put(o, text, std::strlen(text)); }
void PutByte(Out* o, unsigned char c) {
  const char b = static_cast<char>(c);
  Put(o, &b, 1);
}
void PutHex(Out* o, const char* format, unsigned value) {
  char text[12];
  const int n = std::snprintf(text, sizeof text, format, value);
  Put(o, text, static_cast<size_t>(n));
}

// The length of the well-formed UTF-8 sequence at text (no overlong form, no surrogate, nothing
// past U+10FFFF), or 0 when the byte there starts none. *cp is its code point.
int Utf8Length(const unsigned char* text, uint32_t* cp) {
  const unsigned char b = text[0];
  int n = 0;
  uint32_t min = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80, *cp = b & 0x1FU;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800, *cp = b & 0x0FU;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000, *cp = b & 0x07U;
  } else {
    return 0;
  }
  for (int i = 1; i < n; ++i) {
    if ((text[i] & 0xC0U) != 0x80U) {
      return 0;  // the end of the text included
    }
    *cp = (*cp << 6) | (text[i] & 0x3FU);
  }
  return *cp >= min && *cp <= 0x10FFFF && (*cp < 0xD800 || *cp > 0xDFFF) ? n : 0;
}

// A CSV text: quoted, quotes doubled, and nothing a terminal would act on: control bytes, C1
// code points and bytes of no UTF-8 sequence as \xHH, and \ as \\ so that the escapes are
// unambiguous.
void CsvText(Out* o, const char* text) {
  PutByte(o, '"');
  const auto* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != '\0') {
    const unsigned char u = *c;
    uint32_t cp = 0;
    if (u == '"') {
      Put(o, "\"\"");
      ++c;
    } else if (u == '\\') {
      Put(o, "\\\\");
      ++c;
    } else if (u < 0x80 && !IsControlByte(u)) {
      PutByte(o, u);
      ++c;
    } else if (const int n = Utf8Length(c, &cp); n > 0 && cp >= 0xA0) {
      Put(o, reinterpret_cast<const char*>(c), static_cast<size_t>(n));
      c += n;
    } else {
      // A control byte, a C1 code point as its bytes, or a byte of no UTF-8 sequence.
      const int k = n > 0 ? n : 1;
      for (int i = 0; i < k; ++i) {
        PutHex(o, "\\x%02X", c[i]);
      }
      c += k;
    }
  }
  PutByte(o, '"');
}

// A JSON string that is always valid UTF-8: control bytes and C1 code points as \u escapes, a byte that starts no
// well-formed sequence as U+FFFD (a box's text, a port's name, may hold anything).
void JsonText(Out* o, const char* text) {
  PutByte(o, '"');
  const auto* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != '\0') {
    const unsigned char u = *c;
    uint32_t cp = 0;
    if (u == '"' || u == '\\') {
      PutByte(o, '\\');
      PutByte(o, u);
      ++c;
    } else if (u < 0x20 || u == 0x7F) {
      PutHex(o, "\\u%04X", u);
      ++c;
    } else if (u < 0x80) {
      PutByte(o, u);
      ++c;
    } else if (const int n = Utf8Length(c, &cp); n > 0 && cp >= 0xA0) {
      Put(o, reinterpret_cast<const char*>(c), static_cast<size_t>(n));
      c += n;
    } else if (n > 0) {
      PutHex(o, "\\u%04X", cp);  // C1: a terminal may take U+009B for CSI
      c += n;
    } else {
      Put(o, "\\uFFFD");
      ++c;
    }
  }
  PutByte(o, '"');
}

size_t Done(Out* o) {
  if (o->full) {
    if (o->size > 0) {
      o->text[0] = '\0';
    }
    return 0;
  }
  return o->used;
}

}  // namespace

size_t FormatCsvHeading(char* out, size_t size) {
  Out o{out, size, 0, size == 0};
  for (size_t i = 0; i < kCsvColumnCount; ++i) {
    if (i > 0) {
      PutByte(&o, ',');
    }
    Put(&o, kRecordFields[kCsvColumns[i]].name);
  }
  PutByte(&o, '\n');
  return Done(&o);
}

size_t FormatCsvLine(const Record& record, char* out, size_t size) {
  Out o{out, size, 0, size == 0};
  for (size_t i = 0; i < kCsvColumnCount; ++i) {
    const FieldId id = kCsvColumns[i];
    const char* value = record.value[id];
    if (i > 0) {
      PutByte(&o, ',');
    }
    if (kRecordFields[id].kind == kFieldText) {
      CsvText(&o, value != nullptr ? value : "");
    } else if (value != nullptr) {
      Put(&o, value);
    }
  }
  PutByte(&o, '\n');
  return Done(&o);
}

size_t FormatJsonLine(const Record& record, char* out, size_t size) {
  Out o{out, size, 0, size == 0};
  for (size_t i = 0; i < kJsonMemberCount; ++i) {
    const FieldId id = kJsonMembers[i];
    const char* value = record.value[id];
    PutByte(&o, i == 0 ? '{' : ',');
    PutByte(&o, '"');
    Put(&o, kRecordFields[id].name);
    Put(&o, "\":");
    if (value == nullptr) {
      Put(&o, "null");
    } else if (kRecordFields[id].kind == kFieldText) {
      JsonText(&o, value);
    } else {
      Put(&o, value);
    }
  }
  Put(&o, "}\n");
  return Done(&o);
}

int FieldByName(const char* name) {
  for (size_t i = 0; i < kJsonMemberCount; ++i) {
    if (std::strcmp(kRecordFields[kJsonMembers[i]].name, name) == 0) {
      return kJsonMembers[i];
    }
  }
  return -1;
}
