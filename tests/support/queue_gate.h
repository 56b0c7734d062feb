#pragma once

// Holds a serial queue until released, so a test sees what happens while that queue runs
// nothing: what `send` did on the caller's thread, or a peer that stops reading.

#include <future>

#include "base/serial_queue.h"

namespace ombrel::test {

class QueueGate {
 public:
  explicit QueueGate(SerialQueue& queue) {
    queue.post([future = open_.get_future().share()] { future.wait(); });
  }
  ~QueueGate() { release(); }
  QueueGate(const QueueGate&) = delete;
  QueueGate& operator=(const QueueGate&) = delete;

  void release() {
    if (!released_) open_.set_value();
    released_ = true;
  }

 private:
  std::promise<void> open_;
  bool released_ = false;
};

}  // namespace ombrel::test
