// qvtextcopy.h - copying NUL-terminated texts into fixed fields (internal).
#ifndef QV_DIAG_QVTEXTCOPY_H
#define QV_DIAG_QVTEXTCOPY_H

#include <cstddef>

namespace qvdiag {

// Copies at most size - 1 characters of `text` (null: none) into `field`
// and terminates it; the rest of the field is left as it was.
inline void CopyText(char* field, std::size_t size, const char* text) {
  std::size_t n = 0;
  if (text != nullptr) {
    for (; n + 1 < size && text[n] != '\0'; ++n) field[n] = text[n];
  }
  field[n] = '\0';
}

template <std::size_t N>
void CopyText(char (&field)[N], const char* text) {
  CopyText(field, N, text);
}

}  // namespace qvdiag

#endif  // QV_DIAG_QVTEXTCOPY_H
