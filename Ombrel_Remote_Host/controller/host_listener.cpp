#include "Ombrel_Remote_Host/controller/host_listener.h"

#include <asio/bind_executor.hpp>
#include <asio/ip/v6_only.hpp>

#include <cerrno>
#include <cstring>

#include "base/log.h"

namespace ombrel {

HostListener::HostListener(std::shared_ptr<SerialQueue> queue, std::uint16_t port)
    : queue_(std::move(queue)), requestedPort_(port) {}

HostListener::~HostListener() = default;

std::shared_ptr<HostListener> HostListener::create(Runtime& runtime, std::uint16_t port) {
  return std::shared_ptr<HostListener>(
      new HostListener(runtime.makeQueue("ombrel.listener"), port));
}

std::string HostListener::addressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

void HostListener::start() {
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock(); self && !self->cancelled_) self->open();
  });
}

void HostListener::cancel() {
  queue_->post([self = shared_from_this()] {
    self->cancelled_ = true;
    if (self->acceptor_) {
      std::error_code ignored;
      self->acceptor_->close(ignored);
    }
    if (self->backoff_) self->backoff_->cancel();
    self->onReady = nullptr;
    self->onFailed = nullptr;
    self->onConnection = nullptr;
  });
}

void HostListener::open() {
  std::error_code error;
  asio::ip::tcp::acceptor acceptor(queue_->executor());
  // Dual-stack first; a system without IPv6 listens on IPv4 alone.
  asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), requestedPort_);
  acceptor.open(endpoint.protocol(), error);
  if (!error) {
    acceptor.set_option(asio::ip::v6_only(false), error);
    if (error) acceptor.close();
  }
  if (error) {
    error.clear();
    endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), requestedPort_);
    acceptor.open(endpoint.protocol(), error);
  }
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  std::uint16_t port = 0;
  if (!error) port = acceptor.local_endpoint(error).port();
  if (error) {
    fail(error);
    return;
  }
  acceptor_.emplace(std::move(acceptor));
  if (onReady) onReady(port);
  acceptNext();
}

void HostListener::acceptNext() {
  if (cancelled_ || !acceptor_) return;
  // The socket is made on the pool's io_context, not bound to this queue: the connection that
  // wraps it runs it on a queue of its own.
  acceptor_->async_accept(
      queue_->executor().get_inner_executor().context(),
      asio::bind_executor(
          queue_->executor(),
          [weak = weak_from_this()](std::error_code error, asio::ip::tcp::socket socket) {
            auto self = weak.lock();
            if (!self || self->cancelled_) return;
            if (error) {
              // A peer that gave up before we took it, or a passing shortage of descriptors, is not
              // a failure of the listener. Compared by errno value: out of descriptors, nothing
              // here should need more than the value itself.
              const bool system = error.category() == asio::error::get_system_category() ||
                                  error.category() == std::system_category();
              const int code = system ? error.value() : 0;
              if (code == ECONNABORTED) {
                self->acceptNext();
                return;
              }
              if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
                self->backOff(code);
                return;
              }
              self->fail(error);
              return;
            }
            std::error_code endpointError;
            auto remote = socket.remote_endpoint(endpointError);
            std::string remoteIP = endpointError ? std::string() : addressText(remote.address());
            self->shortageLogged_ = false;
            if (self->onConnection) self->onConnection(std::move(socket), std::move(remoteIP));
            self->acceptNext();
          }));
}

void HostListener::backOff(int code) {
  // Once per shortage, not once per retry: a host out of descriptors would otherwise fill
  // the journal ten lines a second.
  if (!shortageLogged_) {
    shortageLogged_ = true;
    log::line(std::string("listener: accepting paused, ") + std::strerror(code));
  }
  if (!backoff_) backoff_.emplace(queue_->executor());
  backoff_->expires_after(resourceBackoff);
  backoff_->async_wait(
      asio::bind_executor(queue_->executor(), [weak = weak_from_this()](std::error_code waitError) {
        auto self = weak.lock();
        if (!self || self->cancelled_ || waitError) return;
        self->acceptNext();
      }));
}

void HostListener::fail(std::error_code error) {
  if (acceptor_) {
    std::error_code ignored;
    acceptor_->close(ignored);
    acceptor_.reset();
  }
  auto failed = std::move(onFailed);
  onReady = nullptr;
  onConnection = nullptr;
  if (failed) failed(error);
}

}  // namespace ombrel
