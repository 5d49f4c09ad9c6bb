// A box's record: its fields, in one table, from which summary.csv's columns, summary.jsonl's
// members and the database's typed columns are all made. Adding a field is one row here.
//
// The station fills a Record with each field's text (null when the field has none for the box);
// the formatters write it out. Each file keeps its columns' places: a field new to a file goes
// after all it had, which is why record_id and signal, in the JSON from the start, come into the
// CSV at its end, and why "exit" is a shell's word in the CSV ("0", "SIGINT", "not started") but
// a number in the JSON, with the signal apart.
//
//   FormatCsvHeading(out, size)     the CSV's first line, with its line end
//   FormatCsvLine(record, out, size)
//   FormatJsonLine(record, out, size)
//                                   one line, with its line end; its length, or 0 when it does
//                                   not fit (out holds "" then)
//   FieldByName(name)               the field a JSON member of that name holds, or -1
//
// The CSV quotes every text and writes its control bytes (00-1F but BS, TAB, LF and CR; 7F;
// 80-9F and U+0080-U+009F; a byte that starts no well-formed UTF-8 sequence) as \xHH, and a
// backslash itself as \\: a box's text may hold a terminal's escape sequence, and
// `cat summary.csv` must never run it. The JSON is
// always valid UTF-8: control bytes as \u escapes, a broken sequence as U+FFFD.
#pragma once

#include <cstddef>

// The records' schema: fields are only ever added within one; a field renamed or removed makes
// the next.
inline constexpr int kRecordSchema = 1;

enum FieldId : int {
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
  kFieldExitText,    // the CSV's "exit": "0", "SIGINT", "not started"
  kFieldExitStatus,  // the JSON's "exit": the status as a number, null after a signal
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
  kFieldBoxLabel,  // the operator's label for the box (--label), never checked against the box
  kFieldCount,
};

// How a field's text is written: a number and a truth ("true", "false") bare in both files, a
// text quoted in both (and escaped as above).
enum FieldKind { kFieldNumber, kFieldTruth, kFieldText };

struct RecordField {
  const char* name;  // the CSV column and the JSON member
  FieldKind kind;
  const char* sql_type;  // the database column's type; null: the field lives in the row alone
};
extern const RecordField kRecordFields[kFieldCount];

// The CSV's columns and the JSON's members, each in its file's order.
extern const FieldId kCsvColumns[];
extern const size_t kCsvColumnCount;
extern const FieldId kJsonMembers[];
extern const size_t kJsonMemberCount;

struct Record {
  const char* value[kFieldCount] = {};  // null: no value (JSON null, an empty CSV field)
};

size_t FormatCsvHeading(char* out, size_t size);
size_t FormatCsvLine(const Record& record, char* out, size_t size);
size_t FormatJsonLine(const Record& record, char* out, size_t size);
int FieldByName(const char* name);
