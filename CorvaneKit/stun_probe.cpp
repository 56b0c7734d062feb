#include "CorvaneKit/stun_probe.h"

#include <asio/bind_executor.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

namespace ombrel {
namespace {

// Asio reports socket errors in its own category; callers compare them with std::errc, which
// only the standard system category maps.
std::error_code normalized(const std::error_code& error) {
  if (error && error.category() == asio::error::get_system_category()) {
    return {error.value(), std::system_category()};
  }
  return error;
}

}  // namespace

std::shared_ptr<STUNProbe> STUNProbe::create(std::string host, std::uint16_t port,
                                             Runtime& runtime) {
  if (host.empty() || port == 0) return nullptr;
  return std::shared_ptr<STUNProbe>(
      new STUNProbe(std::move(host), port, runtime.makeQueue("corvane.stun.probe")));
}

STUNProbe::STUNProbe(std::string host, std::uint16_t port, std::shared_ptr<SerialQueue> queue)
    : host_(std::move(host)),
      port_(port),
      queue_(std::move(queue)),
      transaction_(STUN::transaction()),
      channel_(std::make_shared<Channel>(queue_->executor())) {}

STUNProbe::~STUNProbe() {
  std::error_code ignored;
  channel_->socket.close(ignored);
}

double STUNProbe::effectiveTimeout(double timeout) {
  if (!std::isfinite(timeout)) return defaultTimeout;
  return std::clamp(timeout, minimumTimeout, maximumTimeout);
}

void STUNProbe::start(double timeout, Completion completion) {
  queue_->post([self = shared_from_this(), timeout, completion = std::move(completion)]() mutable {
    self->run(timeout, std::move(completion));
  });
}

void STUNProbe::cancel() {
  queue_->post([self = shared_from_this()] { self->finish(STUN::Failure::cancelled); });
}

void STUNProbe::run(double timeout, Completion completion) {
  queue_->assertCurrent();
  if (started_ || finished_) {
    if (completion) completion(STUN::Failure::cancelled);
    return;
  }
  started_ = true;
  completion_ = std::move(completion);
  timeout_ = effectiveTimeout(timeout);
  // The deadline holds the probe: a started probe reports exactly once even when its owner lets
  // go of it.
  deadline_ = queue_->after(timeout_,
                            [self = shared_from_this()] { self->finish(STUN::Failure::timeout); });
  resolver_.emplace(queue_->executor());
  resolver_->async_resolve(
      host_, std::to_string(port_), asio::ip::udp::resolver::numeric_service,
      [weak = weak_from_this()](const std::error_code& error,
                                const asio::ip::udp::resolver::results_type& found) {
        if (auto self = weak.lock()) self->resolved(error, found);
      });
}

void STUNProbe::resolved(const std::error_code& error,
                         const asio::ip::udp::resolver::results_type& found) {
  queue_->assertCurrent();
  if (finished_) return;
  if (error) return finish(normalized(error));
  if (found.empty()) return finish(make_error_code(std::errc::host_unreachable));
  const auto endpoint = found.begin()->endpoint();
  std::error_code failed;
  channel_->socket.open(endpoint.protocol(), failed);
  if (!failed) channel_->socket.connect(endpoint, failed);
  if (failed) return finish(normalized(failed));
  ready(timeout_);
}

void STUNProbe::ready(double timeout) {
  // Armed before the first send, so whoever sees that datagram may count on them.
  for (double offset : retransmissions) {
    if (offset >= timeout) break;
    resends_.push_back(queue_->after(offset, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->send();
    }));
  }
  send();
  receive();
}

void STUNProbe::send() {
  queue_->assertCurrent();
  if (finished_) return;
  auto request = std::make_shared<Bytes>(STUN::request(transaction_).value());
  channel_->socket.async_send(
      asio::buffer(*request),
      asio::bind_executor(queue_->executor(), [weak = weak_from_this(), request](
                                                  const std::error_code& error, std::size_t) {
        auto self = weak.lock();
        if (self && error && error != asio::error::operation_aborted) {
          self->finish(normalized(error));
        }
      }));
}

void STUNProbe::receive() {
  auto channel = channel_;
  channel->buffer.resize(STUN::maxMessageSize + 1);
  channel->socket.async_receive(
      asio::buffer(channel->buffer),
      asio::bind_executor(queue_->executor(), [weak = weak_from_this(), channel](
                                                  const std::error_code& error, std::size_t size) {
        auto self = weak.lock();
        if (!self || self->finished_) return;
        if (error) return self->finish(normalized(error));
        auto result = STUN::address(ByteView(channel->buffer).first(size), self->transaction_);
        if (result) return self->finish(std::move(result));
        self->receive();
      }));
}

void STUNProbe::finish(STUN::Result<STUN::Address> result) {
  queue_->assertCurrent();
  if (finished_) return;
  finished_ = true;
  if (resolver_) resolver_->cancel();
  std::error_code ignored;
  channel_->socket.close(ignored);
  for (auto& timer : resends_) timer->cancel();
  resends_.clear();
  // Last: cancelling the deadline may release the probe's last owner.
  auto keep = shared_from_this();
  if (deadline_) std::exchange(deadline_, nullptr)->cancel();
  if (auto completion = std::exchange(completion_, nullptr)) completion(std::move(result));
}

}  // namespace ombrel
