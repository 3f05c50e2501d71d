// qvcatinput.h - what qvcat reads and how it shows frames: its arguments,
// its --file, its lines of standard input, and the text and hex forms of a
// frame. Plain C++, no library calls; every error comes back as a text for
// qvcat to print, never as an exit.
#ifndef QV_TOOLS_QVCAT_QVCATINPUT_H
#define QV_TOOLS_QVCAT_QVCATINPUT_H

#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace qvcat {

// The largest payload the library's default framing takes.
constexpr int kLargestPayload = 40955;

// Exit statuses.
enum Exit { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// The help text, for --help.
extern const char kUsage[];

struct Options {
  bool listen = false;
  bool haveBind = false;
  bool haveWait = false;
  std::string host;
  int port = 0;
  std::string bind = "127.0.0.1";
  bool haveFile = false;
  std::string file;
  bool hex = false;
  long count = 0;  // 0: no limit
  int waitSeconds = 10;
  bool echo = false;
  bool traces = false;
};

// What the arguments ask for.
struct Arguments {
  enum Outcome {
    kRun,    // options holds what to do
    kHelp,   // --help (or -h) came before any error: print kUsage, exit 0
    kUsage,  // error holds the reason, "(see qvcat --help)" included: exit 2
  };
  Outcome outcome = kRun;
  Options options;
  std::string error;
};

// Reads the arguments after the program name, in order; the first error or
// --help ends the reading.
Arguments ParseArguments(const std::vector<std::string>& arguments);

// A decimal number of 1 to 9 digits, nothing else, from low to high.
bool ParseNumber(const std::string& text, long low, long high, long* value);

// The bytes of a --file, checked against the frame limit. False with the
// reason in *error (exit 2) when the file cannot be read or is too long.
bool ReadFrameFile(const std::string& path, std::string* bytes, std::string* error);

// Hands every line of `in` to `send`, without its line end ("\n", or
// "\r\n"), in order, until the input ends. Returns "" then, or the reason
// (exit 1) at the first line over kLargestPayload bytes, which is not sent.
std::string ReadLines(std::istream& in, const std::function<void(const std::string&)>& send);

// A frame as qvcat prints it, line end included: "[LENGTH] text" (bytes
// below 0x20, 0x7f and backslash escaped), or "[LENGTH]" and a hex dump.
std::string FormatFrame(const char* data, int length, bool hex);
// The text form of the bytes alone: \\, \n, \r, \t or \xHH for the bytes
// above, the others as they are.
void AppendEscaped(const char* data, int length, std::string* text);
// 00000000  68 65 6c 6c 6f 0a                                 |hello.|
void AppendHexDump(const char* data, int length, std::string* text);

}  // namespace qvcat

#endif  // QV_TOOLS_QVCAT_QVCATINPUT_H
