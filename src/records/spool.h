// A run's records on disk: the folder's files that hold every box's record, written by the
// station alone, forced to disk, and read back by the database's sender and by --push.
//
//   summary.csv, summary.jsonl  a row in each as a box ends
//   starts.jsonl                a line as a box starts, before its boxload does: a box with a
//                               start and no row was cut off by the station's end
//   station.lock                held (an advisory lock) while the station runs
//
// Writing (the station):
//   SpoolOpen(spool, folder, why, size)
//                    creates the four files (never over a file that exists) and takes the lock;
//                    0 with why when it cannot
//   SpoolStart(spool, start, why, size)
//                    a box's start line (record_id, slot, seq, port, start, station, run_id,
//                    sdf_file of start), on disk before the call returns; 0 with why
//   SpoolAppend(spool, record, why, size)
//                    the box's row in both summaries, on disk before the call returns; only
//                    then does SpoolSynced count it. 0 with why ("summary.csv: No space left
//                    on device")
//   SpoolSynced(spool)   the bytes of summary.jsonl that are on disk: any thread may ask
//   SpoolClose(spool)    closes the files and lets the lock go
//
// Reading (any process, never writing into the folder):
//   SpoolReadOpen(reader, path)       0 with errno when the file cannot be opened
//   SpoolNextLine(reader, limit, line, size)
//                    the next whole line that ends before byte limit (-1: the file's end),
//                    without its end: kLine, kLineTooLong (skipped; line holds ""), or kNoLine
//                    (nothing more yet: a last line without its end waits for it)
//   SpoolReadClose(reader)
//   FolderStationRunning(folder)      1 while the folder's station holds its lock, 0 when it
//                    does not (it has ended, or died), -1 when the folder has no lock file (a
//                    folder of an earlier version, whose station has ended)
//   InterruptedRows(folder, each, context)
//                    for each box started in folder with no row in its summary.jsonl, the row
//                    that accounts for it: result and category "interrupted", never "updated",
//                    made from its start line alone, so that the same folder always gives the
//                    same row. Call only once the station is gone. The count of such rows
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "records/record.h"

inline constexpr size_t kRecordLineSize = 16384;  // a row is a few KB at most

struct Spool {
  std::FILE* csv = nullptr;
  std::FILE* jsonl = nullptr;
  std::FILE* starts = nullptr;
  int lock = -1;  // the lock file's descriptor (a HANDLE's value on Windows)
  std::atomic<int64_t> synced{0};
};

int SpoolOpen(Spool* spool, const char* folder, char* why, size_t why_size);
int SpoolStart(Spool* spool, const Record& start, char* why, size_t why_size);
int SpoolAppend(Spool* spool, const Record& record, char* why, size_t why_size);
int64_t SpoolSynced(const Spool& spool);
void SpoolClose(Spool* spool);

struct SpoolReader {
  std::FILE* file = nullptr;
  int64_t offset = 0;   // of the next line
  int line_number = 0;  // of the line last given
};
enum SpoolLine { kNoLine, kLine, kLineTooLong };

int SpoolReadOpen(SpoolReader* reader, const char* path);
SpoolLine SpoolNextLine(SpoolReader* reader, int64_t limit, char* line, size_t size);
void SpoolReadClose(SpoolReader* reader);

int FolderStationRunning(const char* folder);
using EachRow = void (*)(const char* line, void* context);
int InterruptedRows(const char* folder, EachRow each, void* context);
