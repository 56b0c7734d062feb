#pragma once

// Time sources. Durations are double-precision seconds throughout the product; `now()` is a
// monotonic reading (arbitrary origin) for deadlines and intervals, `wallNow()` the calendar
// time for dates that are stored or shown.
//
// Every timer of the product is armed through a Clock, so a test that injects a `ManualClock`
// decides exactly when deadlines pass: `advance(seconds)` fires each due timer on its own queue,
// in due order, and returns when they have all run. Nothing sleeps.
//
// Threading: `now()`, `wallNow()` and `advance()` may be called from any thread.
// `advance()` waits for each callback on its queue, so it must not be called while holding
// something a due callback needs (a lock, or the queue of a timer it fires from another queue).

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace ombrel {

class Timer;

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic seconds since an arbitrary origin.
  virtual double now() const = 0;
  // Calendar time.
  virtual std::chrono::system_clock::time_point wallNow() const = 0;
  // Calendar time as seconds since 1970-01-01 UTC.
  double wallSeconds() const;

 private:
  friend class Timer;
  friend class SerialQueue;
  // Schedules `timer` to fire at its due time. Called from any thread.
  virtual void arm(const std::shared_ptr<Timer>& timer) = 0;
  // Withdraws a cancelled timer. Called from any thread.
  virtual void disarm(const std::shared_ptr<Timer>& timer) = 0;
};

// The real clocks: the steady clock for `now()`, the system clock for `wallNow()`; timers wait
// on Asio steady timers bound to their queue's strand.
class SystemClock final : public Clock {
 public:
  double now() const override;
  std::chrono::system_clock::time_point wallNow() const override;

 private:
  void arm(const std::shared_ptr<Timer>& timer) override;
  void disarm(const std::shared_ptr<Timer>& timer) override;
};

// A clock that moves only when told to. Starts at monotonic 0 and at `wallStart` (by default
// 2025-01-01 00:00:00 UTC) on the calendar; both advance together.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::chrono::system_clock::time_point wallStart = defaultWallStart());

  double now() const override;
  std::chrono::system_clock::time_point wallNow() const override;

  // Moves time forward by `seconds` (negative or NaN counts as 0). Every timer due within the
  // window fires on its queue in due-time order (ties in arming order), with `now()` reading its
  // due time while it runs; a repeating timer fires once per elapsed interval; timers armed by
  // those callbacks fire too when they fall inside the window. Returns after the last one ran.
  void advance(double seconds);

  // Number of timers armed and neither fired nor cancelled (for tests).
  std::size_t pendingTimers() const;

  static std::chrono::system_clock::time_point defaultWallStart();

 private:
  void arm(const std::shared_ptr<Timer>& timer) override;
  void disarm(const std::shared_ptr<Timer>& timer) override;

  using Key = std::pair<double, std::uint64_t>;
  mutable std::mutex mutex_;
  double now_ = 0;
  std::chrono::system_clock::time_point wallStart_;
  std::uint64_t nextSequence_ = 0;
  std::map<Key, std::shared_ptr<Timer>> armed_;
};

}  // namespace ombrel
