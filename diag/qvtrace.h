// qvtrace.h - console traces and debug assertion reports (internal).
#ifndef QV_DIAG_QVTRACE_H
#define QV_DIAG_QVTRACE_H

#if defined(__GNUC__)
#define QV_PRINTF_LIKE(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define QV_PRINTF_LIKE(fmtIndex, firstArg)
#endif

#include <atomic>
#include <cstddef>
#include <cstring>

namespace qvdiag {

// Prints one console trace with one write: to standard output, standard
// error or nowhere, in GBK or UTF-8, as QVNET_TRACE and QVNET_TRACE_ENCODING
// say (read at the first trace; see qvsettings.h). Nowhere formats nothing.
// Any thread.
void Trace(const char* format, ...) QV_PRINTF_LIKE(1, 2);

// As Trace, for a text without conversions, written as it stands: the
// traces of every event, kept cheap.
void TraceText(const char* text, std::size_t length);
template <std::size_t N>
void TraceText(const char (&text)[N]) {
  TraceText(text, N - 1);
}
namespace detail {
// Two of the library's texts one after the other, without their ends.
template <std::size_t N, std::size_t M>
struct Joined {
  char text[N + M - 2];
};
template <std::size_t N, std::size_t M>
Joined<N, M> Join(const char (&first)[N], const char (&second)[M]) {
  Joined<N, M> both;
  for (std::size_t i = 0; i + 1 < N; ++i) both.text[i] = first[i];
  for (std::size_t i = 0; i + 1 < M; ++i) both.text[N - 1 + i] = second[i];
  return both;
}
}  // namespace detail
// Two such texts that always follow each other, with one write.
template <std::size_t N, std::size_t M>
void TraceTexts(const char (&first)[N], const char (&second)[M]) {
  const detail::Joined<N, M> both = detail::Join(first, second);
  TraceText(both.text, sizeof both.text);
}
// As Trace, for a text of `length` bytes whose one conversion is a %d (and
// no other %).
void TraceNumber(const char* format, std::size_t length, int value);
// A trace held back until what it announces shows: the worker reads a
// peer just accepted without asking the system whether bytes are there,
// and that read's event trace goes out only when the read finds something
// (bytes, an end or an error), before what the read goes on to print.
// HoldTrace keeps a text of at most 64 bytes (replacing one held before),
// ShowHeldTrace writes it if one is held, DropHeldTrace forgets it. Per
// thread; nothing is held while traces are off.
void HoldTrace(const char* text, std::size_t length);
void ShowHeldTrace();
void DropHeldTrace();
// Two texts that always follow each other, held as one.
template <std::size_t N, std::size_t M>
void HoldTraceTexts(const char (&first)[N], const char (&second)[M]) {
  const detail::Joined<N, M> both = detail::Join(first, second);
  HoldTrace(both.text, sizeof both.text);
}
// True when traces go somewhere: the inline forms below format nothing
// otherwise. Inline, as it is asked for every frame queued: once the
// setting is read, a load.
namespace detail {
extern std::atomic<int> tracesOn;  // 0 until the setting is read, then 1 off, 2 on
bool ReadTracesOn();
}  // namespace detail
inline bool TracesOn() {
  const int known = detail::tracesOn.load(std::memory_order_relaxed);
  return known != 0 ? known == 2 : detail::ReadTracesOn();
}
namespace detail {
// Writes the decimal digits of v (and its sign) backward, ending before
// `end`; returns where they begin. At most 11 characters.
inline char* PutIntBefore(char* end, int v) {
  unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
  do {
    *--end = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--end = '-';
  return end;
}
}  // namespace detail
// The per-event form, for a text of the library's own: formatted here, at
// the caller. The text is copied whole (its length is known here), the
// digits are written backward in front of what follows the %d, and what
// precedes it is put in front of them.
template <std::size_t N>
void TraceNumber(const char (&format)[N], int value) {
  if (!TracesOn()) return;
  std::size_t at = 0;
  while (at + 1 < N && format[at] != '%') ++at;
  if (at + 2 >= N || format[at + 1] != 'd') return TraceNumber(format, N - 1, value);
  char line[11 + N];
  std::memcpy(line + 11, format, N - 1);
  char* first = detail::PutIntBefore(line + 11 + at + 2, value);
  for (std::size_t i = at; i > 0; --i) *--first = format[i - 1];
  TraceText(first, static_cast<std::size_t>(line + 11 + (N - 1) - first));
}

// Reports a failed debug assertion on standard error and returns; never
// aborts. Compiled out of release builds (see QV_DEBUG_FAIL).
void ReportAssertion(const char* expression, const char* file, int line);

}  // namespace qvdiag

#if defined(NDEBUG)
#define QV_DEBUG_CHECK(expr, file, line) ((void)0)
#define QV_DEBUG_CHECK_TEXT(cond, text, file, line) ((void)0)
#else
// As QV_DEBUG_CHECK, reporting `text` as the expression.
#define QV_DEBUG_CHECK_TEXT(cond, text, file, line) \
  ((cond) ? (void)0 : ::qvdiag::ReportAssertion(text, file, line))
// Reports `expr` as a failed assertion when it is false, naming the source
// by its class file (`file`) and `line`.
#define QV_DEBUG_CHECK(expr, file, line) \
  ((expr) ? (void)0 : ::qvdiag::ReportAssertion(#expr, file, line))
#endif
// Marks an operation a concrete class was expected to override.
#define QV_DEBUG_FAIL(file, line) QV_DEBUG_CHECK(false, file, line)

#endif  // QV_DIAG_QVTRACE_H
