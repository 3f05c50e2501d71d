// qvaddress_test.cpp - how a digit-led address text is read; the same table
// holds on every platform, as the reading is the library's own.
#include "connection/qvaddress.h"

#include "platform/qvsockets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// The address as it is written, its first byte the most significant.
std::uint32_t AsWritten(std::uint32_t addrNet) {
  unsigned char b[4];
  std::memcpy(b, &addrNet, sizeof b);
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

// One to four parts separated by dots, each decimal, octal (a leading 0)
// or hexadecimal (0x), the last one filling the bytes the others leave,
// and nothing else. A text that is no address leaves the result alone.
// An address read is written back in four decimal parts.
TEST(IPv4Text, ReadsOneToFourPartsInCNotation) {
  constexpr std::uint32_t kUntouched = 0x5A5A5A5A;
  constexpr std::uint32_t kLoopback = 0x7F000001;
  const struct {
    const char* text;
    bool valid;
    std::uint32_t address;
  } cases[] = {
      {"127.0.0.1", true, kLoopback},
      {"100.10.9.0", true, 0x640A0900},
      {"127.1", true, kLoopback},
      {"127.0.1", true, kLoopback},
      {"0x7f.0.0.1", true, kLoopback},
      {"0X7F.1", true, kLoopback},
      {"0177.0.0.1", true, kLoopback},
      {"127.0.0.01", true, kLoopback},
      {"2130706433", true, kLoopback},
      {"0x7f000001", true, kLoopback},
      {"017700000001", true, kLoopback},
      {"10.0xAbCdEf", true, 0x0AABCDEF},
      {"1.2.65535", true, 0x0102FFFF},
      {"1.16777215", true, 0x01FFFFFF},
      {"255.255.255.255", true, 0xFFFFFFFF},
      {"0xffffffff", true, 0xFFFFFFFF},
      {"4294967295", true, 0xFFFFFFFF},
      {"037777777777", true, 0xFFFFFFFF},
      {"0", true, 0},
      {"0x0", true, 0},
      {"0.0.0.0", true, 0},
      {"00000000000000000000000001", true, 1},  // leading zeros add nothing
      {"", false, 0},
      {"08", false, 0},  // octal digits are 0-7
      {"1.09", false, 0},
      {"0x", false, 0},  // a hex part needs a digit
      {"0x.1", false, 0},
      {"1.0x", false, 0},
      {"0xg", false, 0},
      {"1.2.3.4.5", false, 0},
      {"256.0.0.1", false, 0},
      {"1.256.0.0", false, 0},
      {"1.2.3.256", false, 0},
      {"1.2.65536", false, 0},
      {"1.16777216", false, 0},
      {"4294967296", false, 0},
      {"0x100000000", false, 0},
      {"040000000000", false, 0},
      {"99999999999999999999999", false, 0},  // past 64 bits too
      {"1..2", false, 0},
      {".1.2.3", false, 0},
      {"1.2.3.", false, 0},
      {"1.2.3.4 ", false, 0},
      {" 1.2.3.4", false, 0},
      {"1.-2", false, 0},
      {"1.+2", false, 0},
      {"1e3", false, 0},
      {"127.0.0.1x", false, 0},
      {"127.0.0.1:80", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::uint32_t addrNet = kUntouched;
    EXPECT_EQ(ParseIPv4Text(c.text, &addrNet), c.valid);
    if (c.valid) {
      EXPECT_EQ(AsWritten(addrNet), c.address);
      // Its dotted text reads back as the same address.
      char dotted[16];
      qvplat::FormatIPv4(addrNet, dotted);
      std::uint32_t again = kUntouched;
      EXPECT_TRUE(ParseIPv4Text(dotted, &again) && again == addrNet) << dotted;
    } else {
      EXPECT_EQ(addrNet, kUntouched);
    }
  }
}

}  // namespace
