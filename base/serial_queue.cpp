#include "base/serial_queue.h"

#include <cmath>
#include <stdexcept>

namespace ombrel {

SerialQueue::SerialQueue(asio::io_context& context, std::string label, std::shared_ptr<Clock> clock)
    : strand_(asio::make_strand(context)), label_(std::move(label)), clock_(std::move(clock)) {}

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
