// qvgbk.h - the library's GBK texts as UTF-8 (internal).
//
// The library holds its Chinese texts as GBK bytes (qvtexts.h, and the
// error texts of platform/qverrors.h). For traces asked for in UTF-8
// (QVNET_TRACE_ENCODING) they are converted with a table of exactly the
// characters those texts use (qvgbktable.inc, written by
// tools/gbk-table.py), so no conversion library is needed.
#ifndef QV_DIAG_QVGBK_H
#define QV_DIAG_QVGBK_H

#include <cstddef>

namespace qvdiag {

// The most bytes GbkToUtf8 writes for `length` bytes of GBK: a byte that
// is no character becomes U+FFFD, three bytes.
constexpr std::size_t Utf8Room(std::size_t length) { return 3 * length; }

// Writes the UTF-8 form of the GBK bytes gbk[0, length) at `out`, which
// has room for Utf8Room(length) bytes, and returns the number of bytes
// written. ASCII stays as it is; a character outside the table, and a lead
// byte without its second byte, become U+FFFD.
std::size_t GbkToUtf8(const char* gbk, std::size_t length, char* out);

}  // namespace qvdiag

#endif  // QV_DIAG_QVGBK_H
