#include "Ombrel_Remote_Host/reachability/router_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "OmbrelKit/port_mapping.h"

namespace ombrel {

namespace {

int remainingMilliseconds(Deadline until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

}  // namespace

SocketFD::~SocketFD() {
  if (fd_ >= 0) ::close(fd_);
}

SocketFD& SocketFD::operator=(SocketFD&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

sockaddr_in UDPSocket::address(const std::string& host, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &out.sin_addr) != 1)
    throw RouterError("bad address " + host);
  return out;
}

SocketFD UDPSocket::connected(const std::string& host, std::uint16_t port) {
  const sockaddr_in to = address(host, port);
  SocketFD fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) throw RouterError("socket failed");
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    throw RouterError("connect to " + host + " failed");
  return fd;
}

bool UDPSocket::wait(int fd, short events, Deadline until) {
  pollfd p{.fd = fd, .events = events, .revents = 0};
  return ::poll(&p, 1, remainingMilliseconds(until)) > 0 && p.revents != 0;
}

std::optional<std::pair<Bytes, std::string>> UDPSocket::receiveFrom(int fd, Deadline until) {
  if (std::chrono::steady_clock::now() >= until || !wait(fd, POLLIN, until)) return std::nullopt;
  Bytes buffer(PortMapping::maxDatagramSize);
  sockaddr_storage from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  if (from.ss_family != AF_INET) return std::pair<Bytes, std::string>{};
  buffer.resize(static_cast<std::size_t>(n));
  return std::pair{std::move(buffer), ntoa(reinterpret_cast<const sockaddr_in&>(from).sin_addr)};
}

std::string UDPSocket::localAddress(const std::string& host) {
  SocketFD fd = connected(host, 9);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    throw RouterError("getsockname failed");
  return ntoa(local.sin_addr);
}

std::string UDPSocket::ntoa(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

SocketFD TCPSocket::connect(const std::string& host, std::uint16_t port,
                            std::chrono::milliseconds timeout) {
  const sockaddr_in to = UDPSocket::address(host, port);
  const std::string where = host + ":" + std::to_string(port);
  // Non-blocking, so the connect waits no longer than asked; writes never raise SIGPIPE
  // (MSG_NOSIGNAL on each send).
  SocketFD fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) throw RouterError("socket failed");
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return fd;
  if (errno == EINPROGRESS &&
      UDPSocket::wait(fd.get(), POLLOUT, std::chrono::steady_clock::now() + timeout)) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return fd;
    throw RouterError("connect " + where + " failed (" + std::to_string(error) + ")");
  }
  throw RouterError("connect " + where + " timed out");
}

void TCPSocket::writeAll(int fd, ByteView bytes, Deadline deadline) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (!UDPSocket::wait(fd, POLLOUT, deadline)) throw RouterError("write timed out");
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      throw RouterError("write failed");
    }
    sent += static_cast<std::size_t>(n);
  }
}

Bytes TCPSocket::readAll(int fd, std::size_t limit, Deadline deadline) {
  Bytes out;
  std::uint8_t slice[PortMapping::readSliceSize];
  for (;;) {
    if (!UDPSocket::wait(fd, POLLIN, deadline)) throw RouterError("read timed out");
    const ssize_t n = ::recv(fd, slice, sizeof slice, 0);
    if (n == 0) return out;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      throw RouterError("read failed");
    }
    if (out.size() + static_cast<std::size_t>(n) > limit) throw RouterError("response too large");
    out.insert(out.end(), slice, slice + n);
  }
}

std::optional<HTTPReply> httpExchange(const std::string& host, std::uint16_t port,
                                      const std::string& method, const std::string& path,
                                      const std::vector<std::string>& headers,
                                      const std::string& body, Deadline deadline) {
  SocketFD fd = TCPSocket::connect(host, port, std::chrono::seconds(3));
  const std::string request = PortMapping::httpRequest(method, host, port, path, headers, body);
  TCPSocket::writeAll(fd.get(), view(request), deadline);
  const Bytes answer = TCPSocket::readAll(fd.get(), PortMapping::maxHTTPResponseSize, deadline);
  auto parsed = PortMapping::parseHTTPResponse(answer);
  if (!parsed) return std::nullopt;
  return HTTPReply{parsed->status, std::move(parsed->body)};
}

}  // namespace ombrel
