#include "base/serial_queue.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/log.h"

namespace ombrel {
namespace {

// Every live queue, so `sync` can tell whether its caller is running an item of another one
// (Asio knows which strands run on this thread, but only when asked about a given strand).
struct Registry {
  std::mutex mutex;
  std::vector<const SerialQueue*> queues;
  SerialQueue::MisuseHandler handler;
};

Registry& registry() {
  // Never destroyed: queues of static objects may outlive any static registry.
  static auto* instance = new Registry;
  return *instance;
}

thread_local int waitsAllowed = 0;

}  // namespace

SerialQueue::SerialQueue(asio::io_context& context, std::string label, std::shared_ptr<Clock> clock)
    : strand_(asio::make_strand(context)), label_(std::move(label)), clock_(std::move(clock)) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.queues.push_back(this);
}

SerialQueue::~SerialQueue() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase(r.queues, this);
}

SerialQueue::WaitAllowed::WaitAllowed() { ++waitsAllowed; }
SerialQueue::WaitAllowed::~WaitAllowed() { --waitsAllowed; }

SerialQueue::MisuseHandler SerialQueue::setMisuseHandler(MisuseHandler handler) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return std::exchange(r.handler, std::move(handler));
}

void SerialQueue::checkMayWait() const {
  if (waitsAllowed > 0) return;
  Registry& r = registry();
  const SerialQueue* waiting = nullptr;
  MisuseHandler handler;
  {
    std::lock_guard lock(r.mutex);
    auto found = std::find_if(r.queues.begin(), r.queues.end(),
                              [this](const SerialQueue* q) { return q != this && q->isCurrent(); });
    if (found == r.queues.end()) return;
    waiting = *found;  // alive: one of its items is running on this thread
    handler = r.handler;
  }
  if (handler) {
    handler(*waiting, *this);
    return;
  }
  const std::string text = "SerialQueue: an item of " + waiting->label() + " waits on " + label() +
                           " with sync; hop with post instead";
#ifndef NDEBUG
  log::line(text);
  std::abort();
#else
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) log::line(text);
#endif
}

std::shared_ptr<SerialQueue> SerialQueue::create(asio::io_context& context, std::string label,
                                                 std::shared_ptr<Clock> clock) {
  return std::shared_ptr<SerialQueue>(new SerialQueue(context, std::move(label), std::move(clock)));
}

std::shared_ptr<Timer> SerialQueue::after(double seconds, std::function<void()> callback) {
  return arm(std::isnan(seconds) ? 0 : seconds, 0, std::move(callback));
}

std::shared_ptr<Timer> SerialQueue::every(double interval, std::function<void()> callback) {
  if (!(interval > 0) || !std::isfinite(interval)) {
    throw std::invalid_argument("a repeating timer needs a positive, finite interval");
  }
  return arm(interval, interval, std::move(callback));
}

std::shared_ptr<Timer> SerialQueue::arm(double seconds, double interval,
                                        std::function<void()> callback) {
  const double start = clock_->now();
  auto timer = std::shared_ptr<Timer>(
      new Timer(shared_from_this(), start + seconds, interval, std::move(callback)));
  if (seconds <= 0) {
    post([timer, start] { timer->fire(start); });
    return timer;
  }
  clock_->arm(timer);
  return timer;
}

}  // namespace ombrel
