// The station's table in PostgreSQL, through libpq's non-blocking calls: every wait has a deadline
// of ours, since a frozen server enforces none, and gives up at once when *cut_ms (a deadline
// another thread may bring forward) has passed.
//
//   DbConnect(db, conninfo, deadline_ms, why, size)
//              connects and checks boxload_results read-only: its version, its columns, the
//              role's rights. Creates the tables from the shipped schema when they are missing
//              and the role may. kDbOk, or kDbDown (an outage: try again later) or kDbStopped (a
//              table this boxstation cannot store into, or a role without the rights: trying
//              again does not help) with why. A table of an older version takes rows: why then
//              holds the one warning naming the migration to run (db->warning set)
//   DbSend(db, lines, count, outcomes, deadline_ms, why, size)
//              stores count checked lines (see row_check.h), in one transaction, and each one's
//              outcome; a server's refusal of the batch sends its rows one by one, so that the
//              row it refuses is named and the others are stored. kDbOk, kDbDown or kDbStopped
//   DbLabelUpdated(db, label, deadline_ms, why, size)
//              whether the table holds an updated box of this box_label: 1 or 0; -1 with why
//              when the server did not answer in time
//   DbClose(db)
//   BatchAdd(batch, line, line_number)
//              copies line into batch; 0 when the batch is full (send it, clear it, add again)
//   DbTarget(conninfo, target, size, has_password)
//              user@host:port/db for the lines, never the password; 0 when libpq refuses conninfo
//   NowMs()    a monotonic clock in ms
//   ResultsConnInfo(arg, conninfo, size, target, size, option)
//              --results' or --push's URL copied into conninfo, its target made, and a password
//              in it warned about and blanked in arg; 0 after a usage line when libpq refuses it
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

enum DbStatus { kDbOk, kDbDown, kDbStopped };
enum RowOutcome { kRowAdded, kRowThere, kRowConflict, kRowRefused };

inline constexpr int kDbBatchRows = 1000;
inline constexpr size_t kDbBatchBytes = 2u << 20;

struct Db {
  PGconn* conn = nullptr;
  const std::atomic<int64_t>* cut_ms = nullptr;  // null: none
  int version = 0;                               // of the table's schema, as read at connect
  bool warning = false;                          // why of DbConnect holds a warning
  bool has_box_label = false;                    // the table has a box_label column (version 3)
  char insert_sql[24576] = {};
  char refusal[kDbBatchRows][200] = {};  // why a row of the last DbSend was refused
};

// Lines gathered for one DbSend, with the line number each had in its file (0: not from a file).
struct Batch {
  char text[kDbBatchBytes] = {};
  size_t used = 0;
  int count = 0;
  const char* lines[kDbBatchRows] = {};
  int line_number[kDbBatchRows] = {};
  RowOutcome outcome[kDbBatchRows] = {};
};

int BatchAdd(Batch* batch, const char* line, int line_number);
void BatchClear(Batch* batch);

int64_t NowMs();
int DbTarget(const char* conninfo, char* target, size_t size, bool* has_password);
DbStatus DbConnect(Db* db, const char* conninfo, int64_t deadline_ms, char* why, size_t why_size);
DbStatus DbSend(Db* db, const char* const* lines, int count, RowOutcome* outcomes, int64_t deadline_ms, char* why,
                size_t why_size);
int DbLabelUpdated(Db* db, const char* label, int64_t deadline_ms, char* why, size_t why_size);
void DbClose(Db* db);
int ResultsConnInfo(char* arg, char* conninfo, size_t conninfo_size, char* target, size_t target_size,
                    const char* option);
