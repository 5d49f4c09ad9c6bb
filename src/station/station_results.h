// The station's rows in PostgreSQL: every bench's boxes in one table.
//
// The folder's summary.jsonl stays the record and a bench needs nothing else. With --results the
// station also stores each line of it, exactly as written, in table boxload_results: the whole
// line as jsonb and the fields it knows in typed columns, with one row per record_id however
// often a line is sent. The database never sees SQL built from a row: each line goes as the one
// parameter of a fixed statement. The store follows the file, so a row that could not be sent
// (the server down, the network gone) is simply sent again later from where the file was left.
// Nothing here knows the set of fields: a field with no column lives in the jsonb alone, and a
// value that does not fit its column's type leaves that column empty.
//
//   ResultsOption(url)      --results URL: 1 when libpq takes url as a connection string or URI;
//                           0 after a stderr line (a usage error, before any box starts)
//   ResultsBegin(log_dir)   with --results: connects, makes the table and view when missing, and
//                           follows log_dir/summary.jsonl from its start; a server that cannot be
//                           reached gets one stderr line and the bench goes on. Without it, nothing
//   ResultsTend(now)        sends what the file has gained since; while the server is down it
//                           tries again at most every few seconds, and one call never holds the
//                           station for long (the connect time-out is a few seconds)
//   ResultsEnd()            a last try, then a stderr line with the rows not stored, if any
//   PushMain(argc, argv)    boxstation --push URL DIR...: sends each folder's summary.jsonl rows
//                           that the table does not hold yet and prints what it sent; the exit
//                           status (0, 1 when the server cannot be reached or a row was refused,
//                           2 on a usage error)
//
// Where libpq is not found (the Windows build) the same functions refuse both options with a
// line that points at --push from a host that has it.
#pragma once

#include <cstdint>

int ResultsOption(const char* url);
void ResultsBegin(const char* log_dir);
void ResultsTend(uint32_t now);
void ResultsEnd();
int PushMain(int argc, char** argv);
