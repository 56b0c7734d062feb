#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ombrel {

// One event the injector handed to the desktop, as the X server will report it.
struct InjectedEvent {
  enum class Kind { motion, buttonPress, buttonRelease, keyPress, keyRelease };
  Kind kind = Kind::motion;
  unsigned detail = 0;  // the sink's ReportedCode (X: button number or keycode); 0 for motion
  double time = 0;      // the injector's Clock::now() when it was posted
  // A step of the wheel: remote input, but nothing that puts text anywhere. The desktop may
  // report it as a button press (X: buttons 4 to 7), so the kind alone cannot say.
  bool wheel = false;

  bool operator==(const InjectedEvent&) const = default;
};

// The injector's trail of posted events, read by RemoteClickClassifier to tell the remote
// user's synthetic events from those of other XTest clients: X events carry no user data,
// and every XTest client's events come from the same virtual devices. OwnerInputGuard reads
// when remote input last happened, to refuse owner-only answers while it goes on.
//
// Bounded: the oldest entries fall off first. Thread-safe: the injector adds on the session's
// queue, the classifier claims on the UI thread, the guard reads on any thread.
class InjectionRecord {
 public:
  static constexpr std::size_t defaultCapacity = 256;
  // How long a posted event can wait for the X server to report it back.
  static constexpr double matchWindow = 0.5;

  // When remote input last happened. Unlike the entries, claim() does not take these away:
  // a remote event the classifier has matched is still remote input.
  struct Activity {
    std::optional<double> lastEvent;
    // The latest key press or button press other than a wheel step: the presses that can
    // put text where the keyboard focus is (a middle click pastes).
    std::optional<double> lastTyping;
  };

  explicit InjectionRecord(std::size_t capacity = defaultCapacity);

  // The record of this process: every session's injector adds to it and the host's owner-only
  // prompts read it, whichever part of the host created them.
  static const std::shared_ptr<InjectionRecord>& shared();

  void add(InjectedEvent event);
  Activity activity() const;

  // Drops entries older than `matchWindow` at `now`, then looks for the oldest entry of this
  // kind and detail. When found, removes it with everything posted before it (those produced
  // no report, e.g. a motion to where the pointer already was) and returns true.
  bool claim(InjectedEvent::Kind kind, unsigned detail, double now);

  std::vector<InjectedEvent> snapshot() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<InjectedEvent> events_;
  Activity activity_;
};

}  // namespace ombrel
