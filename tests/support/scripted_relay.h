#pragma once

// A relay server the test speaks for, on loopback: it accepts connections and the test reads
// and writes their lines itself. Reads give up after a limit, so a broken test fails instead of
// hanging. Nothing here leaves the machine.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ombrel::test {

// One end of a TCP connection with line reads that give up after a limit.
class Peer {
 public:
  Peer() = default;
  explicit Peer(int fd) : fd_(fd) {}
  Peer(Peer&& other) noexcept : fd_(std::exchange(other.fd_, -1)), pending_(other.pending_) {}
  Peer& operator=(Peer&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(pending_, other.pending_);
    return *this;
  }
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool valid() const { return fd_ >= 0; }

  // A line without its "\n"; nothing when the limit passes or the stream ends first.
  std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (;;) {
      if (auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (!readSome(limit)) return std::nullopt;
    }
  }

  // Whether the other side closed within the limit (whatever it sent first is dropped).
  bool closedWithin(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  bool readSome(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string pending_;
};

// A relay the test speaks for, line by line.
class ScriptedRelay {
 public:
  explicit ScriptedRelay(int backlog = SOMAXCONN, std::uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, backlog) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
    }
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~ScriptedRelay() { ::close(fd_); }

  std::uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  Peer accept(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return Peer();
    return Peer(::accept(fd_, nullptr, nullptr));
  }

  // The next control connection and its registration line; latency probes (connections that
  // close without a byte) are passed over.
  std::pair<Peer, std::string> acceptRegistration() {
    for (;;) {
      Peer peer = accept();
      if (!peer.valid()) return {};
      if (auto line = peer.readLine()) return {std::move(peer), *line};
    }
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

inline Peer dial(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "cannot connect to port " << port;
  }
  return Peer(fd);
}

// A relay that answers no SYN: a listener with a backlog of 0 and one connection already
// waiting in it.
struct SilentRelay {
  ScriptedRelay relay{0};
  Peer filler = dial(relay.port());
};

}  // namespace ombrel::test
