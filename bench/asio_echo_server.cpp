// asio_echo_server - the frame echo server written on standalone asio, the
// usual way: one io_context on one thread, a session per peer that reads
// what is there, cuts complete frames and writes them back, one write in
// flight at a time.
//
//   asio_echo_server PORT     listens on 127.0.0.1:PORT until it is stopped
#include <asio.hpp>
#include <cstdio>
#include <memory>
#include <vector>

#include "benchcommon.h"

using asio::ip::tcp;

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket socket) : socket_(std::move(socket)), in_(kReadRoom) {}

  void Start() { Read(); }

 private:
  // The input buffer starts small and grows when the start of a long frame
  // leaves too little room behind it.
  static constexpr size_t kReadRoom = 4096;

  void Read() {
    if (in_.size() - inLength_ < kReadRoom) in_.resize(2 * in_.size());
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(in_.data() + inLength_, in_.size() - inLength_),
                            [this, self](const asio::error_code& error, std::size_t n) {
                              if (error) return;
                              inLength_ += n;
                              if (!CutFrames()) return;
                              if (!writing_ && !pending_.empty()) Write();
                              Read();
                            });
  }

  // Moves every complete frame from the input to the pending output.
  bool CutFrames() {
    size_t at = 0;
    while (inLength_ - at >= bench::kHeaderSize) {
      std::uint32_t length = bench::LoadLength(in_.data() + at);
      if (length < bench::kHeaderSize || length > bench::kMaxFrame) return false;
      if (inLength_ - at < length) break;
      pending_.insert(pending_.end(), in_.data() + at, in_.data() + at + length);
      at += length;
    }
    std::memmove(in_.data(), in_.data() + at, inLength_ - at);
    inLength_ -= at;
    return true;
  }

  void Write() {
    writing_ = true;
    outgoing_.swap(pending_);
    pending_.clear();
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(outgoing_), [this, self](const asio::error_code& error, std::size_t) {
      writing_ = false;
      if (error) return;
      if (!pending_.empty()) Write();
    });
  }

  tcp::socket socket_;
  std::vector<char> in_;
  size_t inLength_ = 0;
  std::vector<char> pending_;   // echoes waiting for the write in flight
  std::vector<char> outgoing_;  // the write in flight
  bool writing_ = false;
};

void Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept([&acceptor](const asio::error_code& error, tcp::socket socket) {
    if (!error) {
      asio::error_code ignored;  // as the library does: small echoes go out at once
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<Session>(std::move(socket))->Start();
    }
    Accept(acceptor);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int port = bench::ParsePort(argc, argv);
  if (port == 0) {
    std::fprintf(stderr, "usage: asio_echo_server PORT\n");
    return 2;
  }
  bench::RaiseFileLimit();
  asio::io_context io(1);
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
  Accept(acceptor);
  std::fprintf(stderr, "asio_echo_server: listening on 127.0.0.1:%d\n", port);
  io.run();
}
