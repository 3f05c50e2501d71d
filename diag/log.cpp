// log.cpp - time-stamped, flushed log lines in a file.
#include "log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../platform/qvsystem.h"
#include "qvsettings.h"
#include "qvtextcopy.h"
#include "qvtexts.h"

namespace qvdiag {

namespace {

bool Now(std::tm* out) { return qvplat::LocalTime(std::time(nullptr), out); }

}  // namespace

log::log(const char* name) : log(name, true) {}

log::log(const char* name, bool on) : file_(nullptr), on_(on) {
  std::memset(name_, 0, sizeof name_);
  if (name != nullptr) {
    // A name too long for the field is cut; the last byte stays NUL.
    CopyText(name_, name);
  } else {
    std::tm now;
    if (!Now(&now) || std::strftime(name_, sizeof name_, "%m_%d_%H_%M.log", &now) == 0) {
      std::strcpy(name_, "00_00_00_00.log");
    }
  }
  if (on_) file_ = std::fopen(name_, "w");
}

log::~log() { Close(); }

void log::Close() {
  qvplat::LockGuard guard(lock_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void FormatStamp(const std::tm* when, char (&out)[32]) {
  if (when == nullptr || std::strftime(out, sizeof out, "%b%d %H:%M:%S", when) == 0) {
    std::strcpy(out, "?");
  }
}

void log(class log& target, const char* format, ...) {
  if (!target.on_) return;
  qvplat::LockGuard guard(target.lock_);
  if (target.file_ == nullptr) {
    target.file_ = std::fopen(target.name_, "a");
    if (target.file_ == nullptr) return;  // dropped; the next line tries again
  }
  const std::time_t second = std::time(nullptr);
  if (second != target.stampSecond_) {
    std::tm now;
    FormatStamp(qvplat::LocalTime(second, &now) ? &now : nullptr, target.stamp_);
    target.stampSecond_ = second;
  }
  const char* stamp = target.stamp_;
  if (format != nullptr) {
    std::fputs(stamp, target.file_);
    std::fputs(": ", target.file_);
    va_list args;
    va_start(args, format);
    std::vfprintf(target.file_, format, args);
    va_end(args);
    std::fputs("\n", target.file_);
  } else {
    std::fprintf(target.file_, "%s [error] log::log got NULL fmt\n", stamp);
  }
  std::fflush(target.file_);
}

// Constructed before the load-time work that makes the directory, so that
// a missing directory is seen here first.
#define QV_EARLY_INIT __attribute__((init_priority(101)))

namespace {

alignas(class log) unsigned char networkLogStorage[sizeof(class log)];
class log* networkLog = nullptr;
// The directory MakeLogDirectory makes; empty for none.
char networkLogDirectory[256];
// Log settings that were not valid, for MakeLogDirectory to write once the
// file can be there; null when there are none.
std::vector<BadSetting>* badLogSettings = nullptr;

void CloseNetworkLog() { networkLog->Close(); }

// A setting read after load whose value was not valid: one line.
void LogBadSetting(const BadSetting& bad) {
  log(*networkLog, qvtext::kLogBadSetting, bad.name, bad.value.c_str(), bad.fallback);
}

// The directory a log file lies in: its path up to the last separator, or
// nothing for a file named without one.
void DirectoryOf(const std::string& file, char (&out)[256]) {
  const std::size_t end = file.find_last_of(qvplat::kPathSeparators);
  CopyText(out, end == std::string::npos || end == 0 ? "" : file.substr(0, end).c_str());
}

struct NetworkLogMaker {
  NetworkLogMaker() {
    const LogFileSettings settings = ReadLogFileSettings(qvplat::ProgramWantsLogOffByDefault());
    networkLog = new (networkLogStorage) class log(settings.file.c_str(), settings.on);
    if (!settings.on) {
      networkLogDirectory[0] = '\0';
    } else if (settings.defaultFile) {
      CopyText(networkLogDirectory, qvplat::kFileNamesIgnoreCase ? "log" : "Log");
    } else {
      DirectoryOf(settings.file, networkLogDirectory);
    }
    std::atexit(CloseNetworkLog);
    SetBadSettingReporter(LogBadSetting);
    if (!settings.bad.empty()) badLogSettings = new std::vector<BadSetting>(settings.bad);
  }
} networkLogMaker QV_EARLY_INIT;

}  // namespace

class log& NetworkLog() { return *networkLog; }

void MakeLogDirectory() {
  if (networkLogDirectory[0] != '\0') qvplat::MakeDirectory(networkLogDirectory);
  if (badLogSettings == nullptr) return;
  for (const BadSetting& bad : *badLogSettings) LogBadSetting(bad);
  delete badLogSettings;
  badLogSettings = nullptr;
}

}  // namespace qvdiag
