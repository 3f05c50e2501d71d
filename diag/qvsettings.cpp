// qvsettings.cpp - settings read from QVNET_* environment variables.
#include "qvsettings.h"

#include <atomic>
#include <cstdlib>
#include <string>

namespace qvdiag {

namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kDefaultTotalLimit = (sizeof(void*) < 8 ? 256 : 1024) * kKiB * kKiB;
constexpr std::uint64_t kDefaultSendLimit = 64 * kKiB * kKiB;
constexpr std::uint64_t kDefaultHighWater = 4 * kKiB * kKiB;
constexpr std::uint64_t kHighestSendLimit = 1024 * kKiB * kKiB * kKiB;
constexpr int kDefaultLingerSeconds = 10;
constexpr int kLongestLingerSeconds = 3600;
constexpr int kDefaultFrameSeconds = 30;
constexpr int kDefaultStallSeconds = 10;
constexpr int kLongestTimeout = 86400;  // a day

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

constexpr std::size_t kLongestLogFile = 255;  // what the log's name field holds

std::atomic<BadSettingReporter> badSettingReporter{nullptr};

void ReportBad(const char* name, const char* text, const char* fallbackText) {
  const BadSettingReporter report = badSettingReporter.load(std::memory_order_acquire);
  if (report != nullptr) report(BadSetting{name, text, fallbackText});
}

// The value of environment variable `name` parsed by `parse`, or the
// default; an unset or empty variable means the default, silently. A value
// that is not valid is reported, or with `deferred` noted there.
template <typename T, typename Parse>
T Read(const char* name, T fallback, const char* fallbackText, Parse parse,
       std::vector<BadSetting>* deferred = nullptr) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  T value;
  if (parse(text, &value)) return value;
  if (deferred != nullptr) {
    deferred->push_back(BadSetting{name, text, fallbackText});
  } else {
    ReportBad(name, text, fallbackText);
  }
  return fallback;
}

// Whether `text` is `word`, in any case (ASCII).
bool IsWord(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    const char c = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text - 'A' + 'a') : *text;
    if (c != *word) return false;
  }
  return *text == '\0' && *word == '\0';
}

// A number of bytes as the settings write it: "4M", "64K", "70000".
std::string ByteText(std::uint64_t bytes) {
  const char* units = "KMG";
  int unit = -1;
  while (unit < 2 && bytes != 0 && bytes % kKiB == 0) {
    bytes /= kKiB;
    ++unit;
  }
  return std::to_string(bytes) + (unit < 0 ? std::string() : std::string(1, units[unit]));
}

}  // namespace

void SetBadSettingReporter(BadSettingReporter report) { badSettingReporter.store(report, std::memory_order_release); }

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

bool ParseTimeout(const char* text, int* seconds) {
  std::uint64_t n = 0;
  if (!ParseDigits(text, &n) || n > static_cast<std::uint64_t>(kLongestTimeout)) return false;
  *seconds = static_cast<int>(n);
  return true;
}

bool ParseTraceTarget(const char* text, TraceTarget* target) {
  if (IsWord(text, "stdout")) {
    *target = TraceTarget::kStandardOutput;
  } else if (IsWord(text, "stderr")) {
    *target = TraceTarget::kStandardError;
  } else if (IsWord(text, "off")) {
    *target = TraceTarget::kNowhere;
  } else {
    return false;
  }
  return true;
}

bool ParseEncoding(const char* text, TextEncoding* encoding) {
  if (IsWord(text, "gbk")) {
    *encoding = TextEncoding::kGbk;
  } else if (IsWord(text, "utf-8") || IsWord(text, "utf8")) {
    *encoding = TextEncoding::kUtf8;
  } else {
    return false;
  }
  return true;
}

bool ParseOnOff(const char* text, bool* on) {
  if (!IsWord(text, "on") && !IsWord(text, "off")) return false;
  *on = IsWord(text, "on");
  return true;
}

bool ParseLogFile(const char* text, std::string* file) {
  const std::string path(text);
  if (path.empty() || path.size() > kLongestLogFile) return false;
  *file = path;
  return true;
}

namespace {

// Each setting is kept in a function-local static of a type without a
// destructor. The worker may read a setting for the first time while the
// process exits, and a static with a destructor registers it with the exit
// handlers then: on Windows that waits for the lock the exiting thread
// holds while it runs them, and that thread waits for the worker.

// A number of seconds, its default written out for the log line.
int ReadSeconds(const char* name, int fallback, bool (*parse)(const char*, int*)) {
  return Read(name, fallback, std::to_string(fallback).c_str(), parse);
}

// A byte count read as the others are, that must not be above `ceiling`,
// the setting above it. Its default is bounded by that ceiling too; a value
// above it falls back to the default with one report.
std::uint64_t ReadBoundedBytes(const char* name, std::uint64_t defaultBytes, std::uint64_t ceiling) {
  const std::uint64_t fallback = defaultBytes < ceiling ? defaultBytes : ceiling;
  const std::string fallbackText = ByteText(fallback);
  const std::uint64_t value = Read(name, fallback, fallbackText.c_str(), ParseByteCount);
  if (value <= ceiling) return value;
  ReportBad(name, std::getenv(name), fallbackText.c_str());
  return fallback;
}

}  // namespace

std::uint64_t SendTotalLimitBytes() {
  static const std::uint64_t limit = ReadBoundedBytes("QVNET_SEND_TOTAL_LIMIT", kDefaultTotalLimit, kHighestSendLimit);
  return limit;
}

std::uint64_t SendLimitBytes() {
  // Above the total limit, one connection would pass it first.
  static const std::uint64_t limit = ReadBoundedBytes("QVNET_SEND_LIMIT", kDefaultSendLimit, SendTotalLimitBytes());
  return limit;
}

std::uint64_t SendHighWaterBytes() {
  // Above the limit the connection would end before SendWithin waited.
  static const std::uint64_t mark = ReadBoundedBytes("QVNET_SEND_HIGH_WATER", kDefaultHighWater, SendLimitBytes());
  return mark;
}

int SendStallSeconds() {
  static const int seconds = ReadSeconds("QVNET_SEND_STALL_SECONDS", kDefaultStallSeconds, ParseTimeout);
  return seconds;
}

bool NoDelay() {
  static const bool on = Read("QVNET_NODELAY", true, "on", ParseOnOff);
  return on;
}

int LingerSeconds() {
  static const int seconds = ReadSeconds("QVNET_LINGER_SECONDS", kDefaultLingerSeconds, ParseSeconds);
  return seconds;
}

int FrameSeconds() {
  static const int seconds = ReadSeconds("QVNET_FRAME_SECONDS", kDefaultFrameSeconds, ParseTimeout);
  return seconds;
}

int IdleSeconds() {
  static const int seconds = Read("QVNET_IDLE_SECONDS", 0, "0", ParseTimeout);
  return seconds;
}

TraceTarget TraceDestination() {
  static const TraceTarget target = Read("QVNET_TRACE", TraceTarget::kStandardOutput, "stdout", ParseTraceTarget);
  return target;
}

TextEncoding TraceEncoding() {
  static const TextEncoding encoding = Read("QVNET_TRACE_ENCODING", TextEncoding::kGbk, "gbk", ParseEncoding);
  return encoding;
}

LogFileSettings ReadLogFileSettings(bool offByDefault) {
  LogFileSettings settings;
  const std::string named = Read("QVNET_LOG_FILE", std::string(), kDefaultLogFile, ParseLogFile, &settings.bad);
  if (!named.empty()) settings.file = named;
  settings.defaultFile = named.empty() || named == kDefaultLogFile;
  // A program's own default gives way to a file the environment names.
  const bool on = !offByDefault || !named.empty();
  settings.on = Read("QVNET_LOG", on, on ? "on" : "off", ParseOnOff, &settings.bad);
  return settings;
}

}  // namespace qvdiag
