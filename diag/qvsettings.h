// qvsettings.h - the library's settings (internal).
//
// The interfaces have no room for configuration, so settings come from
// environment variables named QVNET_*. Each is read once, when it is first
// needed, so a program may set them in main() before it uses the library;
// the log file's are needed when the library is loaded, before main().
// A value that is not valid falls back to the default, with one line in the
// log naming the setting, the value and the default (written by the log,
// see SetBadSettingReporter: the log depends on the settings, never the
// other way). Names and values are ASCII; the words are matched without
// regard to case. README.md lists them all ("Settings").
#ifndef QV_DIAG_QVSETTINGS_H
#define QV_DIAG_QVSETTINGS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qvdiag {

// The three bounds on bytes waiting to be sent keep their order: high-water
// mark <= send limit <= total limit. A value that breaks it falls back to
// its default (bounded by the setting above it) with one log line.
//
// QVNET_SEND_TOTAL_LIMIT: how many bytes may wait to be sent over all
// connections together; passing it ends the connection with the most bytes
// waiting, then the next, until the total is back under it. A number of
// bytes, optionally followed by K, M or G (units of 1024); 64K to 1024G.
// Default 1G (256M where pointers have 32 bits).
std::uint64_t SendTotalLimitBytes();
// The least any of the send limits and the high-water mark may be: a count
// of bytes up to it passes every one of them without reading a setting.
constexpr std::uint64_t kLowestSendLimit = 64 * 1024;

// QVNET_SEND_LIMIT: how many bytes may wait to be sent on one connection
// (its send queue and what waits behind it) before the connection is ended.
// A number of bytes as above, and no more than the total limit. Default 64M,
// or the total limit when that is lower.
std::uint64_t SendLimitBytes();

// QVNET_SEND_HIGH_WATER: the queued bytes on one connection above which
// SendWithin waits, and the stall clock runs. A number of bytes as above,
// and no more than the send limit. Default 4M, or the send limit when that
// is lower.
std::uint64_t SendHighWaterBytes();

// QVNET_SEND_STALL_SECONDS: how long a connection may stay above its
// high-water mark with no byte leaving before it is ended. 0 to 86400;
// 0 never. Default 10.
int SendStallSeconds();

// QVNET_NODELAY: on (the default) sets TCP_NODELAY on every connection, so
// small frames go out at once; off leaves the system's default.
bool NoDelay();

// QVNET_LINGER_SECONDS: how long a closing connection may go without
// progress (its queued bytes going out, or the peer ending its stream)
// before its socket is closed anyway. 0 to 3600; 0 closes at once. Default 10.
int LingerSeconds();

// QVNET_FRAME_SECONDS: how long a frame may stay incomplete after its first
// byte arrived before the connection is reset. 0 to 86400; 0 never. Default
// 30.
int FrameSeconds();

// QVNET_IDLE_SECONDS: how long a connection may move no byte in either
// direction before it is reset. 0 to 86400; 0 (the default) never.
int IdleSeconds();

// QVNET_TRACE: where the console traces go. stdout (the default), stderr,
// or off (none is formatted or written). Read at the first trace.
enum class TraceTarget { kStandardOutput, kStandardError, kNowhere };
TraceTarget TraceDestination();

// QVNET_TRACE_ENCODING: how the traces' Chinese texts are written. gbk (the
// default: the bytes as the library holds them) or utf-8 (also utf8). Read
// at the first trace.
enum class TextEncoding { kGbk, kUtf8 };
TextEncoding TraceEncoding();

// The network log's file when QVNET_LOG_FILE is not set.
constexpr char kDefaultLogFile[] = "./Log/Network.log";

// A value that was not valid, for the log line that says so.
struct BadSetting {
  const char* name;
  std::string value;
  const char* fallback;
};

// QVNET_LOG: on (the default) or off (no log file, and no directory made
// for it). QVNET_LOG_FILE: the log file's path, at most 255 characters;
// kDefaultLogFile by default. Read once, when the library is loaded, by the
// network log itself, which does not exist yet: values that are not valid
// are handed back in `bad`, for the log to write once it is made.
// `offByDefault` (the program declared QVNET_LOG_OFF_BY_DEFAULT) makes the
// log off unless QVNET_LOG=on or a valid QVNET_LOG_FILE is set.
struct LogFileSettings {
  bool on = true;
  bool defaultFile = true;  // QVNET_LOG_FILE not set (or not valid)
  std::string file = kDefaultLogFile;
  std::vector<BadSetting> bad;
};
LogFileSettings ReadLogFileSettings(bool offByDefault);

// Where the values that are not valid go, one report each: settings know
// no log. The network log installs its writer when the library is loaded
// (log.cpp), before any setting can be read; until one is installed, a
// value that is not valid is only replaced by its default.
using BadSettingReporter = void (*)(const BadSetting& bad);
void SetBadSettingReporter(BadSettingReporter report);

// The parsers behind them, for tests: false when the text is not valid.
bool ParseByteCount(const char* text, std::uint64_t* bytes);
bool ParseSeconds(const char* text, int* seconds);
bool ParseTimeout(const char* text, int* seconds);
bool ParseTraceTarget(const char* text, TraceTarget* target);
bool ParseEncoding(const char* text, TextEncoding* encoding);
bool ParseOnOff(const char* text, bool* on);
bool ParseLogFile(const char* text, std::string* file);

}  // namespace qvdiag

#endif  // QV_DIAG_QVSETTINGS_H
