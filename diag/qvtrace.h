// qvtrace.h - console traces and debug assertion reports (internal).
#ifndef QV_DIAG_QVTRACE_H
#define QV_DIAG_QVTRACE_H

#if defined(__GNUC__)
#define QV_PRINTF_LIKE(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define QV_PRINTF_LIKE(fmtIndex, firstArg)
#endif

namespace qvdiag {

// Prints one console trace with one write: to standard output, standard
// error or nowhere, in GBK or UTF-8, as QVNET_TRACE and QVNET_TRACE_ENCODING
// say (read at the first trace; see qvsettings.h). Nowhere formats nothing.
// Any thread.
void Trace(const char* format, ...) QV_PRINTF_LIKE(1, 2);

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
