// The station's rows in PostgreSQL through libpq (see station_results.h).
#include <libpq-fe.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "station/station.h"
#include "station/station_results.h"

namespace {
// A server that is down is tried again this often while boxes run; a call of ResultsTend spends
// at most about kTendBudgetMs sending, and a connect at most the connect time-out.
constexpr uint32_t kRetryMs = 10000;
constexpr uint32_t kTendBudgetMs = 250;
constexpr int kRefusalsTold = 5;
constexpr size_t kLineSize = 16384;  // a row is a few KB at most: its paths and a failure line

// The typed columns. The jsonb column "row" holds the whole line; a field with no column here
// lives there alone. Columns are added to an older table when missing, never removed.
struct Column {
  const char* name;
  const char* type;
};
constexpr Column kColumns[] = {
    {"schema", "integer"},
    {"record_id", "text"},
    {"station", "text"},
    {"slot", "integer"},
    {"seq", "integer"},
    {"port", "text"},
    {"device", "text"},
    {"adapter_serial", "text"},
    {"start", "timestamptz"},
    {"end", "timestamptz"},
    {"seconds", "double precision"},
    {"firmware_seconds", "double precision"},
    {"software_seconds", "double precision"},
    {"result", "text"},
    {"category", "text"},
    {"failure", "text"},
    {"exit", "integer"},
    {"signal", "text"},  // a name as a shell gives it: "SIGINT", or Windows' "0xC000013A"
    {"platform", "text"},
    {"repair_mode", "boolean"},
    {"sdf_file", "text"},
    {"sdf_bytes", "bigint"},
    {"data_crc32", "text"},
    {"sdf_id", "text"},
    {"resends", "integer"},
    {"stray_bytes", "integer"},
    {"boxload_version", "text"},
    {"image_sha256", "text"},
    {"log", "text"},
    {"trace", "text"},
};

char g_setup_sql[8192];
char g_insert_sql[16384];

// text onto the end of sql, cut to fit.
void Add(char* sql, size_t size, const char* text) {
  const size_t used = std::strlen(sql);
  std::snprintf(sql + used, size - used, "%s", text);
}

// The value of one column from the line r. A value of another JSON type leaves it null (the row
// keeps it), so that a row is never lost over one field.
void AddValue(char* sql, size_t size, const Column& c) {
  char text[320];
  if (std::strcmp(c.type, "text") == 0) {
    std::snprintf(text, sizeof text, "r->>'%s'", c.name);
  } else if (std::strcmp(c.type, "boolean") == 0) {
    std::snprintf(text, sizeof text, "CASE WHEN jsonb_typeof(r->'%s') = 'boolean' THEN (r->'%s')::boolean END", c.name,
                  c.name);
  } else if (std::strcmp(c.type, "timestamptz") == 0) {
    std::snprintf(text, sizeof text,
                  "CASE WHEN r->>'%s' ~ '^\\d{4}-\\d\\d-\\d\\d[T ]\\d\\d:\\d\\d' THEN (r->>'%s')::timestamptz END",
                  c.name, c.name);
  } else {
    std::snprintf(text, sizeof text, "CASE WHEN jsonb_typeof(r->'%s') = 'number' THEN (r->'%s')::numeric::%s END",
                  c.name, c.name, c.type);
  }
  Add(sql, size, text);
}

// Both statements, made once from the column table: no row's text is ever part of them.
void MakeStatements() {
  if (g_insert_sql[0] != '\0') {
    return;
  }
  char text[160];
  // One station at a time makes or widens the table; a busy table makes it wait 5 s at most.
  Add(g_setup_sql, sizeof g_setup_sql,
      "SET LOCAL lock_timeout = '5s'; SET LOCAL client_min_messages = warning; "
      "SELECT pg_advisory_xact_lock(4242022); CREATE TABLE IF NOT EXISTS boxload_results (");
  for (const Column& c : kColumns) {
    std::snprintf(text, sizeof text, "\"%s\" %s%s, ", c.name, c.type,
                  std::strcmp(c.name, "record_id") == 0 ? " NOT NULL UNIQUE" : "");
    Add(g_setup_sql, sizeof g_setup_sql, text);
  }
  Add(g_setup_sql, sizeof g_setup_sql,
      "\"row\" jsonb NOT NULL, stored timestamptz NOT NULL DEFAULT now()); ALTER TABLE boxload_results");
  for (const Column& c : kColumns) {
    std::snprintf(text, sizeof text, "%s ADD COLUMN IF NOT EXISTS \"%s\" %s", c.name == kColumns[0].name ? "" : ",",
                  c.name, c.type);
    Add(g_setup_sql, sizeof g_setup_sql, text);
  }
  Add(g_setup_sql, sizeof g_setup_sql,
      "; CREATE INDEX IF NOT EXISTS boxload_results_platform ON boxload_results (platform); "
      "CREATE INDEX IF NOT EXISTS boxload_results_end ON boxload_results (\"end\"); "
      "CREATE OR REPLACE VIEW boxload_yield AS SELECT "
      "(coalesce(\"end\", \"start\", stored) AT TIME ZONE 'UTC')::date AS day, station, category, "
      "count(*) FILTER (WHERE result = 'updated') AS updated, "
      "count(*) FILTER (WHERE result IS DISTINCT FROM 'updated') AS failed "
      "FROM boxload_results GROUP BY 1, 2, 3;");

  Add(g_insert_sql, sizeof g_insert_sql, "INSERT INTO boxload_results (");
  for (const Column& c : kColumns) {
    std::snprintf(text, sizeof text, "\"%s\", ", c.name);
    Add(g_insert_sql, sizeof g_insert_sql, text);
  }
  Add(g_insert_sql, sizeof g_insert_sql, "\"row\") SELECT ");
  for (const Column& c : kColumns) {
    AddValue(g_insert_sql, sizeof g_insert_sql, c);
    Add(g_insert_sql, sizeof g_insert_sql, ", ");
  }
  Add(g_insert_sql, sizeof g_insert_sql, "r FROM (SELECT $1::jsonb AS r) AS line ON CONFLICT (record_id) DO NOTHING");
}

// One line of a server's or libpq's message, without control characters: a box's text may come
// back in it.
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

// user@host:port/db for the lines: the connection string itself may hold a password. 0 when
// libpq does not take url.
int ParseTarget(const char* url, char* target, size_t size, bool* has_password) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url, &error);
  if (options == nullptr) {
    // Its message may quote the part of the URL it stumbled on, password and all.
    PQfreemem(error);
    return 0;
  }
  const char* user = "";
  const char* host = "";
  const char* port = "";
  const char* db = "";
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
      db = value;
    } else if (std::strcmp(o->keyword, "password") == 0) {
      *has_password = *value != '\0';
    }
  }
  // libpq checks the port only when it connects: a bench would start its boxes on a URL that
  // can never work.
  const bool port_ok = std::strspn(port, "0123456789,") == std::strlen(port);
  std::snprintf(target, size, "%s%s%s%s%s/%s", user, *user != '\0' ? "@" : "",
                *host != '\0' ? host : "the local server", *port != '\0' ? ":" : "", port, db);
  PQconninfoFree(options);
  return port_ok ? 1 : 0;
}

void IgnoreNotice(void* /*arg*/, const char* /*message*/) {}

// A connection with the table and view in place, or nullptr with the reason in why.
PGconn* Connect(const char* url, char* why, size_t size) {
  MakeStatements();
  // The URL comes after the defaults, so that what it says wins.
  const char* const keywords[] = {"connect_timeout", "tcp_user_timeout", "application_name", "dbname", nullptr};
  const char* const values[] = {"3", "10000", "boxstation", url, nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) {
    std::snprintf(why, size, "out of memory");
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    OneLine(PQerrorMessage(conn), why, size);
    PQfinish(conn);
    return nullptr;
  }
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
  PGresult* result = PQexec(conn, g_setup_sql);
  const bool made = PQresultStatus(result) == PGRES_TUPLES_OK || PQresultStatus(result) == PGRES_COMMAND_OK;
  if (!made) {
    char line[200];
    OneLine(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY), line, sizeof line);
    std::snprintf(why, size, "cannot make table boxload_results: %s", line);
  }
  PQclear(result);
  if (!made) {
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

enum Sent { kStored, kRefused, kLost };

// One line as the statement's one parameter. kRefused when the server refuses the row itself
// (not JSON, no record_id, a value out of range): sending it again would not help. *added: 1
// when the table did not hold its record_id yet.
Sent SendLine(PGconn* conn, const char* line, int* added, char* why, size_t size) {
  const char* const params[] = {line};
  PGresult* result = PQexecParams(conn, g_insert_sql, 1, nullptr, params, nullptr, nullptr, 0);
  Sent sent = kStored;
  *added = 0;
  if (PQresultStatus(result) == PGRES_COMMAND_OK) {
    *added = std::strcmp(PQcmdTuples(result), "1") == 0 ? 1 : 0;
  } else {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    // Class 22 is bad data, class 23 a broken constraint.
    const bool row = state != nullptr && (std::strncmp(state, "22", 2) == 0 || std::strncmp(state, "23", 2) == 0);
    if (state != nullptr && std::strcmp(state, "23502") == 0) {
      std::snprintf(why, size, "it has no record_id");
    } else if (state != nullptr) {
      OneLine(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY), why, size);
    } else {
      OneLine(PQerrorMessage(conn), why, size);
    }
    sent = row ? kRefused : kLost;
  }
  PQclear(result);
  return sent;
}

// The next whole line of f, without its end. 0 at the end of what is written: a last line with no
// end yet is left for later unless the file is complete. A line too long for line is skipped
// and given as empty with *too_long set.
int NextLine(std::FILE* f, char* line, size_t size, bool complete, bool* too_long) {
  *too_long = false;
  const long from = std::ftell(f);
  size_t n = 0;
  bool any = false;
  bool ended = false;
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    any = true;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (n + 1 < size) {
      line[n++] = static_cast<char>(c);
    } else {
      *too_long = true;
    }
  }
  if (!any || (!ended && !complete)) {
    std::clearerr(f);
    (void)std::fseek(f, from, SEEK_SET);
    return 0;
  }
  if (n > 0 && line[n - 1] == '\r') {
    --n;
  }
  line[*too_long ? 0 : n] = '\0';
  return 1;
}

// The live store of --results.
struct Store {
  const char* url = nullptr;
  char target[256] = {};
  char folder[kPathSize] = {};
  char path[kPathSize + 16] = {};
  std::FILE* file = nullptr;
  PGconn* conn = nullptr;
  long sent = 0;  // the offset of the first line not stored yet
  int line_number = 0;
  int stored = 0;
  int refused = 0;
  bool down = false;  // the outage has had its line
  uint32_t next_try_ms = 0;
};
Store g_store;
char g_line[kLineSize];

void TellRefused(const char* path, int line_number, const char* why, int refused) {
  if (refused <= kRefusalsTold) {
    std::fprintf(stderr, "boxstation: %s line %d: not stored: %s\n", path, line_number, why);
  }
}

bool Connected(Store* s, uint32_t now) {
  if (s->conn != nullptr) {
    return true;
  }
  char why[256];
  s->conn = Connect(s->url, why, sizeof why);
  if (s->conn == nullptr) {
    s->next_try_ms = now + kRetryMs;
    if (!s->down) {
      std::fprintf(stderr,
                   "boxstation: results: cannot store rows in %s: %s; the boxes go on, and the rows are sent later\n",
                   s->target, why);
      s->down = true;
    }
    return false;
  }
  if (s->down) {
    std::fprintf(stderr, "boxstation: results: %s reached again\n", s->target);
    s->down = false;
  }
  return true;
}

// Sends what the file holds past the last line stored, for budget_ms at most (0: all of it).
void SendNew(Store* s, uint32_t now, uint32_t budget_ms) {
  std::clearerr(s->file);
  if (std::fseek(s->file, 0, SEEK_END) != 0 || std::ftell(s->file) <= s->sent) {
    return;
  }
  if (static_cast<int32_t>(now - s->next_try_ms) < 0 && budget_ms != 0 && s->conn == nullptr) {
    return;
  }
  if (!Connected(s, now)) {
    return;
  }
  (void)std::fseek(s->file, s->sent, SEEK_SET);
  const uint32_t t0 = ElapsedClock();
  bool too_long = false;
  while (NextLine(s->file, g_line, sizeof g_line, false, &too_long) != 0) {
    int added = 0;
    char why[256];
    const Sent sent = too_long || g_line[0] == '\0' ? kRefused : SendLine(s->conn, g_line, &added, why, sizeof why);
    if (sent == kLost) {
      std::fprintf(stderr, "boxstation: results: %s: %s; the rows are sent later\n", s->target, why);
      s->down = true;
      PQfinish(s->conn);
      s->conn = nullptr;
      s->next_try_ms = now + kRetryMs;
      return;
    }
    ++s->line_number;
    s->sent = std::ftell(s->file);
    if (sent == kStored) {
      ++s->stored;
    } else if (g_line[0] != '\0' || too_long) {
      ++s->refused;
      TellRefused(s->path, s->line_number, too_long ? "too long" : why, s->refused);
    }
    if (budget_ms != 0 && ElapsedClock() - t0 >= budget_ms) {
      break;
    }
  }
}

// Lines past the last stored one: rows not sent yet.
int CountUnsent(Store* s) {
  int n = 0;
  (void)std::fseek(s->file, s->sent, SEEK_SET);
  bool too_long = false;
  while (NextLine(s->file, g_line, sizeof g_line, true, &too_long) != 0) {
    n += g_line[0] != '\0' || too_long ? 1 : 0;
  }
  return n;
}

}  // namespace

int ResultsOption(const char* url) {
  bool has_password = false;
  if (ParseTarget(url, g_store.target, sizeof g_store.target, &has_password) == 0) {
    std::fprintf(stderr,
                 "boxstation: --results takes a PostgreSQL connection string or URL, such as "
                 "postgresql://USER@HOST/DB or \"host=HOST dbname=DB\"; this one is malformed\n");
    return 0;
  }
  if (has_password) {
    std::fprintf(stderr,
                 "boxstation: the connection string holds a password, which others on this host may see: "
                 "keep it in ~/.pgpass (see man boxstation)\n");
  }
  g_store.url = url;
  return 1;
}

void ResultsBegin(const char* log_dir) {
  Store* s = &g_store;
  if (s->url == nullptr) {
    return;
  }
  std::snprintf(s->folder, sizeof s->folder, "%s", log_dir);
  std::snprintf(s->path, sizeof s->path, "%s/summary.jsonl", log_dir);
  s->file = std::fopen(s->path, "rb");
  if (s->file == nullptr) {
    std::fprintf(stderr, "boxstation: results: %s: %s: no row is stored\n", s->path, std::strerror(errno));
    return;
  }
  (void)Connected(s, ElapsedClock());
}

void ResultsTend(uint32_t now) {
  if (g_store.file != nullptr) {
    SendNew(&g_store, now, kTendBudgetMs);
  }
}

void ResultsEnd() {
  Store* s = &g_store;
  if (s->file == nullptr) {
    return;
  }
  SendNew(s, ElapsedClock(), 0);
  const int unsent = CountUnsent(s);
  if (unsent + s->refused == 0) {
    std::fprintf(stderr, "boxstation: results: %d row%s stored in %s\n", s->stored, s->stored == 1 ? "" : "s",
                 s->target);
  } else {
    std::fprintf(stderr,
                 "boxstation: results: %d row%s not stored in %s (%d not sent, %d refused), %d stored; "
                 "summary.jsonl holds them all: boxstation --push URL %s sends the rest\n",
                 unsent + s->refused, unsent + s->refused == 1 ? "" : "s", s->target, unsent, s->refused, s->stored,
                 s->folder);
  }
  if (s->conn != nullptr) {
    PQfinish(s->conn);
    s->conn = nullptr;
  }
  (void)std::fclose(s->file);
  s->file = nullptr;
}

int PushMain(int argc, char** argv) {
  // boxstation --push URL DIR...
  if (argc < 4) {
    std::fprintf(stderr, "usage: boxstation --push URL DIR...\n");
    return kExitUsage;
  }
  const char* url = argv[2];
  char target[256];
  bool has_password = false;
  if (ParseTarget(url, target, sizeof target, &has_password) == 0) {
    std::fprintf(stderr,
                 "boxstation: --push takes a PostgreSQL connection string or URL, such as "
                 "postgresql://USER@HOST/DB or \"host=HOST dbname=DB\"; this one is malformed\n");
    return kExitUsage;
  }
  char why[256];
  PGconn* conn = Connect(url, why, sizeof why);
  if (conn == nullptr) {
    std::fprintf(stderr, "boxstation: cannot store rows in %s: %s\n", target, why);
    return kExitSomeNot;
  }
  int status = kExitAllUpdated;
  for (int i = 3; i < argc && conn != nullptr; ++i) {
    char path[kPathSize + 16];
    std::snprintf(path, sizeof path, "%s/summary.jsonl", argv[i]);
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "boxstation: %s: %s\n", path, std::strerror(errno));
      status = kExitSomeNot;
      continue;
    }
    int read = 0;
    int added = 0;
    int refused = 0;
    bool too_long = false;
    while (NextLine(f, g_line, sizeof g_line, true, &too_long) != 0) {
      if (g_line[0] == '\0' && !too_long) {
        continue;
      }
      ++read;
      int one = 0;
      const Sent sent = too_long ? kRefused : SendLine(conn, g_line, &one, why, sizeof why);
      if (sent == kLost) {
        std::fprintf(stderr, "boxstation: %s lost at %s line %d: %s\n", target, path, read, why);
        PQfinish(conn);
        conn = nullptr;
        status = kExitSomeNot;
        break;
      }
      if (sent == kRefused) {
        ++refused;
        TellRefused(path, read, too_long ? "too long" : why, refused);
      }
      added += one;
    }
    (void)std::fclose(f);
    std::printf("%s: %d row%s read, %d added", argv[i], read, read == 1 ? "" : "s", added);
    if (refused != 0) {
      std::printf(", %d refused", refused);
      status = kExitSomeNot;
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  if (conn != nullptr) {
    PQfinish(conn);
  }
  return status;
}
