// The station's rows in PostgreSQL, in a build without libpq (the Windows build): both options
// are refused before any box starts. The folders' summary.jsonl keep every row, and --push sends
// them from any host that has libpq, such as a Linux PC that sees the bench's shared folders.
#include <cstdio>

#include "records/results.h"

namespace {

void Refuse(const char* option) {
  std::fprintf(stderr,
               "boxstation: %s needs PostgreSQL's client library, which this build of boxstation lacks: keep the "
               "folders and send their rows with boxstation --push URL DIR... from a host that has it\n",
               option);
}

}  // namespace

int ResultsOption(char* /*arg*/) {
  Refuse("--results");
  return 0;
}

void ResultsBegin(const char* /*log_dir*/, const Spool* /*spool*/) {}

int ResultsMessage(char* /*line*/, size_t /*size*/) { return 0; }

ResultsCounts ResultsNow() { return {}; }

void ResultsAskLabel(const char* /*label*/) {}

int ResultsLabelAnswer() { return kLabelNotChecked; }

void ResultsEnd(bool /*stopping*/) {}

int PushMain(int /*argc*/, char** /*argv*/) {
  Refuse("--push");
  return 2;  // a usage error: nothing was tried
}
