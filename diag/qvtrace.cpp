// qvtrace.cpp - console traces and debug assertion reports.
#include "qvtrace.h"

#include <cstdarg>
#include <cstdio>

namespace qvdiag {

namespace {

// Writes the decimal digits of v at out; returns the position after them.
char* PutInt(char* out, int v) {
  unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *out++ = '-';
  while (n > 0) *out++ = digits[--n];
  return out;
}

}  // namespace

void Trace(const char* format, ...) {
  // Traces are short texts whose only conversions are %d, and one goes out
  // per socket event: format those here, without vprintf's parse.
  char line[256];
  char* out = line;
  char* const end = line + sizeof line - 12;  // room for one more number
  va_list args;
  va_start(args, format);
  const char* f = format;
  for (; *f != '\0' && out < end; ++f) {
    if (*f != '%') {
      *out++ = *f;
    } else if (f[1] == 'd') {
      out = PutInt(out, va_arg(args, int));
      ++f;
    } else {
      break;
    }
  }
  va_end(args);
  if (*f == '\0') {
    *out = '\0';
    std::fputs(line, stdout);
    return;
  }
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void ReportAssertion(const char* expression, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
  std::fflush(stderr);
}

}  // namespace qvdiag
