// qvgbk.cpp - the library's GBK texts as UTF-8.
#include "qvgbk.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace qvdiag {

namespace {

struct Character {
  std::uint16_t gbk;      // lead byte, then trail byte
  std::uint16_t unicode;  // every GBK character lies in the Basic Multilingual Plane
};

constexpr Character kCharacters[] = {
#include "qvgbktable.inc"
};

constexpr bool SortedByGbk() {
  for (std::size_t i = 1; i < std::size(kCharacters); ++i) {
    if (kCharacters[i - 1].gbk >= kCharacters[i].gbk) return false;
  }
  return true;
}
static_assert(SortedByGbk(), "the table is searched by GBK code");

constexpr std::uint16_t kReplacement = 0xFFFD;

// The code point of a GBK character, or U+FFFD when the table lacks it.
std::uint16_t Lookup(std::uint16_t gbk) {
  const Character* end = std::end(kCharacters);
  const Character* at =
      std::lower_bound(std::begin(kCharacters), end, gbk, [](const Character& c, std::uint16_t g) { return c.gbk < g; });
  return at != end && at->gbk == gbk ? at->unicode : kReplacement;
}

char* PutUtf8(char* out, std::uint16_t unicode) {
  if (unicode < 0x800) {  // the table holds no ASCII, so two bytes at least
    *out++ = static_cast<char>(0xC0 | (unicode >> 6));
  } else {
    *out++ = static_cast<char>(0xE0 | (unicode >> 12));
    *out++ = static_cast<char>(0x80 | ((unicode >> 6) & 0x3F));
  }
  *out++ = static_cast<char>(0x80 | (unicode & 0x3F));
  return out;
}

// GBK's first bytes are 0x81 to 0xFE, its second bytes 0x40 to 0xFE
// except 0x7F.
bool IsLeadByte(unsigned char b) { return b >= 0x81 && b != 0xFF; }
bool IsTrailByte(unsigned char b) { return b >= 0x40 && b != 0x7F && b != 0xFF; }

}  // namespace

std::size_t GbkToUtf8(const char* gbk, std::size_t length, char* out) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(gbk);
  char* const start = out;
  for (std::size_t i = 0; i < length; ++i) {
    if (in[i] < 0x80) {
      *out++ = static_cast<char>(in[i]);
    } else if (IsLeadByte(in[i]) && i + 1 < length && IsTrailByte(in[i + 1])) {
      out = PutUtf8(out, Lookup(static_cast<std::uint16_t>(in[i] << 8 | in[i + 1])));
      ++i;
    } else {
      out = PutUtf8(out, kReplacement);  // what follows is read on its own
    }
  }
  return static_cast<std::size_t>(out - start);
}

}  // namespace qvdiag
