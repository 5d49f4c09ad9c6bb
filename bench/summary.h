// One row of bench/run's closing table: appended, tab-separated, to the file named by
// BENCH_SUMMARY when it is set, so that each program reports its own figures.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// measured is a printf format for the figure as measured.
inline void SummaryRow(const char* figure, const char* target, const char* verdict, const char* measured, ...)
    __attribute__((format(printf, 4, 5)));

inline void SummaryRow(const char* figure, const char* target, const char* verdict, const char* measured, ...) {
  const char* name = std::getenv("BENCH_SUMMARY");
  if (name == nullptr) {
    return;
  }
  std::FILE* f = std::fopen(name, "a");
  if (f == nullptr) {
    return;
  }
  std::fprintf(f, "%s\t", figure);
  va_list args;
  va_start(args, measured);
  std::vfprintf(f, measured, args);
  va_end(args);
  std::fprintf(f, "\t%s\t%s\n", target, verdict);
  std::fclose(f);
}
