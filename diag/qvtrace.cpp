// qvtrace.cpp - console traces and debug assertion reports.
#include "qvtrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qvdiag {

void Trace(const char* format, ...) {
  // Most traces are fixed texts: print them as they stand, without parsing.
  if (std::strchr(format, '%') == nullptr) {
    std::fputs(format, stdout);
    return;
  }
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void ReportAssertion(const char* expression, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
  std::fflush(stderr);
}

}  // namespace qvdiag
