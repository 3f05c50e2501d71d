// qvcatinput.cpp - qvcat's arguments, input lines and frame texts.
#include "qvcatinput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qvcat {

const char kUsage[] =
    "usage: qvcat [options] connect HOST PORT\n"
    "       qvcat [options] listen PORT\n"
    "\n"
    "Sends every line of standard input as one frame (without its line end)\n"
    "and prints every frame received, one line each: \"[LENGTH] text\".\n"
    "listen 0 takes a free port; the \"listening on\" line names it.\n"
    "\n"
    "options:\n"
    "  --file F      send the bytes of file F as one frame (at most 40955 bytes)\n"
    "                instead of reading standard input; in listen mode every\n"
    "                peer gets it as soon as it connects\n"
    "  --hex         print every frame as a hex dump\n"
    "  --count N     exit once N frames have been received\n"
    "  --wait S      connect mode: once the input is sent, wait at most S seconds\n"
    "                (default 10) for the rest of the --count frames\n"
    "  --echo        answer every frame received with itself\n"
    "  --bind ADDR   listen mode: the IPv4 address to listen on (default 127.0.0.1)\n"
    "  --traces      also show the library's console traces on standard output\n"
    "                (QVNET_TRACE=stdout); without it qvcat sets QVNET_TRACE=off\n"
    "  --help        show this help\n"
    "\n"
    "Text output shows bytes below 0x20, 0x7f and backslash as \\n, \\r, \\t, \\\\\n"
    "or \\xHH, so that each frame stays on one line.\n"
    "\n"
    "connect: ends when the input is sent (and, with --count, N frames have\n"
    "  come), or as soon as N frames have come.\n"
    "listen: serves every peer at once; standard input goes to every peer\n"
    "  connected at the time (reading waits for the first one); runs until\n"
    "  --count frames have come from all peers together, or until stopped.\n"
    "  Peers coming and going are reported on standard error.\n"
    "\n"
    "exit status: 0 clean end, 1 network failure (refused, closed by the peer,\n"
    "  frames missing after --wait), 2 bad arguments or unusable --file.\n"
    "\n"
    "The library's settings (environment variables) apply; one set in the\n"
    "environment wins over qvcat's choice:\n"
    "  QVNET_TRACE=stdout|stderr|off     where the library's traces go\n"
    "  QVNET_TRACE_ENCODING=gbk|utf-8    the traces' encoding (default gbk)\n"
    "  QVNET_LOG=on|off                  the log file (default off for qvcat)\n"
    "  QVNET_LOG_FILE=PATH               its path, and the log on (library\n"
    "                                    default ./Log/Network.log)\n"
    "  QVNET_SEND_LIMIT, QVNET_LINGER_SECONDS   see the library's README\n"
    "With a log, the reason of a network failure is its last line.\n";

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

namespace {

Arguments UsageError(const std::string& reason) {
  Arguments a;
  a.outcome = Arguments::kUsage;
  a.error = reason + " (see qvcat --help)";
  return a;
}

// A port from `lowest` (1 to connect to, 0 to listen on: any free port) to
// 65535.
bool ParsePort(const std::string& text, long lowest, int* port, Arguments* error) {
  long value = 0;
  if (!ParseNumber(text, lowest, 65535, &value)) {
    *error = UsageError("bad port '" + text + "' (" + std::to_string(lowest) + " to 65535)");
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

}  // namespace

Arguments ParseArguments(const std::vector<std::string>& arguments) {
  Arguments result;
  Options& o = result.options;
  std::vector<std::string> positional;
  const size_t count = arguments.size();
  for (size_t i = 0; i < count; ++i) {
    std::string arg = arguments[i];
    std::string value;
    bool inlineValue = false;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        inlineValue = true;
      }
    }
    // The option's value, inline or the next argument; false when missing.
    auto takeValue = [&](std::string* out) {
      if (inlineValue) {
        *out = value;
        return true;
      }
      if (i + 1 >= count) return false;
      *out = arguments[++i];
      return true;
    };
    const bool flag = arg == "--hex" || arg == "--echo" || arg == "--traces";
    const bool valued = arg == "--file" || arg == "--bind" || arg == "--count" || arg == "--wait";
    if (flag && inlineValue) return UsageError(arg + " takes no value");
    std::string text;
    if (valued && !takeValue(&text)) return UsageError(arg + " needs a value");
    if (arg == "--help" || arg == "-h") {
      result.outcome = Arguments::kHelp;
      return result;
    } else if (arg == "--hex") {
      o.hex = true;
    } else if (arg == "--echo") {
      o.echo = true;
    } else if (arg == "--traces") {
      o.traces = true;
    } else if (arg == "--file") {
      o.file = text;
      o.haveFile = true;
    } else if (arg == "--bind") {
      o.bind = text;
      o.haveBind = true;
    } else if (arg == "--count") {
      if (!ParseNumber(text, 1, 999999999, &o.count)) return UsageError("bad --count '" + text + "' (a number from 1)");
    } else if (arg == "--wait") {
      long seconds = 0;
      if (!ParseNumber(text, 0, 86400, &seconds)) {
        return UsageError("bad --wait '" + text + "' (seconds, 0 to 86400)");
      }
      o.waitSeconds = static_cast<int>(seconds);
      o.haveWait = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) return UsageError("say connect HOST PORT or listen PORT");
  Arguments error;
  if (positional[0] == "connect") {
    if (positional.size() != 3) return UsageError("connect takes HOST and PORT");
    o.host = positional[1];
    if (o.host.empty()) return UsageError("empty HOST");
    if (!ParsePort(positional[2], 1, &o.port, &error)) return error;
  } else if (positional[0] == "listen") {
    if (positional.size() != 2) return UsageError("listen takes PORT");
    o.listen = true;
    if (!ParsePort(positional[1], 0, &o.port, &error)) return error;
  } else {
    return UsageError("unknown mode '" + positional[0] + "' (connect or listen)");
  }
  if (o.haveBind && !o.listen) return UsageError("--bind is for listen mode");
  if (o.haveWait && o.listen) return UsageError("--wait is for connect mode");
  return result;
}

bool ReadFrameFile(const std::string& path, std::string* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  if (bytes->size() > static_cast<size_t>(kLargestPayload)) {
    *error = path + " is " + std::to_string(bytes->size()) + " bytes, over the 40955-byte limit of one frame";
    return false;
  }
  return true;
}

std::string ReadLines(std::istream& in, const std::function<void(const std::string&)>& send) {
  std::string line;
  long number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > static_cast<size_t>(kLargestPayload)) {
      return "line " + std::to_string(number) + " of the input is " + std::to_string(line.size()) +
             " bytes, over the 40955-byte limit of one frame";
    }
    send(line);
  }
  return std::string();
}

std::string FormatFrame(const char* data, int length, bool hex) {
  std::string text = "[" + std::to_string(length) + "]";
  if (hex) {
    text += '\n';
    AppendHexDump(data, length, &text);
  } else {
    if (length > 0) text += ' ';
    AppendEscaped(data, length, &text);
    text += '\n';
  }
  return text;
}

void AppendEscaped(const char* data, int length, std::string* text) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    switch (c) {
      case '\\': *text += "\\\\"; break;
      case '\n': *text += "\\n"; break;
      case '\r': *text += "\\r"; break;
      case '\t': *text += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          *text += "\\x";
          *text += kDigits[c >> 4];
          *text += kDigits[c & 15];
        } else {
          *text += static_cast<char>(c);
        }
    }
  }
}

void AppendHexDump(const char* data, int length, std::string* text) {
  char cell[16];
  for (int line = 0; line < length; line += 16) {
    std::snprintf(cell, sizeof cell, "%08x  ", static_cast<unsigned>(line));
    *text += cell;
    for (int i = 0; i < 16; ++i) {
      if (line + i < length) {
        std::snprintf(cell, sizeof cell, "%02x ", static_cast<unsigned char>(data[line + i]));
        *text += cell;
      } else {
        *text += "   ";
      }
      if (i == 7) *text += ' ';
    }
    *text += " |";
    for (int i = 0; i < 16 && line + i < length; ++i) {
      const unsigned char c = static_cast<unsigned char>(data[line + i]);
      *text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    *text += "|\n";
  }
}

}  // namespace qvcat
