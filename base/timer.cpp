#include "base/timer.h"

#include <cmath>

#include "base/serial_queue.h"

namespace ombrel {

Timer::Timer(const std::shared_ptr<SerialQueue>& queue, double due, double interval,
             std::function<void()> callback)
    : queue_(queue),
      due_(due),
      interval_(interval),
      start_(due - interval),
      callback_(std::move(callback)) {}

void Timer::cancel() {
  if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
  auto queue = queue_.lock();
  if (!queue) return;
  auto self = shared_from_this();
  queue->clock().disarm(self);
  // The callback may hold its owner; let it go on the queue, where it is otherwise touched.
  // Owners mostly cancel from their own handlers (a connect timeout once connected): there it
  // goes at once instead of costing the pool one more item to run.
  if (queue->isCurrent()) {
    callback_ = nullptr;
    return;
  }
  queue->post([self] { self->callback_ = nullptr; });
}

bool Timer::fire(double now) {
  if (isCancelled()) {
    callback_ = nullptr;
    return false;
  }
  if (interval_ <= 0) {
    // One-shot: the timer is spent, and a cancel() from inside the callback is a no-op.
    cancelled_.store(true, std::memory_order_release);
    auto callback = std::move(callback_);
    callback_ = nullptr;
    if (callback) callback();
    return false;
  }
  if (callback_) {
    // Held out while it runs, so that a cancel() from inside it lets go of callback_ without
    // destroying the function that is running.
    auto running = std::move(callback_);
    callback_ = nullptr;
    running();
    if (!isCancelled()) callback_ = std::move(running);
  }
  if (isCancelled()) {
    callback_ = nullptr;
    return false;
  }
  ++firings_;
  double next = start_ + static_cast<double>(firings_ + 1) * interval_;
  // Firings the queue was too late for collapse into the next one.
  if (next < now) {
    firings_ = static_cast<std::uint64_t>(std::floor((now - start_) / interval_));
    next = start_ + static_cast<double>(firings_ + 1) * interval_;
  }
  due_ = next;
  return true;
}

}  // namespace ombrel
