// benchcommon.h - small helpers shared by the benchmark programs: the frame
// header, the clock, percentiles, loopback sockets, /proc readings, the
// standard output set aside from the library's traces, the payload
// pattern the load generator checks echoes against, and the programs'
// "--name value" options.
#ifndef QVNET_BENCH_BENCHCOMMON_H
#define QVNET_BENCH_BENCHCOMMON_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace bench {

// Wire format: a 4-byte little-endian length that counts itself, then the
// payload. The library's receive queue takes frames of up to 40960 bytes.
constexpr std::uint32_t kHeaderSize = 4;
constexpr std::uint32_t kMaxFrame = 40960;
constexpr std::uint32_t kMaxPayload = 40955;

inline void StoreLength(char* at, std::uint32_t length) {
  at[0] = static_cast<char>(length & 0xFF);
  at[1] = static_cast<char>((length >> 8) & 0xFF);
  at[2] = static_cast<char>((length >> 16) & 0xFF);
  at[3] = static_cast<char>((length >> 24) & 0xFF);
}

inline std::uint32_t LoadLength(const char* at) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(at);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// Monotonic nanoseconds.
inline std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The q-quantile (0..1) of the samples, nearest rank; sorts them. 0 when empty.
inline double Percentile(std::vector<std::int64_t>& samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(q * static_cast<double>(samples.size()));
  if (rank >= samples.size()) rank = samples.size() - 1;
  return static_cast<double>(samples[rank]);
}

// Raises the soft descriptor limit to the hard one; returns the new limit.
inline long RaiseFileLimit() {
  rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
  getrlimit(RLIMIT_NOFILE, &r);
  return static_cast<long>(r.rlim_cur);
}

inline bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

inline sockaddr_in Loopback(int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

// A listening socket on 127.0.0.1:port, or -1 (with a message on stderr).
inline int ListenLoopback(int port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = Loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    std::perror("listen");
    close(fd);
    return -1;
  }
  return fd;
}

// The port argument of a server: 1..65535, or 0 when it is not one.
inline int ParsePort(int argc, char** argv) {
  if (argc != 2) return 0;
  int port = std::atoi(argv[1]);
  return port > 0 && port <= 65535 ? port : 0;
}

// A "Vm...:" line of /proc/PID/status in KB (pid 0: this process), or -1.
inline long long ReadStatusKb(int pid, const char* field) {
  char path[64];
  if (pid > 0) std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  else std::snprintf(path, sizeof path, "/proc/self/status");
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long long kb = -1;
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, length) == 0) {
      kb = std::atoll(line + length);
      break;
    }
  }
  std::fclose(f);
  return kb;
}

// Resident memory now, and its highest value since the process started (or
// since ResetRssPeak).
inline long long ReadRssKb(int pid) { return ReadStatusKb(pid, "VmRSS:"); }
inline long long ReadRssPeakKb(int pid) { return ReadStatusKb(pid, "VmHWM:"); }

// Sets this process's VmHWM back to its resident memory now; false when the
// system does not allow it.
inline bool ResetRssPeak() {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// Points descriptor 1 at the null device, where the library's console
// traces go, and returns a descriptor of the original standard output for
// the program's own result; -1 when that fails.
inline int SetStdoutAside() {
  std::fflush(stdout);
  const int result = dup(1);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const bool ok = result >= 0 && null >= 0 && dup2(null, 1) >= 0;
  if (null >= 0) close(null);
  if (!ok && result >= 0) close(result);
  return ok ? result : -1;
}

// Payload pattern. The payload of frame `seq` on connection `conn` is fixed
// by the two numbers: its first 8 bytes are seq, the next 4 conn, the rest a
// window into a block of pseudo-random bytes that starts at an offset taken
// from seq. Payloads shorter than 12 bytes are only the window. The echo is
// compared byte for byte against what was sent.
class Pattern {
 public:
  static constexpr std::uint32_t kSpan = 65536;

  Pattern() : block_(kSpan + kMaxPayload) {
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (char& c : block_) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x >> 24);
    }
  }

  // Writes the payload of (conn, seq) to out.
  void Fill(char* out, std::uint32_t length, std::uint32_t conn, std::uint64_t seq) const {
    std::uint32_t head = Head(length);
    if (head > 0) {
      std::memcpy(out, &seq, 8);
      std::memcpy(out + 8, &conn, 4);
    }
    std::memcpy(out + head, block_.data() + Offset(conn, seq), length - head);
  }

  // True when data is the payload of (conn, seq).
  bool Matches(const char* data, std::uint32_t length, std::uint32_t conn, std::uint64_t seq) const {
    std::uint32_t head = Head(length);
    if (head > 0) {
      std::uint64_t s;
      std::uint32_t c;
      std::memcpy(&s, data, 8);
      std::memcpy(&c, data + 8, 4);
      if (s != seq || c != conn) return false;
    }
    return std::memcmp(data + head, block_.data() + Offset(conn, seq), length - head) == 0;
  }

 private:
  static std::uint32_t Head(std::uint32_t length) { return length >= 12 ? 12 : 0; }
  static std::uint32_t Offset(std::uint32_t conn, std::uint64_t seq) {
    return static_cast<std::uint32_t>((seq * 131 + conn * 17) % kSpan);
  }
  std::vector<char> block_;
};

// One "--name value" option of a program, and what takes its value.
struct Option {
  const char* name;
  std::function<void(const char*)> set;
};

// Where an option's value goes, converted to the field's type.
inline std::function<void(const char*)> Into(int* field) {
  return [field](const char* v) { *field = std::atoi(v); };
}
inline std::function<void(const char*)> Into(long long* field) {
  return [field](const char* v) { *field = std::atoll(v); };
}
inline std::function<void(const char*)> Into(std::uint32_t* field) {
  return [field](const char* v) { *field = static_cast<std::uint32_t>(std::atol(v)); };
}
inline std::function<void(const char*)> Into(double* field) {
  return [field](const char* v) { *field = std::atof(v); };
}
inline std::function<void(const char*)> Into(std::string* field) {
  return [field](const char* v) { *field = v; };
}

// Hands each "--name value" pair of the command line to its option; false
// on a name no option has, or a name without its value.
inline bool ParseOptions(int argc, char** argv, std::initializer_list<Option> options) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const Option* found = nullptr;
    for (const Option& option : options) {
      if (std::strcmp(argv[i], option.name) == 0) found = &option;
    }
    if (found == nullptr) return false;
    found->set(argv[i + 1]);
  }
  return true;
}

}  // namespace bench

#endif  // QVNET_BENCH_BENCHCOMMON_H
