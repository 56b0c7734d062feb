#include "Ombrel_Remote_Host/input/injection_record.h"

#include <algorithm>

namespace ombrel {

InjectionRecord::InjectionRecord(std::size_t capacity)
    : capacity_(std::max<std::size_t>(1, capacity)) {}

namespace {

bool canType(const InjectedEvent& event) {
  using K = InjectedEvent::Kind;
  return event.kind == K::keyPress || (event.kind == K::buttonPress && !event.wheel);
}

// Sessions add from their own queues, so times need not arrive in order.
std::optional<double> later(std::optional<double> held, double time) {
  if (held && *held > time) return held;
  return time;
}

}  // namespace

const std::shared_ptr<InjectionRecord>& InjectionRecord::shared() {
  static const auto record = std::make_shared<InjectionRecord>();
  return record;
}

void InjectionRecord::add(InjectedEvent event) {
  std::lock_guard lock(mutex_);
  if (events_.size() == capacity_) events_.pop_front();
  events_.push_back(event);
  activity_.lastEvent = later(activity_.lastEvent, event.time);
  if (canType(event)) activity_.lastTyping = later(activity_.lastTyping, event.time);
}

InjectionRecord::Activity InjectionRecord::activity() const {
  std::lock_guard lock(mutex_);
  return activity_;
}

bool InjectionRecord::claim(InjectedEvent::Kind kind, unsigned detail, double now) {
  std::lock_guard lock(mutex_);
  while (!events_.empty() && now - events_.front().time > matchWindow) events_.pop_front();
  auto match = std::find_if(events_.begin(), events_.end(), [&](const InjectedEvent& e) {
    return e.kind == kind && e.detail == detail;
  });
  if (match == events_.end()) return false;
  events_.erase(events_.begin(), match + 1);
  return true;
}

std::vector<InjectedEvent> InjectionRecord::snapshot() const {
  std::lock_guard lock(mutex_);
  return {events_.begin(), events_.end()};
}

}  // namespace ombrel
