#include "OmbrelKit/tcp_transport.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <asio/bind_executor.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <vector>

namespace ombrel {

namespace {

constexpr std::size_t initialReadBuffer = 65'536;

// Connect-phase errors after which the platform would wait for the network to change and try
// again, rather than give up.
bool meansWaiting(const std::error_code& error) {
  return error == std::errc::connection_refused || error == std::errc::network_unreachable ||
         error == std::errc::host_unreachable || error == std::errc::timed_out ||
         error == std::errc::network_down;
}

// Asio reports socket errors in its own category; owners compare them with std::errc, which
// only the standard system category maps.
std::error_code normalized(const std::error_code& error) {
  if (error && error.category() == asio::error::get_system_category()) {
    return {error.value(), std::system_category()};
  }
  return error;
}

}  // namespace

TCPTransport::TCPTransport(bool outbound, TCPParameters parameters)
    : outbound_(outbound), parameters_(parameters) {}

std::shared_ptr<TCPTransport> TCPTransport::connect(std::string host, std::uint16_t port,
                                                    TCPParameters parameters) {
  auto transport = std::shared_ptr<TCPTransport>(new TCPTransport(true, parameters));
  transport->host_ = std::move(host);
  transport->port_ = port;
  return transport;
}

std::shared_ptr<TCPTransport> TCPTransport::accepted(asio::ip::tcp::socket socket,
                                                     TCPParameters parameters) {
  return connected(std::move(socket), false, parameters);
}

std::shared_ptr<TCPTransport> TCPTransport::connected(asio::ip::tcp::socket socket, bool outbound,
                                                      TCPParameters parameters) {
  auto transport = std::shared_ptr<TCPTransport>(new TCPTransport(outbound, parameters));
  transport->socket_ = std::make_shared<Socket>(std::move(socket));
  return transport;
}

std::optional<CorvaneByteTransport::Error> TCPTransport::closeReport(State state, bool outbound,
                                                                     Error error) {
  switch (state) {
    case State::failed:
      return error;
    case State::waiting:
      if (outbound) return error;
      return std::nullopt;
    case State::cancelled:
      return Error{};
    case State::setup:
    case State::preparing:
    case State::ready:
      return std::nullopt;
  }
  return std::nullopt;
}

TCPTransport::~TCPTransport() {
  // A cancelled transport closed its socket on its queue already. Otherwise operations may be
  // pending on it; closing aborts them, and their handlers then let the socket go. No read
  // fills its buffer once the socket is closed, so the read buffers may go with the transport.
  if (socket_ && !cancelled_) {
    std::error_code ignored;
    socket_->close(ignored);
  }
}

// Binds a completion handler to the queue and drops it when the transport is gone or cancelled.
// The handler holds the socket, which the operation it completes goes on using until then.
template <typename F>
auto TCPTransport::onQueue(F&& handler) {
  return asio::bind_executor(queue_->executor(),
                             [weak = weak_from_this(), socket = socket_,
                              handler = std::forward<F>(handler)](auto&&... args) mutable {
                               auto self = weak.lock();
                               if (!self || self->cancelled_) return;
                               handler(*self, std::forward<decltype(args)>(args)...);
                             });
}

bool TCPTransport::live() const { return !cancelled_; }

void TCPTransport::start(std::shared_ptr<SerialQueue> queue) {
  if (queue_ || cancelled_) return;
  queue_ = std::move(queue);
  queue_->post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->cancelled_) return;
    self->stateHandlerInstalled_ = true;
    if (self->socket_) {  // already connected: no connect phase
      self->applyOptions();
      self->enter(State::ready);
      return;
    }
    self->enter(State::preparing);
    self->socket_ = std::make_shared<Socket>(self->queue_->executor());
    self->connectTimer_ = self->queue_->after(self->parameters_.connectionTimeout, [weak] {
      if (auto self = weak.lock(); self && !self->cancelled_) self->connectTimedOut();
    });
    // An address literal (the usual case: mDNS answers and address lists give addresses)
    // needs no resolver, whose work runs on a thread of its own: a round trip through it is
    // most of a loopback connect.
    std::error_code literalError;
    const auto literal = asio::ip::make_address(self->host_, literalError);
    if (!literalError) {
      self->resolved({}, asio::ip::tcp::resolver::results_type::create(
                             {literal, self->port_}, self->host_, std::to_string(self->port_)));
      return;
    }
    self->resolver_.emplace(self->queue_->executor());
    self->resolver_->async_resolve(
        self->host_, std::to_string(self->port_), asio::ip::tcp::resolver::numeric_service,
        self->onQueue([](TCPTransport& self, const std::error_code& error,
                         asio::ip::tcp::resolver::results_type results) {
          self.resolved(normalized(error), std::move(results));
        }));
  });
}

void TCPTransport::resolved(const std::error_code& error,
                            asio::ip::tcp::resolver::results_type results) {
  if (state_ != State::preparing) return;
  if (error) {
    enter(State::failed, error);
    return;
  }
  endpoints_ = std::move(results);
  nextEndpoint_ = endpoints_.begin();
  lastConnectError_ = std::make_error_code(std::errc::host_unreachable);
  connectNext();
}

void TCPTransport::connectNext() {
  if (state_ != State::preparing) return;
  if (nextEndpoint_ == endpoints_.end()) {
    enter(meansWaiting(lastConnectError_) ? State::waiting : State::failed, lastConnectError_);
    return;
  }
  const asio::ip::tcp::endpoint endpoint = *nextEndpoint_++;
  std::error_code error;
  socket_->close(error);
  socket_->open(endpoint.protocol(), error);
  if (error) {
    lastConnectError_ = normalized(error);
    connectNext();
    return;
  }
  applyOptions();
  socket_->async_connect(endpoint, onQueue([](TCPTransport& self, const std::error_code& error) {
                           if (self.state_ != State::preparing) return;
                           if (error) {
                             self.lastConnectError_ = normalized(error);
                             self.connectNext();
                             return;
                           }
                           self.enter(State::ready);
                         }));
}

void TCPTransport::connectTimedOut() {
  if (state_ != State::preparing) return;
  enter(State::waiting, std::make_error_code(std::errc::timed_out));
}

void TCPTransport::applyOptions() {
  // Options are best effort: a socket that refuses one (no DSCP marking inside some
  // containers) still carries the stream.
  std::error_code ignored;
  socket_->set_option(asio::ip::tcp::no_delay(parameters_.noDelay), ignored);
  socket_->set_option(asio::socket_base::keep_alive(parameters_.keepAlive), ignored);
  const int fd = socket_->native_handle();
  if (parameters_.keepAlive) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &parameters_.keepAliveIdle, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &parameters_.keepAliveInterval, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &parameters_.keepAliveCount, sizeof(int));
  }
  const int trafficClass = parameters_.trafficClass();
  const auto local = socket_->local_endpoint(ignored);
  if (!ignored && local.address().is_v6()) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &trafficClass, sizeof(int));
  } else {
    ::setsockopt(fd, IPPROTO_IP, IP_TOS, &trafficClass, sizeof(int));
  }
}

void TCPTransport::enter(State state, Error error) {
  state_ = state;
  if (state != State::ready && state != State::preparing) {
    if (connectTimer_) connectTimer_->cancel();
    std::error_code ignored;
    if (resolver_) resolver_->cancel();
    // Waiting and failed transports hold no socket; an accepted one left waiting keeps it.
    if (state != State::waiting || outbound_) socket_->close(ignored);
  }
  if (state == State::ready) {
    if (connectTimer_) connectTimer_->cancel();
    if (stateHandlerInstalled_ && onReady) {
      auto ready = onReady;
      ready();
    }
    if (!live()) return;
    startWrite();
    if (!reading_ && !reads_.empty()) startRead();
    return;
  }
  // Sends still queued cannot go anywhere now; one being written hears it from its own
  // (aborted) completion, which then fails the rest.
  if (state == State::failed && !writing_) failWrites(error);
  if (!stateHandlerInstalled_ || !live()) return;
  if (auto report = closeReport(state, outbound_, error); report && onClose) {
    auto close = onClose;
    close(*report);
  }
}

void TCPTransport::failWrites(Error error) {
  auto pending = std::move(writes_);
  writes_.clear();
  for (auto& write : pending) {
    if (!live()) return;
    if (write.completion) write.completion(error);
  }
}

void TCPTransport::send(Bytes data, SendCompletion completion) {
  queueWrite({std::move(data), {}, std::move(completion)});
}

void TCPTransport::send(Buffer data, SendCompletion completion) {
  queueWrite({{}, std::move(data), std::move(completion)});
}

TCPTransport::Buffer TCPTransport::takeBuffer(std::size_t size) {
  Buffer buffer;
  // The most recently kept buffer first: its pages are the likeliest to be warm.
  for (auto it = spare_.rbegin(); it != spare_.rend(); ++it) {
    if (it->capacity() >= size) {
      buffer = std::move(*it);
      spare_.erase(std::next(it).base());
      spareBytes_ -= buffer.capacity();
      break;
    }
  }
  buffer.resize(size);
  return buffer;
}

void TCPTransport::keepSpare(Buffer buffer) {
  if (buffer.capacity() == 0) return;
  // Kept empty, so that growing it later copies nothing. When full, the smallest kept buffer
  // makes room for a larger one, so the sizes kept follow the frames being sent.
  buffer.clear();
  if (buffer.capacity() > spareBufferBytes) return;
  while (!spare_.empty() && (spare_.size() >= spareBufferCount ||
                             spareBytes_ + buffer.capacity() > spareBufferBytes)) {
    auto smallest =
        std::min_element(spare_.begin(), spare_.end(),
                         [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    if (smallest->capacity() >= buffer.capacity()) return;
    spareBytes_ -= smallest->capacity();
    spare_.erase(smallest);
  }
  spareBytes_ += buffer.capacity();
  spare_.push_back(std::move(buffer));
}

void TCPTransport::queueWrite(Write write) {
  if (cancelled_) return;
  const State state = state_;
  if (state == State::failed || state == State::waiting || state == State::cancelled) {
    queue_->post([weak = weak_from_this(), completion = std::move(write.completion)] {
      auto self = weak.lock();
      if (!self || self->cancelled_ || !completion) return;
      completion(std::make_error_code(std::errc::not_connected));
    });
    return;
  }
  writes_.push_back(std::move(write));
  if (state == State::ready) startWrite();
}

void TCPTransport::startWrite() {
  if (writing_ || writes_.empty() || state_ != State::ready) return;
  writing_ = true;
  // Everything queued goes out in one gathered write (up to a bound, so the first of a long
  // queue still completes soon): one system call for a burst of small frames.
  // The write owns its list of buffers and the bytes they point to: its later steps, and its
  // handler, may run after the transport is gone.
  auto batch = std::make_shared<std::vector<Write>>();
  std::vector<asio::const_buffer> gather;
  std::size_t bytes = 0;
  while (!writes_.empty() &&
         (batch->empty() || (batch->size() < maxGatheredWrites && bytes < maxGatheredBytes))) {
    batch->push_back(std::move(writes_.front()));
    writes_.pop_front();
    gather.push_back(batch->back().data());
    bytes += gather.back().size();
  }
  asio::async_write(*socket_, std::move(gather),
                    onQueue([batch](TCPTransport& self, std::error_code error, std::size_t) {
                      error = normalized(error);
                      self.writing_ = false;
                      // Completed in order, each with the outcome of the write that carried it.
                      for (auto& write : *batch) {
                        auto completion = std::move(write.completion);
                        if (!error) self.keepSpare(std::move(write.buffer));
                        if (completion) completion(error ? Error(error) : std::nullopt);
                        if (!self.live()) return;
                      }
                      if (error) {
                        self.failWrites(error);
                        if (self.live() && self.state_ != State::failed)
                          self.enter(State::failed, error);
                        return;
                      }
                      self.startWrite();
                    }));
}

void TCPTransport::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
  if (cancelled_) return;
  const State state = state_;
  if (state == State::failed || state == State::cancelled ||
      (state == State::waiting && outbound_)) {
    queue_->post([weak = weak_from_this(), completion = std::move(completion)] {
      auto self = weak.lock();
      if (!self || self->cancelled_ || !completion) return;
      completion(std::nullopt, false, std::make_error_code(std::errc::not_connected));
    });
    return;
  }
  reads_.push_back({std::min(minimum, maximum), maximum, std::move(completion), {}, 0});
  if (!reading_ && state_ == State::ready) startRead();
}

void TCPTransport::startRead() {
  reading_ = true;
  Read& read = reads_.front();
  if (read.maximum == 0) {
    finishRead(std::nullopt, false);
    return;
  }
  read.buffer.resize(std::min(read.maximum, std::max(initialReadBuffer, bytesWaiting())));
  continueRead();
}

std::size_t TCPTransport::bytesWaiting() {
  std::error_code ignored;
  return socket_->available(ignored);
}

void TCPTransport::continueRead() {
  Read& read = reads_.front();
  if (read.filled == read.buffer.size()) {
    // Grow only as bytes arrive, so announcing a large read costs nothing up front.
    // ... or to what the kernel already holds, which has arrived and so costs nothing extra.
    read.buffer.resize(
        std::min(read.maximum, std::max(read.buffer.size() * 2, read.filled + bytesWaiting())));
  }
  socket_->async_read_some(
      asio::buffer(read.buffer.data() + read.filled, read.buffer.size() - read.filled),
      onQueue([](TCPTransport& self, const std::error_code& error, std::size_t count) {
        if (!self.reading_ || self.reads_.empty()) return;
        Read& read = self.reads_.front();
        read.filled += count;
        if (error == asio::error::eof) {
          self.finishRead(std::nullopt, true);
        } else if (error) {
          self.finishRead(normalized(error), false);
        } else if (read.filled >= std::max<std::size_t>(read.minimum, 1)) {
          self.finishRead(std::nullopt, false);
        } else {
          self.continueRead();
        }
      }));
}

void TCPTransport::finishRead(Error error, bool complete) {
  reading_ = false;
  Read read = std::move(reads_.front());
  reads_.pop_front();
  std::optional<Bytes> data;
  if (read.filled > 0) {
    read.buffer.resize(read.filled);
    data = std::move(read.buffer);
  }
  if (read.completion) read.completion(std::move(data), complete, error);
  if (!live()) return;
  if (error) {
    if (state_ != State::failed) enter(State::failed, error);
    return;
  }
  if (!reading_ && !reads_.empty()) startRead();
}

void TCPTransport::cancel() {
  if (cancelled_.exchange(true)) return;
  auto stop = [self = shared_from_this()] {
    self->stateHandlerInstalled_ = false;
    self->state_ = State::cancelled;
    if (self->connectTimer_) self->connectTimer_->cancel();
    if (self->resolver_) self->resolver_->cancel();
    std::error_code ignored;
    if (self->socket_) self->socket_->close(ignored);
    self->reads_.clear();
    self->reading_ = false;
    self->writes_.clear();
  };
  if (!queue_ || queue_->isCurrent()) {
    stop();
  } else {
    queue_->post(std::move(stop));
  }
}

std::optional<asio::ip::tcp::endpoint> TCPTransport::remoteEndpoint() const {
  if (!socket_) return std::nullopt;
  std::error_code error;
  auto endpoint = socket_->remote_endpoint(error);
  if (error) return std::nullopt;
  return endpoint;
}

int TCPTransport::nativeHandle() { return socket_ ? socket_->native_handle() : -1; }

}  // namespace ombrel
