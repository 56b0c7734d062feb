#pragma once

// A thread-safe queue of values a test waits on: callbacks running on other threads put what
// they saw, the test takes it. Waits end on arrival, not after a fixed sleep; the limit only
// stops a broken test from hanging.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace ombrel::test {

template <typename T>
class Mailbox {
 public:
  void put(T value) {
    // Notified under the lock: the taker may destroy the mailbox as soon as it sees the value.
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    ready_.notify_all();
  }

  std::optional<T> take(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, limit, [&] { return !values_.empty(); })) return std::nullopt;
    T value = std::move(values_.front());
    values_.pop_front();
    return value;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> values_;
};

}  // namespace ombrel::test
