// The station's table in PostgreSQL through libpq's non-blocking calls (see results_db.h).
#include "records/results_db.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "records/record.h"
#include "records/row_check.h"

// data/sql/boxload-schema.sql, carried inside the program by the build.
extern const char kSchemaSql[];

namespace {

// The table's version that this boxstation writes; version 1 is the station-made table of before.
constexpr int kTableVersion = 3;

// The server's own limits, below ours so that its word on a lock or a slow statement comes first.
constexpr const char* kBegin = "BEGIN; SET LOCAL statement_timeout = '10s'; SET LOCAL lock_timeout = '3s'";

void IgnoreNotice(void* /*arg*/, const char* /*message*/) {}

// One line of a server's or libpq's message, without control bytes: a box's text may come back
// in it.
void OneLine(const char* message, char* line, size_t size) {
  size_t n = 0;
  for (const char* c = message != nullptr ? message : ""; *c != '\0' && *c != '\n' && n + 1 < size; ++c) {
    line[n++] = static_cast<unsigned char>(*c) < 0x20 ? ' ' : *c;
  }
  while (n > 0 && line[n - 1] == ' ') {
    --n;
  }
  line[n] = '\0';
}

int64_t Until(const Db* db, int64_t deadline_ms) {
  return db->cut_ms != nullptr ? std::min(deadline_ms, db->cut_ms->load()) : deadline_ms;
}

// 1 when the socket is ready, 0 when the deadline or the cut has come, -1 on an error. Looks at
// the cut every 100 ms, which is how a stop reaches a wait on a silent server.
int WaitSocket(const Db* db, bool write, int64_t deadline_ms) {
  for (;;) {
    const int64_t left = Until(db, deadline_ms) - NowMs();
    if (left <= 0) {
      return 0;
    }
    pollfd p{PQsocket(db->conn), static_cast<short>(write ? POLLOUT | POLLIN : POLLIN), 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
    if (ready > 0) {
      return 1;
    }
    if (ready < 0 && errno != EINTR) {
      return -1;
    }
  }
}

void Late(const Db* db, int64_t deadline_ms, char* why, size_t why_size) {
  if (db->cut_ms != nullptr && db->cut_ms->load() < deadline_ms) {
    std::snprintf(why, why_size, "given up as the station ends");
  } else {
    std::snprintf(why, why_size, "the server did not answer in time");
  }
}

// Sends sql (with params when nparams >= 0; several statements when nparams < 0) and waits for
// all its results. The first failed statement's result, else the last one; null with why when
// the connection is lost or the deadline passed (the connection is of no further use then).
PGresult* Run(Db* db, const char* sql, int nparams, const char* const* params, int64_t deadline_ms, char* why,
              size_t why_size) {
  const int sent = nparams < 0 ? PQsendQuery(db->conn, sql)
                               : PQsendQueryParams(db->conn, sql, nparams, nullptr, params, nullptr, nullptr, 0);
  if (sent == 0) {
    OneLine(PQerrorMessage(db->conn), why, why_size);
    return nullptr;
  }
  for (;;) {
    const int flushed = PQflush(db->conn);
    if (flushed == 0) {
      break;
    }
    const int ready = flushed < 0 ? -1 : WaitSocket(db, true, deadline_ms);
    if (ready <= 0 || PQconsumeInput(db->conn) == 0) {
      if (ready == 0) {
        Late(db, deadline_ms, why, why_size);
      } else {
        OneLine(PQerrorMessage(db->conn), why, why_size);
      }
      return nullptr;
    }
  }
  PGresult* kept = nullptr;
  for (;;) {
    while (PQisBusy(db->conn) == 0) {
      PGresult* result = PQgetResult(db->conn);
      if (result == nullptr) {
        if (kept == nullptr) {
          OneLine(PQerrorMessage(db->conn), why, why_size);
        }
        return kept;
      }
      const ExecStatusType status = PQresultStatus(kept);
      if (kept != nullptr && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        PQclear(result);  // the first failure is the one to tell
      } else {
        PQclear(kept);
        kept = result;
      }
    }
    const int ready = WaitSocket(db, false, deadline_ms);
    if (ready <= 0 || PQconsumeInput(db->conn) == 0) {
      if (ready == 0) {
        Late(db, deadline_ms, why, why_size);
      } else {
        OneLine(PQerrorMessage(db->conn), why, why_size);
      }
      PQclear(kept);
      return nullptr;
    }
  }
}

bool Failed(const PGresult* result) {
  return PQresultStatus(result) != PGRES_COMMAND_OK && PQresultStatus(result) != PGRES_TUPLES_OK;
}

enum ErrorKind { kErrorOutage, kErrorShape, kErrorRow };

// What a server's error is: an outage passes (a lock, a time-out, a restart, no room), a table or
// role that does not fit stays until someone changes it, and a row's value concerns that row.
ErrorKind KindOf(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (state == nullptr) {
    return kErrorOutage;
  }
  if (std::strncmp(state, "22", 2) == 0 || std::strncmp(state, "23", 2) == 0) {
    return kErrorRow;
  }
  if (std::strncmp(state, "42", 2) == 0 || std::strncmp(state, "0A", 2) == 0 || std::strncmp(state, "2F", 2) == 0 ||
      std::strncmp(state, "P0", 2) == 0) {
    return kErrorShape;
  }
  return kErrorOutage;
}

void ErrorLine(const PGresult* result, char* why, size_t why_size) {
  char message[200];
  OneLine(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY), message, sizeof message);
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  const char* column = PQresultErrorField(result, PG_DIAG_COLUMN_NAME);
  if (state != nullptr && std::strcmp(state, "55P03") == 0) {
    std::snprintf(why, why_size, "another session holds a lock on the table: %s", message);
  } else if (column != nullptr) {
    std::snprintf(why, why_size, "column %s: %s", column, message);
  } else {
    std::snprintf(why, why_size, "%s", message);
  }
}

void Add(char* text, size_t size, const char* more) {
  const size_t used = std::strlen(text);
  std::snprintf(text + used, size - used, "%s", more);
}

// The batch's statement, over the columns the table has: each line an element of the one jsonb
// parameter, never SQL text. Each line's outcome by its place: added, there already with the same
// row, or a conflict (its record_id held with another row).
void MakeInsert(Db* db, const bool* has_column) {
  char* sql = db->insert_sql;
  const size_t size = sizeof db->insert_sql;
  char part[160];
  sql[0] = '\0';
  Add(sql, size,
      "WITH input AS (SELECT t.ord, t.r FROM jsonb_array_elements($1::jsonb) WITH ORDINALITY AS t(r, ord)), "
      "ins AS (INSERT INTO boxload_results (");
  for (size_t i = 0; i < kJsonMemberCount; ++i) {
    if (has_column[kJsonMembers[i]]) {
      std::snprintf(part, sizeof part, "\"%s\", ", kRecordFields[kJsonMembers[i]].name);
      Add(sql, size, part);
    }
  }
  Add(sql, size, "\"row\") SELECT ");
  for (size_t i = 0; i < kJsonMemberCount; ++i) {
    const RecordField& f = kRecordFields[kJsonMembers[i]];
    if (has_column[kJsonMembers[i]]) {
      if (std::strcmp(f.sql_type, "text") == 0) {
        std::snprintf(part, sizeof part, "r->>'%s', ", f.name);
      } else {
        std::snprintf(part, sizeof part, "(r->>'%s')::%s, ", f.name, f.sql_type);
      }
      Add(sql, size, part);
    }
  }
  Add(sql, size,
      "r FROM input ORDER BY ord ON CONFLICT (record_id) DO NOTHING RETURNING record_id, \"row\"), "
      "one AS (SELECT ord, r, row_number() OVER (PARTITION BY r->>'record_id' ORDER BY ord) AS n FROM input) "
      "SELECT one.ord, CASE WHEN ins.record_id IS NOT NULL AND one.n = 1 THEN 'a' "
      "WHEN coalesce(ins.\"row\", held.\"row\") = one.r THEN 't' ELSE 'c' END "
      "FROM one LEFT JOIN ins ON ins.record_id = one.r->>'record_id' "
      "LEFT JOIN boxload_results held ON held.record_id = one.r->>'record_id' ORDER BY one.ord");
}

constexpr const char* kTableFacts =
    "SELECT to_regclass('boxload_results') IS NOT NULL, to_regclass('boxload_schema_version') IS NOT NULL, "
    "coalesce(has_schema_privilege(current_schema(), 'CREATE'), false), current_user, "
    "coalesce(has_table_privilege(to_regclass('boxload_results'), 'INSERT'), false), "
    "coalesce(has_table_privilege(to_regclass('boxload_results'), 'SELECT'), false), "
    "coalesce(has_table_privilege(to_regclass('boxload_schema_version'), 'SELECT'), false), "
    "EXISTS (SELECT 1 FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = i.indkey[0] "
    "WHERE i.indrelid = to_regclass('boxload_results') AND i.indisunique AND i.indnatts = 1 "
    "AND i.indpred IS NULL AND i.indexprs IS NULL AND a.attname = 'record_id')";

constexpr const char* kTableColumns =
    "SELECT attname, format_type(atttypid, atttypmod), attnotnull, "
    "atthasdef OR attidentity <> '' OR attgenerated <> '' FROM pg_attribute "
    "WHERE attrelid = to_regclass('boxload_results') AND attnum > 0 AND NOT attisdropped ORDER BY attnum";

bool True(const PGresult* r, int column) { return std::strcmp(PQgetvalue(r, 0, column), "t") == 0; }

// Makes the tables from the shipped schema, one station at a time.
DbStatus CreateTables(Db* db, int64_t deadline_ms, char* why, size_t why_size) {
  static char sql[32768];
  std::snprintf(sql, sizeof sql,
                "BEGIN; SET LOCAL lock_timeout = '5s'; SET LOCAL statement_timeout = '20s'; "
                "SET LOCAL client_min_messages = warning; SELECT pg_advisory_xact_lock(4242022);\n%s\nCOMMIT",
                kSchemaSql);
  PGresult* r = Run(db, sql, -1, nullptr, deadline_ms, why, why_size);
  if (r == nullptr) {
    return kDbDown;
  }
  DbStatus status = kDbOk;
  if (Failed(r)) {
    char line[200];
    ErrorLine(r, line, sizeof line);
    std::snprintf(why, why_size, "cannot create table boxload_results: %s", line);
    status = KindOf(r) == kErrorOutage ? kDbDown : kDbStopped;
  }
  PQclear(r);
  if (status != kDbOk) {
    PGresult* back = Run(db, "ROLLBACK", -1, nullptr, deadline_ms, why, why_size);
    PQclear(back);
  }
  return status;
}

// Reads the table's facts, version and columns; kDbOk with the insert made, or why not.
DbStatus CheckTable(Db* db, int64_t deadline_ms, char* why, size_t why_size) {
  PGresult* facts = Run(db, kTableFacts, -1, nullptr, deadline_ms, why, why_size);
  if (facts == nullptr) {
    return kDbDown;
  }
  if (Failed(facts) || PQntuples(facts) != 1) {
    ErrorLine(facts, why, why_size);
    PQclear(facts);
    return kDbDown;
  }
  char role[80];
  OneLine(PQgetvalue(facts, 0, 3), role, sizeof role);
  const bool results = True(facts, 0);
  const bool versioned = True(facts, 1);
  const bool may_create = True(facts, 2);
  const bool may_insert = True(facts, 4) && True(facts, 5);
  const bool may_read_version = True(facts, 6);
  const bool unique = True(facts, 7);
  PQclear(facts);
  if (!results) {
    if (!may_create) {
      std::snprintf(why, why_size,
                    "table boxload_results does not exist, and role %s may not create it: its owner makes it with "
                    "boxload-schema.sql (see man boxstation)",
                    role);
      return kDbStopped;
    }
    const DbStatus made = CreateTables(db, deadline_ms, why, why_size);
    return made != kDbOk ? made : CheckTable(db, deadline_ms, why, why_size);
  }
  db->version = 1;  // the station-made table of before, with no version table
  if (versioned) {
    if (!may_read_version) {
      std::snprintf(why, why_size, "role %s may not read boxload_schema_version: GRANT SELECT ON it TO %s", role, role);
      return kDbStopped;
    }
    PGresult* v = Run(db, "SELECT coalesce(max(version), 0) FROM boxload_schema_version", -1, nullptr, deadline_ms, why,
                      why_size);
    if (v == nullptr) {
      return kDbDown;
    }
    if (Failed(v)) {
      ErrorLine(v, why, why_size);
      PQclear(v);
      return kDbDown;
    }
    db->version = static_cast<int>(std::strtol(PQgetvalue(v, 0, 0), nullptr, 10));
    PQclear(v);
  }
  if (db->version > kTableVersion) {
    std::snprintf(why, why_size,
                  "boxload_results is of version %d, and this boxstation knows versions up to %d: a newer "
                  "boxstation stores the rows",
                  db->version, kTableVersion);
    return kDbStopped;
  }
  if (!may_insert) {
    std::snprintf(why, why_size,
                  "role %s may not both SELECT and INSERT on boxload_results: GRANT SELECT, INSERT ON boxload_results "
                  "TO %s",
                  role, role);
    return kDbStopped;
  }
  if (!unique) {
    std::snprintf(why, why_size, "boxload_results has no unique index on record_id alone: a row could be stored twice");
    return kDbStopped;
  }
  PGresult* columns = Run(db, kTableColumns, -1, nullptr, deadline_ms, why, why_size);
  if (columns == nullptr) {
    return kDbDown;
  }
  if (Failed(columns)) {
    ErrorLine(columns, why, why_size);
    PQclear(columns);
    return kDbDown;
  }
  bool has_column[kFieldCount] = {};
  bool row = false;
  DbStatus status = kDbOk;
  for (int i = 0; i < PQntuples(columns) && status == kDbOk; ++i) {
    const char* name = PQgetvalue(columns, i, 0);
    const char* type = PQgetvalue(columns, i, 1);
    const bool not_null = std::strcmp(PQgetvalue(columns, i, 2), "t") == 0;
    const bool filled = std::strcmp(PQgetvalue(columns, i, 3), "t") == 0;
    const int field = FieldByName(name);
    const char* wanted = field >= 0 ? SqlTypeName(field) : nullptr;
    if (std::strcmp(name, "row") == 0) {
      row = std::strcmp(type, "jsonb") == 0;
      if (!row) {
        std::snprintf(why, why_size, "boxload_results's column row is %s, where the whole line needs jsonb", type);
        status = kDbStopped;
      }
    } else if (wanted != nullptr) {
      const bool text_like = std::strcmp(wanted, "text") == 0 && std::strncmp(type, "character varying", 17) == 0;
      if (std::strcmp(type, wanted) != 0 && !text_like) {
        std::snprintf(why, why_size, "boxload_results's column %s is %s, where this boxstation writes %s", name, type,
                      wanted);
        status = kDbStopped;
      }
      has_column[field] = true;
    } else if (not_null && !filled) {
      std::snprintf(why, why_size,
                    "boxload_results's column %s is NOT NULL with no default, and this boxstation has no value for it",
                    name);
      status = kDbStopped;
    }
  }
  PQclear(columns);
  if (status != kDbOk) {
    return status;
  }
  if (!row || !has_column[kFieldRecordId]) {
    std::snprintf(why, why_size, "boxload_results has no %s column", !row ? "jsonb row" : "text record_id");
    return kDbStopped;
  }
  // Fields with no column still reach the table, in row alone: one warning says which.
  char missing[600] = {};
  for (size_t i = 0; i < kJsonMemberCount; ++i) {
    const int f = kJsonMembers[i];
    if (SqlTypeName(f) != nullptr && !has_column[f]) {
      Add(missing, sizeof missing, missing[0] != '\0' ? ", " : "");
      Add(missing, sizeof missing, kRecordFields[f].name);
    }
  }
  db->warning = db->version < kTableVersion || missing[0] != '\0';
  if (std::strlen(missing) > 120) {
    std::snprintf(missing + 116, sizeof missing - 116, "...");
  }
  if (db->version < kTableVersion) {
    std::snprintf(why, why_size,
                  "boxload_results is of version %d: its owner upgrades it with migrate-%d-to-%d.sql (see man "
                  "boxstation); until then rows are stored%s%s%s",
                  db->version, db->version, db->version + 1, missing[0] != '\0' ? ", with " : "", missing,
                  missing[0] != '\0' ? " in the column row alone" : "");
  } else if (missing[0] != '\0') {
    std::snprintf(why, why_size, "boxload_results has no column for %s: in the column row alone", missing);
  }
  db->has_box_label = has_column[kFieldBoxLabel];
  MakeInsert(db, has_column);
  return kDbOk;
}

// The batch as one jsonb array: each line is a checked JSON object already.
size_t JoinLines(const char* const* lines, int count, char* out, size_t size) {
  size_t n = 0;
  out[n++] = '[';
  for (int i = 0; i < count; ++i) {
    const size_t length = std::strlen(lines[i]);
    if (n + length + 3 > size) {
      return 0;
    }
    if (i > 0) {
      out[n++] = ',';
    }
    std::memcpy(out + n, lines[i], length);
    n += length;
  }
  out[n++] = ']';
  out[n] = '\0';
  return n;
}

DbStatus Fail(Db* db, PGresult* result, int64_t deadline_ms, char* why, size_t why_size) {
  ErrorLine(result, why, why_size);
  const ErrorKind kind = KindOf(result);
  PQclear(result);
  char ignored[200];
  PGresult* back = Run(db, "ROLLBACK", -1, nullptr, deadline_ms, ignored, sizeof ignored);
  const bool rolled_back = back != nullptr && !Failed(back);
  PQclear(back);
  if (!rolled_back) {
    return kDbDown;
  }
  return kind == kErrorShape ? kDbStopped : kind == kErrorRow ? kDbOk : kDbDown;
}

char g_batch[kDbBatchBytes + 16];

// DbSend for lines whose refusals go to db->refusal from place first on.
// A transaction's own statement (BEGIN, COMMIT): kDbOk, or why the batch did not go.
DbStatus Step(Db* db, const char* sql, int64_t deadline_ms, char* why, size_t why_size) {
  PGresult* result = Run(db, sql, -1, nullptr, deadline_ms, why, why_size);
  if (result == nullptr) {
    return kDbDown;
  }
  if (Failed(result)) {
    const DbStatus status = Fail(db, result, deadline_ms, why, why_size);
    return status == kDbOk ? kDbDown : status;
  }
  PQclear(result);
  return kDbOk;
}

DbStatus Send(Db* db, const char* const* lines, int count, RowOutcome* outcomes, int first, int64_t deadline_ms,
              char* why, size_t why_size) {
  if (count <= 0) {
    return kDbOk;
  }
  if (JoinLines(lines, count, g_batch, sizeof g_batch) == 0) {
    // Larger than a batch may be: halves go apart.
    const int half = count / 2;
    const DbStatus head = Send(db, lines, half, outcomes, first, deadline_ms, why, why_size);
    if (head != kDbOk || half == 0) {
      if (half == 0) {
        outcomes[0] = kRowRefused;
        std::snprintf(db->refusal[first], sizeof db->refusal[first], "longer than a batch may be");
      }
      return head;
    }
    return Send(db, lines + half, count - half, outcomes + half, first + half, deadline_ms, why, why_size);
  }
  if (const DbStatus begun = Step(db, kBegin, deadline_ms, why, why_size); begun != kDbOk) {
    return begun;
  }
  const char* params[] = {g_batch};
  PGresult* inserted = Run(db, db->insert_sql, 1, params, deadline_ms, why, why_size);
  if (inserted == nullptr) {
    return kDbDown;
  }
  if (Failed(inserted)) {
    char line[sizeof db->refusal[0]];
    ErrorLine(inserted, line, sizeof line);
    const DbStatus status = Fail(db, inserted, deadline_ms, why, why_size);
    if (status != kDbOk) {
      return status;
    }
    // A row the server refused: alone, it is named; in a batch, the rows go one by one.
    if (count == 1) {
      outcomes[0] = kRowRefused;
      std::snprintf(db->refusal[first], sizeof db->refusal[first], "%s", line);
      return kDbOk;
    }
    for (int i = 0; i < count; ++i) {
      const DbStatus one = Send(db, lines + i, 1, outcomes + i, first + i, deadline_ms, why, why_size);
      if (one != kDbOk) {
        return one;
      }
    }
    return kDbOk;
  }
  const int rows = PQntuples(inserted);
  for (int i = 0; i < count; ++i) {
    const char verdict = i < rows ? PQgetvalue(inserted, i, 1)[0] : 'c';
    outcomes[i] = verdict == 'a' ? kRowAdded : verdict == 't' ? kRowThere : kRowConflict;
  }
  PQclear(inserted);
  return Step(db, "COMMIT", deadline_ms, why, why_size);
}

}  // namespace

int BatchAdd(Batch* batch, const char* line, int line_number) {
  const size_t length = std::strlen(line);
  if (batch->count == kDbBatchRows || batch->used + length + 1 > sizeof batch->text) {
    return 0;
  }
  char* copy = batch->text + batch->used;
  std::memcpy(copy, line, length + 1);
  batch->used += length + 1;
  batch->lines[batch->count] = copy;
  batch->line_number[batch->count] = line_number;
  ++batch->count;
  return 1;
}

void BatchClear(Batch* batch) {
  batch->used = 0;
  batch->count = 0;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int DbTarget(const char* conninfo, char* target, size_t size, bool* has_password) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo, &error);
  if (options == nullptr) {
    // Its message may quote the part of the URL it stumbled on, password and all.
    PQfreemem(error);
    return 0;
  }
  const char* user = "";
  const char* host = "";
  const char* port = "";
  const char* name = "";
  *has_password = false;
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    const char* value = o->val != nullptr ? o->val : "";
    if (std::strcmp(o->keyword, "user") == 0) {
      user = value;
    } else if (std::strcmp(o->keyword, "host") == 0 || (std::strcmp(o->keyword, "hostaddr") == 0 && *host == '\0')) {
      host = value;
    } else if (std::strcmp(o->keyword, "port") == 0) {
      port = value;
    } else if (std::strcmp(o->keyword, "dbname") == 0) {
      name = value;
    } else if (std::strcmp(o->keyword, "password") == 0) {
      *has_password = *value != '\0';
    }
  }
  // libpq checks the port only when it connects: a bench would start its boxes on a URL that
  // can never work.
  const bool port_ok = std::strspn(port, "0123456789,") == std::strlen(port);
  std::snprintf(target, size, "%s%s%s%s%s/%s", user, *user != '\0' ? "@" : "",
                *host != '\0' ? host : "the local server", *port != '\0' ? ":" : "", port, name);
  PQconninfoFree(options);
  return port_ok ? 1 : 0;
}

DbStatus DbConnect(Db* db, const char* conninfo, int64_t deadline_ms, char* why, size_t why_size) {
  DbClose(db);
  db->warning = false;
  // The URL comes after the defaults, so that what it says wins. Keepalives and the TCP time-out
  // find a peer that is gone while no call waits on it.
  const char* const keywords[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                                  "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                                  "application_name",    "dbname",           nullptr};
  const char* const values[] = {"10", "1", "10", "5", "3", "10000", "boxstation", conninfo, nullptr};
  db->conn = PQconnectStartParams(keywords, values, 1);
  if (db->conn == nullptr) {
    std::snprintf(why, why_size, "out of memory");
    return kDbDown;
  }
  PostgresPollingStatusType poll_status = PGRES_POLLING_WRITING;
  while (poll_status != PGRES_POLLING_OK) {
    if (poll_status == PGRES_POLLING_FAILED || PQstatus(db->conn) == CONNECTION_BAD) {
      OneLine(PQerrorMessage(db->conn), why, why_size);
      DbClose(db);
      return kDbDown;
    }
    const int ready = WaitSocket(db, poll_status == PGRES_POLLING_WRITING, deadline_ms);
    if (ready <= 0) {
      if (ready == 0) {
        Late(db, deadline_ms, why, why_size);
      } else {
        std::snprintf(why, why_size, "%s", std::strerror(errno));
      }
      DbClose(db);
      return kDbDown;
    }
    poll_status = PQconnectPoll(db->conn);
  }
  PQsetNoticeProcessor(db->conn, IgnoreNotice, nullptr);
  if (PQsetnonblocking(db->conn, 1) != 0) {
    OneLine(PQerrorMessage(db->conn), why, why_size);
    DbClose(db);
    return kDbDown;
  }
  const DbStatus status = CheckTable(db, deadline_ms, why, why_size);
  if (status != kDbOk) {
    DbClose(db);
  }
  return status;
}

DbStatus DbSend(Db* db, const char* const* lines, int count, RowOutcome* outcomes, int64_t deadline_ms, char* why,
                size_t why_size) {
  return Send(db, lines, count, outcomes, 0, deadline_ms, why, why_size);
}

int DbLabelUpdated(Db* db, const char* label, int64_t deadline_ms, char* why, size_t why_size) {
  // The column and its index where the table has them; an older table's rows hold it in row.
  const char* sql = db->has_box_label
                        ? "SELECT EXISTS (SELECT 1 FROM boxload_results WHERE box_label = $1 AND result = 'updated')"
                        : "SELECT EXISTS (SELECT 1 FROM boxload_results WHERE \"row\"->>'box_label' = $1 AND "
                          "result = 'updated')";
  const char* params[] = {label};
  PGresult* r = Run(db, sql, 1, params, deadline_ms, why, why_size);
  if (r == nullptr) {
    return -1;
  }
  const int answer = Failed(r) || PQntuples(r) != 1 ? -1 : True(r, 0) ? 1 : 0;
  if (answer < 0) {
    ErrorLine(r, why, why_size);
  }
  PQclear(r);
  return answer;
}

void DbClose(Db* db) {
  if (db->conn != nullptr) {
    // Non-blocking: the goodbye goes when it can and the socket closes either way.
    PQfinish(db->conn);
    db->conn = nullptr;
  }
}
