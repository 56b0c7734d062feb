#pragma once

// A one-shot or repeating timer armed on a SerialQueue (see SerialQueue::after/every). The
// handle is only for cancelling: dropping it does not cancel, the queue's clock keeps an armed
// timer alive until it fires or is cancelled. A timer whose queue is gone never fires.
//
// Threading contract:
// - The callback always runs on the timer's queue.
// - `cancel()` may be called from any thread, any number of times. Called on the timer's own
//   queue (typically from a handler of the object that owns the timer), no callback runs after
//   it returns. Called from another thread, a callback that already started may still be
//   finishing, but none starts after `cancel()` returns.
// - A repeating timer keeps its phase: the n-th firing is due at start + n * interval; when the
//   queue falls behind by more than an interval the missed firings collapse into one.
//
// States: armed -> fired (one-shot, terminal)
//         armed -> armed (repeating, after each firing)
//         armed -> cancelled (terminal; the callback is released on the queue)

#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace ombrel {

class SerialQueue;

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void cancel();
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Seconds between firings; 0 for a one-shot timer.
  double interval() const { return interval_; }

 private:
  friend class SerialQueue;
  friend class SystemClock;
  friend class ManualClock;

  Timer(const std::shared_ptr<SerialQueue>& queue, double due, double interval,
        std::function<void()> callback);

  // On the queue: runs the callback unless cancelled. Returns true when the timer must be
  // armed again (repeating and still live); `due_` then holds the next due time.
  bool fire(double now);

  // Weak: a clock holding an armed timer must not keep its queue (and through it the clock)
  // alive; a timer whose queue is gone never fires.
  std::weak_ptr<SerialQueue> queue_;
  double due_;
  const double interval_;
  // Repeating: due times are start + n * interval, so rounding never drifts the phase.
  const double start_;
  std::uint64_t firings_ = 0;
  std::function<void()> callback_;  // touched only on the queue
  std::atomic<bool> cancelled_{false};
  // SystemClock: the Asio timer it waits on, touched only on the queue.
  std::unique_ptr<asio::steady_timer> waiter_;
  // ManualClock: the key under which it is armed, guarded by the clock's mutex.
  std::pair<double, std::uint64_t> manualKey_{0, 0};
  bool manualArmed_ = false;
};

}  // namespace ombrel
