// A row of summary.jsonl checked before the database sees it: a row the table cannot take is
// refused alone, with the field named, and never takes the rows sent with it down.
//
//   CheckRow(line, why, size)   1 when line is one flat JSON object of schema kRecordSchema with a
//                               non-empty text record_id, each field that has a column holding
//                               null or a value of its column's type and range; 0 with why
//                               ("field seconds: \"abc\" is not a number") when it is not
//   SqlTypeName(field)          the type's name as the catalog writes it ("timestamp with time
//                               zone" for timestamptz), or null for a field without a column
//
// A member the record table does not know (a field of a later boxstation) may hold any JSON
// value: it lives in the row alone.
#pragma once

#include <cstddef>

#include "records/record.h"

int CheckRow(const char* line, char* why, size_t why_size);
const char* SqlTypeName(int field);
