#include "base/clock.h"

#include <cmath>

#include "base/serial_queue.h"
#include "base/timer.h"

namespace ombrel {

double Clock::wallSeconds() const {
  return std::chrono::duration<double>(wallNow().time_since_epoch()).count();
}

// ---- SystemClock ---------------------------------------------------------------------------

double SystemClock::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::chrono::system_clock::time_point SystemClock::wallNow() const {
  return std::chrono::system_clock::now();
}

void SystemClock::arm(const std::shared_ptr<Timer>& timer) {
  auto queue = timer->queue_.lock();
  if (!queue) return;
  // The Asio waiter lives on the timer's queue.
  if (!queue->isCurrent()) {
    queue->post([this, timer] { arm(timer); });
    return;
  }
  if (timer->isCancelled()) return;
  if (!timer->waiter_) timer->waiter_ = std::make_unique<asio::steady_timer>(queue->executor());
  const auto due = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(timer->due_)));
  timer->waiter_->expires_at(due);
  // The pending wait holds the timer; it lets go when the wait completes or is cancelled.
  timer->waiter_->async_wait([this, timer](const std::error_code& error) {
    if (error) return;
    if (timer->fire(now())) arm(timer);
  });
}

void SystemClock::disarm(const std::shared_ptr<Timer>& timer) {
  auto queue = timer->queue_.lock();
  if (!queue) return;
  if (queue->isCurrent()) {
    if (timer->waiter_) timer->waiter_->cancel();
    return;
  }
  queue->post([timer] {
    if (timer->waiter_) timer->waiter_->cancel();
  });
}

// ---- ManualClock ---------------------------------------------------------------------------

ManualClock::ManualClock(std::chrono::system_clock::time_point wallStart) : wallStart_(wallStart) {}

std::chrono::system_clock::time_point ManualClock::defaultWallStart() {
  // 2025-01-01 00:00:00 UTC.
  return std::chrono::system_clock::time_point(std::chrono::seconds(1'735'689'600));
}

double ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::chrono::system_clock::time_point ManualClock::wallNow() const {
  std::lock_guard lock(mutex_);
  return wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                          std::chrono::duration<double>(now_));
}

std::size_t ManualClock::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return armed_.size();
}

void ManualClock::arm(const std::shared_ptr<Timer>& timer) {
  std::lock_guard lock(mutex_);
  if (timer->isCancelled()) return;
  timer->manualKey_ = {timer->due_, nextSequence_++};
  timer->manualArmed_ = true;
  armed_.emplace(timer->manualKey_, timer);
}

void ManualClock::disarm(const std::shared_ptr<Timer>& timer) {
  std::shared_ptr<Timer> released;
  {
    std::lock_guard lock(mutex_);
    if (!timer->manualArmed_) return;
    timer->manualArmed_ = false;
    auto it = armed_.find(timer->manualKey_);
    if (it != armed_.end()) {
      released = std::move(it->second);
      armed_.erase(it);
    }
  }
}

void ManualClock::advance(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  double target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + seconds;
  }
  for (;;) {
    std::shared_ptr<Timer> timer;
    double due;
    {
      std::lock_guard lock(mutex_);
      auto first = armed_.begin();
      if (first == armed_.end() || first->first.first > target) {
        now_ = std::max(now_, target);
        return;
      }
      timer = std::move(first->second);
      armed_.erase(first);
      timer->manualArmed_ = false;
      due = timer->due_;
      now_ = std::max(now_, due);
    }
    auto queue = timer->queue_.lock();
    if (!queue) continue;  // its queue is gone, and with it every reason to fire
    const bool again = queue->sync([&] { return timer->fire(due); });
    queue.reset();
    if (again) arm(timer);
  }
}

}  // namespace ombrel
