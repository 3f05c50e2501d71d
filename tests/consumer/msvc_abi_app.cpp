// msvc_abi_app.cpp - an application built with the Microsoft C++ ABI
// (clang --target=<arch>-pc-windows-msvc), as most applications that load
// the DLL are, against the DLL built with mingw-w64. It uses the public
// headers alone, no C runtime (the few Win32 functions it calls are
// declared here, its heap is the process heap), and checks what differs
// between the two ABIs: destruction, in both directions, and the places of
// the entries added after the destructor.
//
// It is built four ways (cmake/msvc-abi-app.cmake): with the Microsoft and
// with the GNU layout (mingw-w64), each from the current headers and from
// the frozen 1.0 headers (tests/consumer/headers-1.0), so that an
// application built before the entries were added runs with this DLL.
// Built from the current headers (QVNET_ABI_APP_CALLS_ADDED) it also calls
// LocalPort, Unsent and SendWithin.
//
// A listener with this program's own codec and accept handler serves a
// client connected through the DLL; they exchange a frame; the program
// deletes the client's connection, the accepted connection and the
// listener with `delete`; ReleaseHandlers deletes the codec and the handler
// (their destructors must run); the module is released. The exit status is
// the number of the first check that failed, 0 when all passed.
#include "qvnet.h"

using Size = decltype(sizeof 0);

extern "C" {
__declspec(dllimport) void* __stdcall GetProcessHeap();
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, unsigned long flags, Size bytes);
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* block);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size, unsigned long* written,
                                              void* overlapped);
__declspec(dllimport) int __stdcall WSAStartup(unsigned short version, void* data);

// What the compiler may call for copies and clearing; written so that it
// is not turned back into a call of itself.
void* memset(void* to, int value, Size n) {
  volatile unsigned char* p = static_cast<unsigned char*>(to);
  while (n-- > 0) *p++ = static_cast<unsigned char>(value);
  return to;
}
void* memcpy(void* to, const void* from, Size n) {
  volatile unsigned char* p = static_cast<unsigned char*>(to);
  const unsigned char* q = static_cast<const unsigned char*>(from);
  while (n-- > 0) *p++ = *q++;
  return to;
}
}

void* operator new(Size bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }
void operator delete(void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
void operator delete(void* block, Size) noexcept { HeapFree(GetProcessHeap(), 0, block); }
// What the GNU layout's interface tables name for their pure entries.
extern "C" void __cxa_pure_virtual() { ExitProcess(100); }

namespace {

void Say(const char* text) {
  unsigned long length = 0;
  while (text[length] != '\0') ++length;
  unsigned long written = 0;
  WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), text, length, &written, nullptr);  // STD_OUTPUT_HANDLE
}

// Set on the worker thread, read here.
int Load(const int& flag) { return __atomic_load_n(&flag, __ATOMIC_SEQ_CST); }
void Store(int& flag, int value) { __atomic_store_n(&flag, value, __ATOMIC_SEQ_CST); }
QvSocket* Load(QvSocket* const& p) { return __atomic_load_n(&p, __ATOMIC_SEQ_CST); }
void Store(QvSocket*& p, QvSocket* value) { __atomic_store_n(&p, value, __ATOMIC_SEQ_CST); }

// Waits up to ten seconds for a count to reach `count`.
bool WaitFor(const int& flag, int count = 1) {
  for (int i = 0; i < 1000 && Load(flag) < count; ++i) Sleep(10);
  return Load(flag) >= count;
}

bool Equal(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

struct Flags {
  int codecGone = 0;
  int handlerGone = 0;
  int encoded = 0;
  int pongs = 0;
  int serverEnded = 0;
  QvSocket* serverConnection = nullptr;
};
Flags* flags;

// The length framing, counting its frames; its destructor says it ran.
class AppCodec : public QvPacketCodec {
 public:
  ~AppCodec() override { Store(flags->codecGone, 1); }
  int Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) override {
    if (length + 4 >= *dstLength) return static_cast<int>(*dstLength = 0);
    const unsigned int total = length + 4;
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<char>((total >> (8 * i)) & 0xFF);
    for (unsigned int i = 0; i < length; ++i) dst[4 + i] = src[i];
    __atomic_add_fetch(&flags->encoded, 1, __ATOMIC_SEQ_CST);
    return static_cast<int>(*dstLength = total);
  }
  int Decode(const char*, unsigned int, char*, unsigned int* dstLength) override {
    return static_cast<int>(*dstLength = 0);
  }
};

// The server's side: answers "ping" with "pong".
class ServerSink : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* connection) override { Store(flags->serverConnection, connection); }
  void OnConnectFailed() override {}
  void OnDisconnected() override { Store(flags->serverEnded, 1); }
  void OnPacket(const char* data, int length) override {
    if (length == 4 && Equal(data, "ping", 4)) Load(flags->serverConnection)->Send("pong", 4);
  }
};

class AppHandler : public QvAcceptHandler {
 public:
  ~AppHandler() override { Store(flags->handlerGone, 1); }
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override { return &sink_; }

 private:
  ServerSink sink_;
};

class ClientSink : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override {
    if (length == 4 && Equal(data, "pong", 4)) __atomic_add_fetch(&flags->pongs, 1, __ATOMIC_SEQ_CST);
  }
  QvSocket* connection = nullptr;
};

// The entries added after the destructor, where the headers have them: 0,
// or the number of the check that failed.
#if defined(QVNET_ABI_APP_CALLS_ADDED)
int ListenOnAnyPort(QvListenerApi* listener) {
  if (listener->LocalPort() != -1 || !listener->Listen("127.0.0.1", 0)) return 0;
  return listener->LocalPort();
}
// Below the high-water mark SendWithin queues at once; a payload the
// framing refuses is not queued.
unsigned int SendWithinAndUnsent(QvSocket* connection) {
  if (connection->Unsent() < 0) return 8;
  if (!connection->SendWithin("ping", 4, 1000)) return 9;
  if (connection->SendWithin("ping", -1, 1000)) return 10;
  return WaitFor(flags->pongs, 2) ? 0 : 11;
}
unsigned int NotConnected(QvSocket* ended) {
  return ended->Unsent() == -1 && !ended->SendWithin("late", 4, 1000) ? 0 : 12;
}
#else
int ListenOnAnyPort(QvListenerApi*) { return 0; }
unsigned int SendWithinAndUnsent(QvSocket*) { return 0; }
unsigned int NotConnected(QvSocket*) { return 0; }
#endif

void Finish(unsigned int failed) {
  Say(failed == 0 ? "msvc_abi_app: all checks passed\n" : "msvc_abi_app: a check failed\n");
  ExitProcess(failed);
}

unsigned int Run() {
  alignas(8) static char winsock[512];
  if (WSAStartup(0x0202, winsock) != 0) return 1;
  flags = new Flags;
  QvNetModule* module = CreateNetModule();
  module->Start(0);
  QvListenerApi* listener = module->CreateListener();
  listener->SetCodec(new AppCodec);
  AppHandler* handler = new AppHandler;
  listener->SetAcceptHandler(handler);
  int port = ListenOnAnyPort(listener);
  for (int candidate = 41234; candidate < 41334 && port <= 0; ++candidate) {
    if (listener->Listen("127.0.0.1", candidate)) port = candidate;
  }
  if (port <= 0) return 2;

  QvNetClient* client = module->CreateClient(0);
  ClientSink* clientSink = new ClientSink;
  client->SetSink(clientSink);
  client->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  if (clientSink->connection == nullptr) return 3;
  clientSink->connection->Send("ping", 4);
  if (!WaitFor(flags->pongs)) return 4;
  if (Load(flags->encoded) != 1) return 5;  // the listener's connection framed with our codec
  if (const unsigned int failed = SendWithinAndUnsent(clientSink->connection)) return failed;

  // Destruction of the DLL's objects through the Microsoft layout: the
  // closed connection ends the server's, which proves it was destroyed.
  delete clientSink->connection;
  if (!WaitFor(flags->serverEnded)) return 6;
  if (const unsigned int failed = NotConnected(Load(flags->serverConnection))) return failed;
  listener->Close();
  delete Load(flags->serverConnection);
  // And of this program's objects by the DLL, through their one entry.
  listener->ReleaseHandlers();
  if (Load(flags->codecGone) != 1 || Load(flags->handlerGone) != 1) return 7;
  delete listener;
  client->Release();
  module->Release();
  delete clientSink;
  return 0;
}

}  // namespace

extern "C" void Start() { Finish(Run()); }
