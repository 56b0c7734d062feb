#pragma once

// The host's TCP listening socket: dual-stack where IPv6 exists (IPv4 alone otherwise), address
// reuse on, accepted sockets handed over as they come. The retry rule and everything the
// controller does with its events live in the controller; this class only reports.
//
// States:
//   created -> ready(port)    start() bound and listens; onReady
//   created -> failed(error)  opening, binding or listening failed; onFailed
//   ready -> failed(error)    accepting failed for good (not for a single aborted peer)
//   any -> cancelled          cancel(); nothing is reported after it
// A listener is never restarted: after a failure the owner makes a new one.
//
// Threading: the socket and every callback live on the listener's own serial queue (made on the
// runtime's pool, so accepted sockets belong to the pool's io_context, as the connections that
// wrap them require). `start` and `cancel` may be called from any thread; the owner hops to its
// own queue in the callbacks. Callbacks hold the listener weakly.

#include <asio/ip/tcp.hpp>

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "base/runtime.h"
#include "base/serial_queue.h"

namespace ombrel {

class HostListener : public std::enable_shared_from_this<HostListener> {
 public:
  // `port` 0 means any free port.
  static std::shared_ptr<HostListener> create(Runtime& runtime, std::uint16_t port);
  ~HostListener();
  HostListener(const HostListener&) = delete;
  HostListener& operator=(const HostListener&) = delete;

  std::function<void(std::uint16_t port)> onReady;
  std::function<void(std::error_code error)> onFailed;
  // A connected peer and its address text (an IPv4 peer on a dual-stack socket is written as
  // IPv4; IPv6 link-local peers keep their scope suffix).
  std::function<void(asio::ip::tcp::socket socket, std::string remoteIP)> onConnection;

  void start();
  void cancel();

  std::uint16_t requestedPort() const { return requestedPort_; }

  // How long accepting pauses when the process or system is out of descriptors or memory: the
  // pending connection keeps the socket readable, so retrying at once would spin a core.
  static constexpr std::chrono::milliseconds resourceBackoff{100};

  // The address text of an endpoint, as the listener reports it.
  static std::string addressText(const asio::ip::address& address);

 private:
  HostListener(std::shared_ptr<SerialQueue> queue, std::uint16_t port);
  void open();
  void acceptNext();
  void backOff(int code);
  void fail(std::error_code error);

  const std::shared_ptr<SerialQueue> queue_;
  const std::uint16_t requestedPort_;
  // Queue only.
  std::optional<asio::ip::tcp::acceptor> acceptor_;
  bool cancelled_ = false;
  std::optional<asio::steady_timer> backoff_;
  bool shortageLogged_ = false;
};

}  // namespace ombrel
