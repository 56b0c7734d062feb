#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace ombrel {

// One event the injector handed to the desktop, as the X server will report it.
struct InjectedEvent {
  enum class Kind { motion, buttonPress, buttonRelease, keyPress, keyRelease };
  Kind kind = Kind::motion;
  unsigned detail = 0;  // X button number or X keycode; 0 for motion
  double time = 0;      // seconds of system uptime when it was posted

  bool operator==(const InjectedEvent&) const = default;
};

// The injector's trail of posted events, read by RemoteClickClassifier to tell the remote
// user's synthetic events from those of other XTest clients: X events carry no user data,
// and every XTest client's events come from the same virtual devices.
//
// Bounded: the oldest entries fall off first. Thread-safe: the injector adds on the session's
// queue, the classifier claims on the UI thread.
class InjectionRecord {
 public:
  static constexpr std::size_t defaultCapacity = 256;
  // How long a posted event can wait for the X server to report it back.
  static constexpr double matchWindow = 0.5;

  explicit InjectionRecord(std::size_t capacity = defaultCapacity);

  void add(InjectedEvent event);

  // Drops entries older than `matchWindow` at `now`, then looks for the oldest entry of this
  // kind and detail. When found, removes it with everything posted before it (those produced
  // no report, e.g. a motion to where the pointer already was) and returns true.
  bool claim(InjectedEvent::Kind kind, unsigned detail, double now);

  std::vector<InjectedEvent> snapshot() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<InjectedEvent> events_;
};

}  // namespace ombrel
