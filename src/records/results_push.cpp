// boxstation --push URL DIR...: folders' rows into PostgreSQL, in batches (see results.h). A
// folder is only read: its station may still be running, or the folder may be on a share that
// this host may not write.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "records/results.h"
#include "records/results_db.h"
#include "records/row_check.h"

namespace {

constexpr int64_t kPushCallMs = 30000;  // no boxes wait on --push: a slow server gets its time
constexpr int kRowsTold = 5;
constexpr int kExitDone = 0;
constexpr int kExitNotAll = 1;
constexpr int kExitUsage = 2;

struct Folder {
  const char* dir = nullptr;
  char path[4200] = {};
  int read = 0;
  int interrupted = 0;
  int added = 0;
  int there = 0;
  int conflicts = 0;
  int refused = 0;
  int told = 0;
  DbStatus status = kDbOk;  // kDbDown or kDbStopped: given up, with why
  char why[400] = {};
};

struct Push {
  char conninfo[4096] = {};
  char target[256] = {};
  Db db;
  Batch batch;
  char line[kRecordLineSize] = {};
};
Push g_push;  // large: not on the stack

// line_number 0: a row made for an interrupted box.
void TellRow(Folder* f, int line_number, const char* why) {
  if (++f->told > kRowsTold) {
    return;
  }
  if (line_number > 0) {
    std::fprintf(stderr, "boxstation: %s line %d: not stored: %s\n", f->path, line_number, why);
  } else {
    std::fprintf(stderr, "boxstation: %s: the row of an interrupted box: not stored: %s\n", f->dir, why);
  }
}

void Flush(Push* p, Folder* f) {
  if (p->batch.count == 0 || f->status != kDbOk) {
    return;
  }
  f->status =
      DbSend(&p->db, p->batch.lines, p->batch.count, p->batch.outcome, NowMs() + kPushCallMs, f->why, sizeof f->why);
  if (f->status != kDbOk) {
    return;
  }
  for (int i = 0; i < p->batch.count; ++i) {
    switch (p->batch.outcome[i]) {
      case kRowAdded:
        ++f->added;
        break;
      case kRowThere:
        ++f->there;
        break;
      case kRowConflict:
        ++f->conflicts;
        TellRow(f, p->batch.line_number[i], "boxload_results holds its record_id with other content: a conflict");
        break;
      case kRowRefused:
        ++f->refused;
        TellRow(f, p->batch.line_number[i], p->db.refusal[i]);
        break;
    }
  }
  BatchClear(&p->batch);
}

void AddRow(Push* p, Folder* f, const char* line, int line_number) {
  char why[200];
  if (CheckRow(line, why, sizeof why) == 0) {
    ++f->refused;
    TellRow(f, line_number, why);
    return;
  }
  if (BatchAdd(&p->batch, line, line_number) == 0) {
    Flush(p, f);
    if (f->status == kDbOk) {
      (void)BatchAdd(&p->batch, line, line_number);
    }
  }
}

void AddInterrupted(const char* line, void* context) {
  Folder* f = static_cast<Folder*>(context);
  ++f->interrupted;
  AddRow(&g_push, f, line, 0);
}

int PushFolder(Push* p, const char* dir) {
  static Folder folder;
  folder = Folder{};
  Folder* f = &folder;
  f->dir = dir;
  std::snprintf(f->path, sizeof f->path, "%s/summary.jsonl", dir);
  const int running = FolderStationRunning(dir);
  SpoolReader reader;
  if (SpoolReadOpen(&reader, f->path) == 0) {
    std::fprintf(stderr, "boxstation: %s: %s\n", f->path, std::strerror(errno));
    return kExitNotAll;
  }
  for (;;) {
    const SpoolLine got = SpoolNextLine(&reader, -1, p->line, sizeof p->line);
    if (got == kNoLine || f->status != kDbOk) {
      break;
    }
    ++f->read;
    if (got == kLineTooLong) {
      ++f->refused;
      TellRow(f, reader.line_number, "longer than a row may be");
    } else {
      AddRow(p, f, p->line, reader.line_number);
    }
  }
  SpoolReadClose(&reader);
  if (running == 1) {
    std::fprintf(stderr,
                 "boxstation: %s: its station still runs: only the rows of its ended boxes are sent, and push it "
                 "again once it has ended\n",
                 dir);
  } else if (f->status == kDbOk) {
    (void)InterruptedRows(dir, AddInterrupted, f);
  }
  Flush(p, f);
  if (f->status != kDbOk) {
    std::fprintf(stderr, "boxstation: %s: %s: %s; the folder's rows that were not sent are sent by a new --push\n",
                 p->target, dir, f->why);
    DbClose(&p->db);  // no folder after this one is tried
    return kExitNotAll;
  }
  std::printf("%s: %d row%s read, %d interrupted: %d added, %d already there, %d conflicting, %d refused\n", dir,
              f->read, f->read == 1 ? "" : "s", f->interrupted, f->added, f->there, f->conflicts, f->refused);
  std::fflush(stdout);
  return f->conflicts + f->refused == 0 ? kExitDone : kExitNotAll;
}

}  // namespace

int PushMain(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: boxstation --push URL DIR...\n");
    return kExitUsage;
  }
  Push* p = &g_push;
  if (ResultsConnInfo(argv[2], p->conninfo, sizeof p->conninfo, p->target, sizeof p->target, "--push") == 0) {
    return kExitUsage;
  }
  char why[400];
  const DbStatus status = DbConnect(&p->db, p->conninfo, NowMs() + kPushCallMs, why, sizeof why);
  if (status != kDbOk) {
    std::fprintf(stderr, "boxstation: cannot store rows in %s: %s\n", p->target, why);
    return kExitNotAll;
  }
  if (p->db.warning) {
    std::fprintf(stderr, "boxstation: %s\n", why);
  }
  int exit_status = kExitDone;
  for (int i = 3; i < argc && p->db.conn != nullptr; ++i) {
    if (PushFolder(p, argv[i]) != kExitDone) {
      exit_status = kExitNotAll;
    }
  }
  DbClose(&p->db);
  return exit_status;
}
