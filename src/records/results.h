// The station's rows in PostgreSQL: every bench's boxes in one table.
//
// The folder's summary.jsonl stays the record and a bench needs nothing else. With --results a
// sender of its own, off the station's loop, follows summary.jsonl up to what is on disk and
// stores each line in table boxload_results: the whole line as jsonb and the fields that have a
// column in typed columns. Every call to the server has a deadline of the sender's own (a frozen
// server enforces none), so the station never waits on it for long, and never at all while
// boxes run. The database never sees SQL built from a row.
//
//   ResultsOption(arg)      --results URL: 1 when libpq takes it as a connection string or URI,
//                           after a warning when it holds a password, which is then blanked in
//                           arg so that ps no longer shows it; 0 after a stderr line (a usage
//                           error, before any box starts)
//   ResultsBegin(log_dir, spool)
//                           with --results: starts the sender on log_dir/summary.jsonl, up to
//                           SpoolSynced(spool). Without it, nothing
//   ResultsMessage(line, size)
//                           1 with the sender's next line for standard error ("results: ...",
//                           without "boxstation: "), for the station to show; 0 when none waits
//   ResultsNow()            the counts so far, for the screen
//   ResultsAskLabel(label)  with --results: asks the table, on the sender's thread, whether a
//                           box of this box_label was updated; never waits. A new question
//                           drops the one before
//   ResultsLabelAnswer()    the answer to the last question: kLabelAsking while it waits, then
//                           kLabelNeverUpdated, kLabelUpdatedBefore or kLabelNotChecked (the
//                           server could not answer, or there is no sender)
//   ResultsEnd(stopping)    the sender sends what is left, for 10 s at most (1 s when stopping on
//                           a signal), then ends; the lines ResultsMessage has not given yet,
//                           then the end line, on standard error. Call it before SpoolClose
//   PushMain(argc, argv)    boxstation --push URL DIR...: each folder's rows, and its
//                           interrupted boxes once its station is gone, that the table lacks;
//                           per folder the rows added, already there, conflicting and refused.
//                           Exit status 0, or 1 when the server cannot be reached or a row was
//                           refused or conflicts, 2 on a usage error
//
// Where libpq is not found (the Windows build) the same functions refuse both options with a
// line that points at --push from a host that has it.
#pragma once

#include <cstddef>

#include "records/spool.h"

struct ResultsCounts {
  bool enabled = false;  // --results was given
  bool down = false;     // the server cannot be reached now
  bool stopped = false;  // the table cannot take rows (its shape, the role's rights): not tried again
  int stored = 0;        // rows the table took, or held already as they are
  int conflicts = 0;     // rows whose record_id the table holds with other content: never stored
  int refused = 0;       // rows the table cannot take (a bad field)
  int unsent = 0;        // rows on disk not sent yet
};

enum LabelAnswer : int { kLabelAsking, kLabelNeverUpdated, kLabelUpdatedBefore, kLabelNotChecked };

int ResultsOption(char* arg);
void ResultsBegin(const char* log_dir, const Spool* spool);
int ResultsMessage(char* line, size_t size);
ResultsCounts ResultsNow();
void ResultsAskLabel(const char* label);
int ResultsLabelAnswer();
void ResultsEnd(bool stopping);
int PushMain(int argc, char** argv);
