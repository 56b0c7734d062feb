#include "CorvaneKit/fake/fake_byte_transport.h"

#include <algorithm>

namespace ombrel {

std::shared_ptr<FakeByteTransport> FakeByteTransport::create(Config config) {
  return std::shared_ptr<FakeByteTransport>(new FakeByteTransport(std::move(config)));
}

std::pair<std::shared_ptr<FakeByteTransport>, std::shared_ptr<FakeByteTransport>>
FakeByteTransport::makePair(Config first, Config second) {
  auto a = create(std::move(first));
  auto b = create(std::move(second));
  a->peer_ = b;
  b->peer_ = a;
  return {a, b};
}

template <typename F>
void FakeByteTransport::postLocked(F&& work) {
  if (!queue_) return;
  queue_->post([self = shared_from_this(), work = std::forward<F>(work)]() mutable {
    {
      std::lock_guard lock(self->mutex_);
      if (self->cancelled_) return;
    }
    work();
  });
}

void FakeByteTransport::start(std::shared_ptr<SerialQueue> queue) {
  std::lock_guard lock(mutex_);
  if (cancelled_ || started_) return;
  queue_ = std::move(queue);
  started_ = true;
  if (config_.readyOnStart) {
    postLocked([this] {
      if (onReady) onReady();
    });
  }
  pumpLocked();
}

void FakeByteTransport::send(Bytes data, SendCompletion completion) {
  std::shared_ptr<FakeByteTransport> peer;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    if (config_.sendError) {
      postLocked([completion = std::move(completion), error = config_.sendError] {
        if (completion) completion(error);
      });
      return;
    }
    peer = peer_.lock();
    if (!peer) sent_.push_back(data);
    if (config_.holdSendCompletions) {
      heldCompletions_.push_back(std::move(completion));
    } else {
      postLocked([completion = std::move(completion)] {
        if (completion) completion(std::nullopt);
      });
    }
  }
  // The peer's lock is taken only after ours is released: two peers may send at once.
  if (peer) peer->deliver(data);
}

void FakeByteTransport::receive(std::size_t minimum, std::size_t maximum,
                                ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return;
  receiveRequests_.emplace_back(minimum, maximum);
  receives_.push_back({minimum, maximum, std::move(completion)});
  pumpLocked();
}

void FakeByteTransport::cancel() {
  std::shared_ptr<FakeByteTransport> peer;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    receives_.clear();
    heldCompletions_.clear();
    peer = peer_.lock();
  }
  if (peer) peer->finishIncoming();
}

void FakeByteTransport::pumpLocked() {
  if (!started_ || cancelled_) return;
  while (!receives_.empty()) {
    auto& next = receives_.front();
    if (receiveError_) {
      postLocked([completion = std::move(next.completion), error = *receiveError_] {
        completion(std::nullopt, false, error);
      });
      receiveError_.reset();
      receives_.pop_front();
      continue;
    }
    const std::size_t available = incoming_.size();
    if (available < std::max<std::size_t>(next.minimum, 1) && !incomingFinished_) return;
    const std::size_t take = std::min(available, next.maximum + config_.extraBytesPerRead);
    std::optional<Bytes> data;
    if (take > 0) {
      data.emplace(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(take));
      incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(take));
    }
    const bool complete = incomingFinished_ && incoming_.empty();
    postLocked([completion = std::move(next.completion), data = std::move(data), complete] {
      completion(data, complete, std::nullopt);
    });
    receives_.pop_front();
  }
}

void FakeByteTransport::deliver(ByteView chunk) {
  std::lock_guard lock(mutex_);
  if (cancelled_ || incomingFinished_) return;
  incoming_.insert(incoming_.end(), chunk.begin(), chunk.end());
  pumpLocked();
}

void FakeByteTransport::finishIncoming() {
  std::lock_guard lock(mutex_);
  incomingFinished_ = true;
  pumpLocked();
}

void FakeByteTransport::failReceive(std::error_code error) {
  std::lock_guard lock(mutex_);
  receiveError_ = error;
  pumpLocked();
}

void FakeByteTransport::reportReady() {
  std::lock_guard lock(mutex_);
  postLocked([this] {
    if (onReady) onReady();
  });
}

void FakeByteTransport::close(Error error) {
  std::lock_guard lock(mutex_);
  postLocked([this, error] {
    if (onClose) onClose(error);
  });
}

void FakeByteTransport::completeSends(Error error) {
  std::lock_guard lock(mutex_);
  for (auto& completion : heldCompletions_) {
    postLocked([completion = std::move(completion), error] {
      if (completion) completion(error);
    });
  }
  heldCompletions_.clear();
}

void FakeByteTransport::setExtraBytesPerRead(std::size_t extra) {
  std::lock_guard lock(mutex_);
  config_.extraBytesPerRead = extra;
}

std::vector<Bytes> FakeByteTransport::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

Bytes FakeByteTransport::sentBytes() const {
  std::lock_guard lock(mutex_);
  Bytes all;
  for (const auto& chunk : sent_) all.insert(all.end(), chunk.begin(), chunk.end());
  return all;
}

std::size_t FakeByteTransport::heldSends() const {
  std::lock_guard lock(mutex_);
  return heldCompletions_.size();
}

bool FakeByteTransport::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

bool FakeByteTransport::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

std::vector<std::pair<std::size_t, std::size_t>> FakeByteTransport::receiveRequests() const {
  std::lock_guard lock(mutex_);
  return receiveRequests_;
}

}  // namespace ombrel
