// The module entry point: what loading the shared library does, the one
// exported symbol, and module construction. Loading is observed in child
// processes, each in a fresh directory.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>  // before windows.h, as the support headers need it
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "diag/qvtexts.h"
#include "dispatch/qvsocketmanager.h"
#include "module/qvnetmoduleimpl.h"
#include "qvnet.h"
#include "support/qvrecordingsink.h"
#include "support/qvtestpeers.h"
#include "support/qvtestsupport.h"

namespace {

using CreateFn = QvNetModule* (*)();

// Loads the shared library into this process (its load-time work runs in
// the current directory).
void* OpenLibrary() {
#if defined(_WIN32)
  return reinterpret_cast<void*>(::LoadLibraryA(QVNET_SHARED_LIBRARY));
#else
  return ::dlopen(QVNET_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#endif
}

void* Symbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return ::dlsym(library, name);
#endif
}

// The directory the library makes for ./Log/Network.log. Windows names it
// "log" and ignores case; the test looks it up as the log file's path does.
bool LogDirectoryExists() { return qvtest::FileExists("Log"); }

// Each exit status names the check that failed.
TEST(LibraryLoadTest, LoadingMakesTheLogDirectoryAndExportsOnlyCreateNetModule) {
  const std::string dir = qvtest::FreshDir("load");
  QVTEST_EXPECT_CHILD(dir, [] {
    if (LogDirectoryExists()) return 2;
    void* lib = OpenLibrary();
    if (lib == nullptr) return 3;
    if (!LogDirectoryExists()) return 4;
    auto create = reinterpret_cast<CreateFn>(Symbol(lib, "CreateNetModule"));
    if (create == nullptr) return 5;
    // Internal classes and functions stay hidden.
    if (Symbol(lib, "_ZN15QvSocketManager8InstanceEv") != nullptr || Symbol(lib, "currentModule") != nullptr) return 6;
    // Two modules are distinct and release independently.
    QvNetModule* first = create();
    QvNetModule* second = create();
    if (first == nullptr || second == nullptr || first == second) return 7;
    if (second->Start(0) != 0) return 8;
    first->Release();
    second->Release();
    return 0;  // exiting stops the worker before the table and log go
  });
}

TEST(LibraryLoadTest, LoadingEmptiesAnExistingLogFile) {
  const std::string dir = qvtest::FreshDir("load-empties-log");
  std::filesystem::create_directory(dir + "/Log");
  ASSERT_TRUE(qvtest::WriteFile(dir + "/Log/Network.log", "a line from the last run\n"));
  QVTEST_EXPECT_CHILD(dir, [] {
    if (OpenLibrary() == nullptr) return 3;
    return qvtest::ReadFile("Log/Network.log").empty() ? 0 : 4;
  });
}

// What the directory holds, files and directories, as relative paths with
// "/" between their parts, in lower case (Windows names the default log's
// directory "log").
std::set<std::string> Contents(const std::string& dir) {
  std::set<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    std::string path = std::filesystem::relative(entry.path(), dir).generic_string();
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    found.insert(path);
  }
  return found;
}

// A log's lines without their time stamps ("Dec07 04:29:05"), or "?" when
// a line has none.
std::string WithoutStamps(const std::string& log) {
  static const std::regex stamp("[A-Z][a-z]{2}\\d{2} \\d{2}:\\d{2}:\\d{2}");
  std::string rest;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    if (end - start < 14 || !std::regex_match(log.substr(start, 14), stamp)) return "?";
    rest += log.substr(start + 14, end + 1 - (start + 14));
  }
  return rest;
}

template <typename... Args>
std::string LogLine(const char* format, Args... args) {
  char line[512];
  std::snprintf(line, sizeof line, format, args...);
  return ": " + std::string(line) + "\n";
}

// The log's settings are read when the library is loaded: where the file
// goes, or that there is none (and then no directory either). A Listen on
// an address that is no address logs one line, to show where lines go.
TEST(LibraryLoadTest, LogSettingsReadAtLoadChooseTheFileOrNone) {
  const std::string badListen = LogLine(qvtext::kLogNetError, qvplat::SocketErrorText(qvplat::kErrInvalidArgument));
  const std::string tooLong(256, 'n');
  const char* kNotSet = nullptr;
  const struct {
    const char* log;
    const char* file;
    std::set<std::string> contents;  // of the directory afterwards
    const char* logFile;             // its content: the lines below
    std::string lines;
  } cases[] = {
      {kNotSet, kNotSet, {"log", "log/network.log"}, "Log/Network.log", badListen},
      {"off", kNotSet, {}, nullptr, ""},
      {"OFF", "netlogs/app.log", {}, nullptr, ""},
      {kNotSet, "netlogs/app.log", {"netlogs", "netlogs/app.log"}, "netlogs/app.log", badListen},
      {"on", "app.log", {"app.log"}, "app.log", badListen},
      {"maybe", kNotSet, {"log", "log/network.log"}, "Log/Network.log",
       LogLine(qvtext::kLogBadSetting, "QVNET_LOG", "maybe", "on") + badListen},
      {kNotSet, tooLong.c_str(), {"log", "log/network.log"}, "Log/Network.log",
       LogLine(qvtext::kLogBadSetting, "QVNET_LOG_FILE", tooLong.c_str(), "./Log/Network.log") + badListen},
  };
  for (const auto& c : cases) {
    const std::string name = std::string(c.log ? c.log : "-") + " " + (c.file ? c.file : "-");
    SCOPED_TRACE(name.substr(0, 40));
    const std::string dir = qvtest::FreshDir("log-settings-" + std::to_string(&c - cases));
    QVTEST_EXPECT_CHILD(dir, [&] {
      if (c.log != nullptr) qvtest::SetEnvironment("QVNET_LOG", c.log);
      if (c.file != nullptr) qvtest::SetEnvironment("QVNET_LOG_FILE", c.file);
      void* lib = OpenLibrary();
      if (lib == nullptr) return 3;
      QvNetModule* module = reinterpret_cast<CreateFn>(Symbol(lib, "CreateNetModule"))();
      QvListenerApi* listener = module->CreateListener();
      const bool listened = listener->Listen("127.0.0.256", 0);
      listener->ReleaseHandlers();
      delete listener;
      module->Release();
      if (listened) return 4;
      if (Contents(".") != c.contents) return 5;
      if (c.logFile == nullptr) return 0;
      return WithoutStamps(qvtest::ReadText(c.logFile)) == c.lines ? 0 : 6;
    });
  }
}

TEST(QvNetModuleTest, NewestModuleIsCurrentAndKeepsWhatEarlierOnesRegistered) {
  QvNetModule* first = CreateNetModule();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(currentModule.load(), first);
  QvSocketManager& table = QvSocketManager::Instance();
  qvtest::SocketPair p;
  ASSERT_TRUE(qvtest::MakeLoopbackPair(&p));
  ASSERT_EQ(table.Register(p.local, ReadInterest, nullptr), 1);

  QvNetModule* second = CreateNetModule();
  EXPECT_NE(second, first);
  EXPECT_EQ(currentModule.load(), second);
  // The sockets of the first module are still served.
  EXPECT_EQ(table.Capacity(), 4000);
  EXPECT_EQ(table.Arm(p.local, WriteInterest, nullptr), 1);
  EXPECT_EQ(table.Unregister(p.local), 1);

  second->Release();
  EXPECT_EQ(currentModule.load(), second);  // Release leaves it as it is
  first->Release();
  p.Close();
}

// Kept in static storage, as applications do: destroyed during exit, after
// the library's own exit work. That must not touch freed memory (the
// sanitizer builds tell).
struct ListenerAtExit {
  QvListenerApi* listener = nullptr;
  ~ListenerAtExit() {
    if (listener == nullptr) return;
    listener->Close();
    listener->ReleaseHandlers();
    delete listener;
  }
} gListenerAtExit;
struct ConnectionAtExit {
  std::atomic<QvSocket*> connection{nullptr};  // told on the worker or the connecting thread
  ~ConnectionAtExit() { delete connection.load(); }
};
ConnectionAtExit gAcceptedAtExit;  // goes before the listener's codec
ConnectionAtExit gConnectedAtExit;

// Made before main, like the holders above: destroyed only after the
// library has stopped the worker at exit (a static made later, inside a
// function, would be destroyed before, while the worker may still call it).
// The first two keep their connection in its holder; the third ends the
// process from inside OnPacket, at its first frame.
qvtest::RecordingSink gAcceptedSink, gConnectedSink, gExitingSink;

TEST(LibraryExitTest, ObjectsDestroyedLateInTheExitAreSafe) {
  const std::string dir = qvtest::FreshDir("exit-order");
  QVTEST_EXPECT_CHILD(dir, [] {
    QvNetModule* module = CreateNetModule();
    gListenerAtExit.listener = module->CreateListener();
    gAcceptedSink.onConnected = [](QvSocket* c) { gAcceptedAtExit.connection.store(c); };
    gConnectedSink.onConnected = [](QvSocket* c) { gConnectedAtExit.connection.store(c); };
    gListenerAtExit.listener->SetAcceptHandler(new qvtest::SinkGiver(&gAcceptedSink));
    const int port = qvtest::ListenOnAnyPort(gListenerAtExit.listener);
    module->Start(0);
    QvNetClient* client = module->CreateClient(0);
    client->SetSink(&gConnectedSink);
    client->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
    client->Release();
    module->Release();
    if (port == 0 || gConnectedAtExit.connection.load() == nullptr) return 1;
    gConnectedAtExit.connection.load()->Send("bye", 3);
    return qvtest::WaitUntil([] { return gAcceptedAtExit.connection.load() != nullptr; }) ? 0 : 2;
  });
}

// exit() from inside OnPacket: the exit's work runs on the worker, with
// the connection's receive lock held, and destroys the listener kept in a
// static object there (debug builds check the lock order on the way).
TEST(LibraryExitTest, ExitFromOnPacketDestroysAStaticListener) {
  const std::string dir = qvtest::FreshDir("exit-from-callback");
  QVTEST_EXPECT_CHILD(dir, [] {
    QvNetModule* module = CreateNetModule();
    module->Start(0);
    gListenerAtExit.listener = module->CreateListener();
    gExitingSink.onPacket = [](const char*, int) { std::exit(0); };
    gListenerAtExit.listener->SetAcceptHandler(new qvtest::SinkGiver(&gExitingSink));
    const int port = qvtest::ListenOnAnyPort(gListenerAtExit.listener);
    const qvplat::Socket peer = port != 0 ? qvtest::RawConnect(port) : qvplat::kInvalidSocket;
    const std::string frame = qvtest::Frame("bye");
    if (peer == qvplat::kInvalidSocket || !qvtest::SendAll(peer, frame.data(), frame.size())) return 1;
    qvtest::Event never;
    never.WaitFor(1);  // the worker's exit ends the process first
    return 2;
  });
}

}  // namespace
