// fuzz_qvcat_input.cpp - qvcat's input: its arguments, its lines of
// standard input, and the printed forms of a frame (tools/qvcat/
// qvcatinput.h).
//
// Input: byte 0 picks what the rest is (its value modulo 3):
//   0  arguments, separated by NUL bytes
//   1  standard input, cut into lines as qvcat cuts it
//   2  a frame's payload, printed as text and as a hex dump
//
// Invariants:
//  - arguments: reading them ends in a run, help, or one usage error that
//    ends in "(see qvcat --help)"; a run's options are within their ranges
//    and consistent with the mode; written back as arguments they read the
//    same; reading is deterministic;
//  - lines: the lines handed on, each followed by the line end cut off it
//    ("\n", or "\r\n"), are the input, in order, up to the end of the input
//    or up to the first line over 40955 bytes, which alone is refused, with
//    its number and length in the reason;
//  - text form: one line, no control byte, and unescaped it gives the
//    payload back; hex dump: one line of 16 bytes each (the last shorter),
//    whose hex cells give the payload back and whose text column shows the
//    printable bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "qvcatinput.h"

namespace {

using qvcat::Arguments;
using qvcat::Options;

bool SameOptions(const Options& a, const Options& b) {
  return a.listen == b.listen && a.haveBind == b.haveBind && a.haveWait == b.haveWait && a.host == b.host &&
         a.port == b.port && a.bind == b.bind && a.haveFile == b.haveFile && a.file == b.file && a.hex == b.hex &&
         a.count == b.count && a.waitSeconds == b.waitSeconds && a.echo == b.echo && a.traces == b.traces;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The options as arguments that ask for them.
std::vector<std::string> Written(const Options& o) {
  std::vector<std::string> a;
  if (o.hex) a.push_back("--hex");
  if (o.echo) a.push_back("--echo");
  if (o.traces) a.push_back("--traces");
  if (o.haveFile) a.insert(a.end(), {"--file", o.file});
  if (o.haveBind) a.push_back("--bind=" + o.bind);
  if (o.count > 0) a.push_back("--count=" + std::to_string(o.count));
  if (o.haveWait) a.insert(a.end(), {"--wait", std::to_string(o.waitSeconds)});
  if (o.listen) {
    a.insert(a.end(), {"listen", std::to_string(o.port)});
  } else {
    a.insert(a.end(), {"connect", o.host, std::to_string(o.port)});
  }
  return a;
}

void CheckArguments(const std::string& bytes) {
  std::vector<std::string> arguments;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    if (i == bytes.size() || bytes[i] == '\0') {
      arguments.push_back(bytes.substr(start, i - start));
      start = i + 1;
    }
  }
  const Arguments a = qvcat::ParseArguments(arguments);
  const Arguments again = qvcat::ParseArguments(arguments);
  QVFUZZ_CHECK(a.outcome == again.outcome && a.error == again.error);
  if (a.outcome == Arguments::kUsage) {
    QVFUZZ_CHECK(EndsWith(a.error, " (see qvcat --help)"));
    QVFUZZ_CHECK(a.error.size() > std::strlen(" (see qvcat --help)"));
    return;
  }
  if (a.outcome == Arguments::kHelp) return;
  const Options& o = a.options;
  QVFUZZ_CHECK(SameOptions(o, again.options));
  QVFUZZ_CHECK(o.port >= (o.listen ? 0 : 1) && o.port <= 65535);  // listen 0: any free port
  QVFUZZ_CHECK(o.count >= 0 && o.count <= 999999999);
  QVFUZZ_CHECK(o.waitSeconds >= 0 && o.waitSeconds <= 86400);
  QVFUZZ_CHECK(o.haveWait || o.waitSeconds == 10);
  QVFUZZ_CHECK(o.haveBind || o.bind == "127.0.0.1");
  QVFUZZ_CHECK(o.haveFile || o.file.empty());
  if (o.listen) {
    QVFUZZ_CHECK(o.host.empty() && !o.haveWait);
  } else {
    QVFUZZ_CHECK(!o.host.empty() && !o.haveBind);
    QVFUZZ_CHECK(o.host.size() == 1 || o.host[0] != '-');
  }
  const Arguments written = qvcat::ParseArguments(Written(o));
  QVFUZZ_CHECK(written.outcome == Arguments::kRun);
  QVFUZZ_CHECK(SameOptions(o, written.options));
}

void CheckLines(const std::string& input) {
  std::istringstream in(input);
  std::vector<std::string> lines;
  const std::string error = qvcat::ReadLines(in, [&lines](const std::string& line) { lines.push_back(line); });
  std::size_t at = 0;
  for (const std::string& line : lines) {
    QVFUZZ_CHECK(line.size() <= static_cast<std::size_t>(qvcat::kLargestPayload));
    QVFUZZ_CHECK(line.find('\n') == std::string::npos);
    QVFUZZ_CHECK(input.compare(at, line.size(), line) == 0);
    at += line.size();
    if (at < input.size() && input[at] == '\r' && (at + 1 == input.size() || input[at + 1] == '\n')) ++at;
    QVFUZZ_CHECK(at == input.size() || input[at] == '\n');
    if (at < input.size()) ++at;
  }
  if (error.empty()) {
    QVFUZZ_CHECK(at == input.size());
    return;
  }
  // The refused line: the next one, too long once its line end is off.
  std::size_t end = input.find('\n', at);
  if (end == std::string::npos) end = input.size();
  std::size_t length = end - at;
  if (length > 0 && input[at + length - 1] == '\r') --length;
  QVFUZZ_CHECK(length > static_cast<std::size_t>(qvcat::kLargestPayload));
  QVFUZZ_CHECK(error == "line " + std::to_string(lines.size() + 1) + " of the input is " + std::to_string(length) +
                            " bytes, over the 40955-byte limit of one frame");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void CheckForms(const std::string& payload) {
  const int length = static_cast<int>(payload.size());
  // Text: one line, no control byte, and it reads back.
  const std::string text = qvcat::FormatFrame(payload.data(), length, false);
  const std::string prefix = "[" + std::to_string(length) + "]" + (length > 0 ? " " : "");
  QVFUZZ_CHECK(text.compare(0, prefix.size(), prefix) == 0 && text.back() == '\n');
  const std::string body = text.substr(prefix.size(), text.size() - prefix.size() - 1);
  std::string back;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    QVFUZZ_CHECK(c >= 0x20 && c != 0x7f);
    if (c != '\\') {
      back += static_cast<char>(c);
      continue;
    }
    QVFUZZ_CHECK(i + 1 < body.size());
    const char e = body[++i];
    if (e == '\\') {
      back += '\\';
    } else if (e == 'n') {
      back += '\n';
    } else if (e == 'r') {
      back += '\r';
    } else if (e == 't') {
      back += '\t';
    } else {
      QVFUZZ_CHECK(e == 'x' && i + 2 < body.size());
      const int high = HexDigit(body[i + 1]), low = HexDigit(body[i + 2]);
      QVFUZZ_CHECK(high >= 0 && low >= 0);
      const int value = high * 16 + low;
      QVFUZZ_CHECK(value < 0x20 || value == 0x7f);
      QVFUZZ_CHECK(value != '\n' && value != '\r' && value != '\t');
      back += static_cast<char>(value);
      i += 2;
    }
  }
  QVFUZZ_CHECK(back == payload);

  // Hex dump: "[N]\n", then lines of 16 bytes.
  const std::string hex = qvcat::FormatFrame(payload.data(), length, true);
  const std::string head = "[" + std::to_string(length) + "]\n";
  QVFUZZ_CHECK(hex.compare(0, head.size(), head) == 0);
  std::size_t at = head.size();
  std::string bytes;
  for (int line = 0; line < length; line += 16) {
    const std::size_t end = hex.find('\n', at);
    QVFUZZ_CHECK(end != std::string::npos);
    const std::string row = hex.substr(at, end - at);
    at = end + 1;
    const int n = length - line < 16 ? length - line : 16;
    char offset[16];
    std::snprintf(offset, sizeof offset, "%08x  ", static_cast<unsigned>(line));
    QVFUZZ_CHECK(row.size() == 10 + 16 * 3 + 1 + 2 + static_cast<std::size_t>(n) + 1);
    QVFUZZ_CHECK(row.compare(0, 10, offset) == 0);
    for (int i = 0; i < n; ++i) {
      const std::size_t cell = 10 + static_cast<std::size_t>(i) * 3 + (i >= 8 ? 1 : 0);
      const int high = HexDigit(row[cell]), low = HexDigit(row[cell + 1]);
      QVFUZZ_CHECK(high >= 0 && low >= 0 && row[cell + 2] == ' ');
      const char c = static_cast<char>(high * 16 + low);
      bytes += c;
      const unsigned char u = static_cast<unsigned char>(c);
      const char shown = row[10 + 16 * 3 + 1 + 2 + static_cast<std::size_t>(i)];
      QVFUZZ_CHECK(shown == ((u >= 0x20 && u < 0x7f) ? c : '.'));
    }
    QVFUZZ_CHECK(row.back() == '|');
  }
  QVFUZZ_CHECK(at == hex.size());
  QVFUZZ_CHECK(bytes == payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: CheckArguments(rest); break;
    case 1: CheckLines(rest); break;
    default: CheckForms(rest);
  }
  return 0;
}
