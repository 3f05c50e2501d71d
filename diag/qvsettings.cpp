// qvsettings.cpp - settings read from QVNET_* environment variables.
#include "qvsettings.h"

#include <cstdlib>
#include <string>

#include "log.h"
#include "qvtexts.h"

namespace qvdiag {

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kDefaultSendLimit = 4 * kKiB * kKiB;
constexpr std::uint64_t kLowestSendLimit = 64 * kKiB;
constexpr std::uint64_t kHighestSendLimit = 1024 * kKiB * kKiB * kKiB;
constexpr int kDefaultLingerSeconds = 10;
constexpr int kLongestLingerSeconds = 3600;

// Digits only, at most 18 of them, so that no value overflows.
bool ParseDigits(const char* text, std::uint64_t* value) {
  std::uint64_t v = 0;
  int digits = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (++digits > 18) return false;
    v = v * 10 + static_cast<std::uint64_t>(*text - '0');
  }
  *value = v;
  return digits > 0 && *text == '\0';
}

// The value of environment variable `name` parsed by `parse`, or the
// default; an unset or empty variable means the default, silently.
template <typename T, typename Parse>
T Read(const char* name, T fallback, const std::string& fallbackText, Parse parse) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  T value;
  if (parse(text, &value)) return value;
  log(NetworkLog(), qvtext::kLogBadSetting, name, text, fallbackText.c_str());
  return fallback;
}

}  // namespace

bool ParseByteCount(const char* text, std::uint64_t* bytes) {
  std::string digits(text);
  std::uint64_t unit = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'k': case 'K': unit = kKiB; break;
      case 'm': case 'M': unit = kKiB * kKiB; break;
      case 'g': case 'G': unit = kKiB * kKiB * kKiB; break;
      default: break;
    }
    if (unit != 1) digits.pop_back();
  }
  std::uint64_t n = 0;
  if (!ParseDigits(digits.c_str(), &n) || n > kHighestSendLimit / unit) return false;
  n *= unit;
  if (n < kLowestSendLimit || n > kHighestSendLimit) return false;
  *bytes = n;
  return true;
}

bool ParseSeconds(const char* text, int* seconds) {
  std::uint64_t n = 0;
  if (!ParseDigits(text, &n) || n > static_cast<std::uint64_t>(kLongestLingerSeconds)) return false;
  *seconds = static_cast<int>(n);
  return true;
}

std::uint64_t SendLimitBytes() {
  static const std::uint64_t limit = Read("QVNET_SEND_LIMIT", kDefaultSendLimit, "4M", ParseByteCount);
  return limit;
}

int LingerSeconds() {
  static const int seconds =
      Read("QVNET_LINGER_SECONDS", kDefaultLingerSeconds, std::to_string(kDefaultLingerSeconds), ParseSeconds);
  return seconds;
}

}  // namespace qvdiag
