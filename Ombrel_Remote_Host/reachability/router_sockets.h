#pragma once

// Blocking IPv4 sockets with explicit deadlines, for talking to the home router: a datagram
// utility (NAT-PMP, SSDP), a stream utility and a one-request HTTP/1.1 client (the UPnP
// description and SOAP actions). Every wait is bounded, so a silent or slow router costs a
// known, small amount of time on the port mapper's own thread and nowhere else.
//
// Failures throw RouterError, whose text goes into the port mapper's log lines.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace ombrel {

struct RouterError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using Deadline = std::chrono::steady_clock::time_point;

// Closes the descriptor it holds when it goes.
class SocketFD {
 public:
  explicit SocketFD(int fd = -1) : fd_(fd) {}
  ~SocketFD();
  SocketFD(SocketFD&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  SocketFD& operator=(SocketFD&& other) noexcept;
  SocketFD(const SocketFD&) = delete;
  SocketFD& operator=(const SocketFD&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

namespace UDPSocket {
// Throws "bad address " + host unless `host` is an IPv4 literal.
sockaddr_in address(const std::string& host, std::uint16_t port);
// A datagram socket connected to host:port.
SocketFD connected(const std::string& host, std::uint16_t port);
// One poll for `events` with the time left until `until`.
bool wait(int fd, short events, Deadline until);
// One datagram of at most maxDatagramSize bytes and its sender's dotted address (both empty
// for a non-IPv4 sender); nothing on timeout or a failed receive.
std::optional<std::pair<Bytes, std::string>> receiveFrom(int fd, Deadline until);
// The local address the system picks for reaching `host`.
std::string localAddress(const std::string& host);
std::string ntoa(in_addr address);
}  // namespace UDPSocket

namespace TCPSocket {
SocketFD connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
void writeAll(int fd, ByteView bytes, Deadline deadline);
Bytes readAll(int fd, std::size_t limit, Deadline deadline);
}  // namespace TCPSocket

struct HTTPReply {
  int status = 0;
  Bytes body;
};

// One request on its own connection (connect within 3 seconds, everything within `deadline`),
// read until the router closes. Nothing when the answer is not a valid HTTP response; socket
// failures throw.
std::optional<HTTPReply> httpExchange(const std::string& host, std::uint16_t port,
                                      const std::string& method, const std::string& path,
                                      const std::vector<std::string>& headers,
                                      const std::string& body, Deadline deadline);

}  // namespace ombrel
