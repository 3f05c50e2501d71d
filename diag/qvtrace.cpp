// qvtrace.cpp - console traces and debug assertion reports.
#include "qvtrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "../platform/qvsystem.h"
#include "qvgbk.h"
#include "qvsettings.h"

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

// Traces are short texts whose only conversions are %d and %s, and one
// goes out per socket event: those are formatted here, without vsnprintf's
// parse.
// False (nothing usable in `line`) for any other conversion or a text
// longer than the line.
bool FormatNumbers(char (&line)[256], std::size_t* length, const char* format, va_list args) {
  char* out = line;
  char* const end = line + sizeof line - 12;  // room for one more number
  const char* f = format;
  for (; *f != '\0' && out < end; ++f) {
    if (*f != '%') {
      *out++ = *f;
    } else if (f[1] == 'd') {
      out = PutInt(out, va_arg(args, int));
      ++f;
    } else if (f[1] == 's') {
      // An address, usually: copied while it fits, else printf's way.
      const char* text = va_arg(args, const char*);
      if (text == nullptr) return false;
      const std::size_t n = std::strlen(text);
      if (n > static_cast<std::size_t>(end - out)) return false;
      std::memcpy(out, text, n);
      out += n;
      ++f;
    } else {
      return false;
    }
  }
  *length = static_cast<std::size_t>(out - line);
  return *f == '\0';
}

// The trace settings, read together at the first trace.
struct TraceSettings {
  std::FILE* Stream() const {
    return target == TraceTarget::kStandardError ? stderr : target == TraceTarget::kNowhere ? nullptr : stdout;
  }
  TraceTarget target;
  TextEncoding encoding;
};

const TraceSettings& Settings() {
  static const TraceSettings settings{TraceDestination(), TraceEncoding()};
  return settings;
}

// Put for a stream in UTF-8: converted first.
void PutUtf8(std::FILE* stream, const char* text, std::size_t length) {
  char small[Utf8Room(256)];
  std::string large;
  char* utf8 = small;
  if (Utf8Room(length) > sizeof small) {
    large.resize(Utf8Room(length));
    utf8 = &large[0];
  }
  qvplat::WriteWhole(stream, utf8, GbkToUtf8(text, length, utf8));
}

// Writes one trace with one call, so that it is never split by another.
inline void Put(std::FILE* stream, TextEncoding encoding, const char* text, std::size_t length) {
  if (encoding == TextEncoding::kGbk) return qvplat::WriteWhole(stream, text, length);
  PutUtf8(stream, text, length);
}

}  // namespace

void Trace(const char* format, ...) {
  const TraceSettings& settings = Settings();
  std::FILE* const stream = settings.Stream();
  if (stream == nullptr) return;  // off: nothing is formatted

  char line[256];
  std::size_t length = 0;
  va_list args;
  va_start(args, format);
  const bool formatted = FormatNumbers(line, &length, format, args);
  va_end(args);
  if (formatted) return Put(stream, settings.encoding, line, length);

  va_start(args, format);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (needed < 0) return;
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(&text[0], text.size(), format, args);
  va_end(args);
  Put(stream, settings.encoding, text.data(), static_cast<std::size_t>(needed));
}

namespace detail {
std::atomic<int> tracesOn{0};

bool ReadTracesOn() {
  const bool on = Settings().Stream() != nullptr;
  tracesOn.store(on ? 2 : 1, std::memory_order_relaxed);
  return on;
}
}  // namespace detail

void TraceText(const char* text, std::size_t length) {
  const TraceSettings& settings = Settings();
  std::FILE* const stream = settings.Stream();
  if (stream != nullptr) Put(stream, settings.encoding, text, length);
}

namespace {
struct HeldTrace {
  char text[64];
  std::size_t length = 0;
};
thread_local HeldTrace held;
}  // namespace

void HoldTrace(const char* text, std::size_t length) {
  if (!TracesOn() || length > sizeof held.text) return;
  std::memcpy(held.text, text, length);
  held.length = length;
}

void ShowHeldTrace() {
  if (held.length == 0) return;
  const std::size_t length = held.length;
  held.length = 0;
  TraceText(held.text, length);
}

void DropHeldTrace() { held.length = 0; }

void TraceNumber(const char* format, std::size_t length, int value) {
  const TraceSettings& settings = Settings();
  std::FILE* const stream = settings.Stream();
  if (stream == nullptr) return;
  const auto* percent = static_cast<const char*>(std::memchr(format, '%', length));
  const std::size_t before = percent != nullptr ? static_cast<std::size_t>(percent - format) : 0;
  char line[256];
  if (percent == nullptr || before + 1 >= length || percent[1] != 'd' || length > sizeof line - 12) {
    return Trace(format, value);  // not one %d, or longer than a line: the general form
  }
  // A few bytes on either side: copied here rather than through memcpy.
  char* out = line;
  for (const char* f = format; f < percent; ++f) *out++ = *f;
  out = PutInt(out, value);
  for (const char* f = percent + 2; f < format + length; ++f) *out++ = *f;
  Put(stream, settings.encoding, line, static_cast<std::size_t>(out - line));
}

void ReportAssertion(const char* expression, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
  std::fflush(stderr);
}

}  // namespace qvdiag
