#pragma once

// A listening socket on a loopback address with an ephemeral port, for tests that need a real
// TCP peer. Nothing here leaves the machine.

#include <asio/ip/tcp.hpp>

#include <cstdint>

namespace ombrel::test {

class LoopbackListener {
 public:
  explicit LoopbackListener(asio::io_context& context,
                            asio::ip::address address = asio::ip::address_v4::loopback(),
                            int backlog = asio::socket_base::max_listen_connections)
      : acceptor_(context) {
    asio::ip::tcp::endpoint endpoint(address, 0);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(backlog);
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  asio::ip::tcp::acceptor& acceptor() { return acceptor_; }
  // Blocks until a client connects.
  asio::ip::tcp::socket accept() { return acceptor_.accept(); }

 private:
  asio::ip::tcp::acceptor acceptor_;
};

}  // namespace ombrel::test
