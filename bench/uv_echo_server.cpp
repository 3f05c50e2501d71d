// uv_echo_server - the frame echo server written on libuv, the usual way:
// the default loop on one thread, a read callback per peer that cuts
// complete frames and hands them to uv_write in one request.
//
//   uv_echo_server PORT     listens on 127.0.0.1:PORT until it is stopped
#include <uv.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "benchcommon.h"

namespace {

// The input buffer starts small and grows when the start of a long frame
// leaves too little room behind it.
constexpr size_t kReadRoom = 4096;

struct Peer {
  uv_tcp_t handle;
  std::vector<char> in = std::vector<char>(kReadRoom);
  size_t inLength = 0;
};

struct WriteRequest {
  uv_write_t request;
  std::vector<char> data;
};

void OnClosed(uv_handle_t* handle) { delete reinterpret_cast<Peer*>(handle->data); }

void Allocate(uv_handle_t* handle, size_t, uv_buf_t* buf) {
  Peer* p = static_cast<Peer*>(handle->data);
  if (p->in.size() - p->inLength < kReadRoom) p->in.resize(2 * p->in.size());
  *buf = uv_buf_init(p->in.data() + p->inLength, static_cast<unsigned int>(p->in.size() - p->inLength));
}

void OnWritten(uv_write_t* request, int) { delete reinterpret_cast<WriteRequest*>(request->data); }

void OnRead(uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
  Peer* p = static_cast<Peer*>(stream->data);
  if (n < 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(stream), OnClosed);
    return;
  }
  p->inLength += static_cast<size_t>(n);
  size_t at = 0;
  while (p->inLength - at >= bench::kHeaderSize) {
    std::uint32_t length = bench::LoadLength(p->in.data() + at);
    if (length < bench::kHeaderSize || length > bench::kMaxFrame) {
      uv_close(reinterpret_cast<uv_handle_t*>(stream), OnClosed);
      return;
    }
    if (p->inLength - at < length) break;
    at += length;
  }
  if (at == 0) return;
  // Every complete frame goes back in one write.
  auto* w = new WriteRequest;
  w->request.data = w;
  w->data.assign(p->in.data(), p->in.data() + at);
  uv_buf_t buf = uv_buf_init(w->data.data(), static_cast<unsigned int>(at));
  if (uv_write(&w->request, stream, &buf, 1, OnWritten) != 0) delete w;
  std::memmove(p->in.data(), p->in.data() + at, p->inLength - at);
  p->inLength -= at;
}

void OnConnection(uv_stream_t* server, int status) {
  if (status < 0) return;
  Peer* p = new Peer;
  p->handle.data = p;
  uv_tcp_init(server->loop, &p->handle);
  if (uv_accept(server, reinterpret_cast<uv_stream_t*>(&p->handle)) != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(&p->handle), OnClosed);
    return;
  }
  uv_tcp_nodelay(&p->handle, 1);  // as the library does: small echoes go out at once
  uv_read_start(reinterpret_cast<uv_stream_t*>(&p->handle), Allocate, OnRead);
}

}  // namespace

int main(int argc, char** argv) {
  const int port = bench::ParsePort(argc, argv);
  if (port == 0) {
    std::fprintf(stderr, "usage: uv_echo_server PORT\n");
    return 2;
  }
  bench::RaiseFileLimit();
  // libuv writes with plain write(): a peer that closed with echoes still
  // queued would end the process with SIGPIPE, as in any libuv server
  // that does not ignore it.
  signal(SIGPIPE, SIG_IGN);
  uv_loop_t* loop = uv_default_loop();
  uv_tcp_t server;
  uv_tcp_init(loop, &server);
  sockaddr_in address;
  uv_ip4_addr("127.0.0.1", port, &address);
  int r = uv_tcp_bind(&server, reinterpret_cast<const sockaddr*>(&address), 0);
  if (r == 0) r = uv_listen(reinterpret_cast<uv_stream_t*>(&server), SOMAXCONN, OnConnection);
  if (r != 0) {
    std::fprintf(stderr, "uv_echo_server: %s\n", uv_strerror(r));
    return 1;
  }
  std::fprintf(stderr, "uv_echo_server: listening on 127.0.0.1:%d\n", port);
  return uv_run(loop, UV_RUN_DEFAULT);
}
