// The field trace's writer: one text file, one event per line (format in common/trace.h), of
// everything a run did on the line and the console, so that a failing run can be sent in and
// replayed against the simulated box.
//
//   TraceStart(file, header)  takes the open file, writes "# boxload trace 1" and "# <header>",
//                             attaches itself to the hook; 1 ok, 0 with errno set (prints
//                             nothing; the file is closed). The clock starts here
//   TraceFlush()              everything recorded so far reaches the file
//   TraceFinish(format, ...)  the last NOTE, then flushes; every later event is dropped, so
//                             this line stays last. Safe from the abort thread while the main
//                             thread records; a no-op without a trace or after the first call
//   TraceFinishAfterText(text, note)
//                             the abort's end: text as the last OUT, then note as the last
//                             NOTE, in one hold of the lock, so that no line of the main thread
//                             can come between them; otherwise as TraceFinish
//
// Console text and notes reach the disk as they are recorded, bytes at least once a second:
// a program watching the file (the bench station) sees the run's progress live, and a run that
// dies still leaves what it printed. A write that fails (a full disk, a file-size limit) is said
// once on stderr, with the system's reason, when it happens; the run goes on as it would have.
// Storage is static; no heap after the start.
#pragma once

#include <cstdio>

int TraceStart(std::FILE* file, const char* header);
void TraceFlush();
[[gnu::format(printf, 1, 2)]] void TraceFinish(const char* format, ...);
void TraceFinishAfterText(const char* text, const char* note);
