#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "OmbrelKit/input_event.h"
#include "Ombrel_Remote_Host/input/caret_locator.h"
#include "Ombrel_Remote_Host/input/injection_record.h"
#include "Ombrel_Remote_Host/input/input_sink.h"
#include "Ombrel_Remote_Host/input/posted_event.h"
#include "Ombrel_Remote_Host/input/wheel_accumulator.h"
#include "base/clock.h"

namespace ombrel {

// Turns the remote user's input into synthetic desktop events through an InputSink: absolute
// and relative pointer moves, buttons with click counting, wheel scrolling from pixel deltas,
// keys from USB HID usages, typed Unicode text, pen strokes, and a release of everything the
// remote user holds. Every event it posts is appended to its InjectionRecord, which the
// host's interface uses to ignore remote clicks on owner-only buttons.
//
// Coordinates arrive normalised to the controlled display (`displayBounds`); relative moves
// and the pointer position are in global points.
//
// Threading: the session's queue calls it for input messages and the main thread for the
// steps of a remote paste, so every public method takes the injector's lock. Callbacks
// (`onUserActivity`, `onPost`, `isScreenLocked`, `onClick`) run under that lock and must not
// call back. `caretRect` asks the locator outside the lock: the lookup may block for seconds,
// and the input of the session must not wait for it.
class InputInjector {
 public:
  // How long a requested pointer position is trusted over the real one (the desktop may lag).
  static constexpr double pointerRequestTrust = 0.5;
  static constexpr double defaultDoubleClickInterval = 0.4;
  static constexpr double doubleClickDistance = 8.0;
  static constexpr std::size_t textChunkUnits = 16;

  // `record` is shared by every session's injector and the host's RemoteClickClassifier, so
  // the interface recognises any session's input; without one the injector keeps its own.
  // `clock` dates the record's entries (the classifier's must read the same time) and must
  // outlive the injector.
  InputInjector(std::shared_ptr<InputSink> sink, InputRect displayBounds, const Clock& clock,
                std::shared_ptr<InjectionRecord> record = {});
  ~InputInjector();

  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // One input message of the remote user. Magnify has no desktop counterpart and only counts
  // as user activity.
  void handle(const InputEvent& event);

  void moveTo(double x, double y);
  void moveBy(double dx, double dy);
  void button(MouseButton button, bool down);
  void scroll(double dx, double dy, ScrollPhase phase);
  void key(uint16_t hidUsage, bool down);
  void text(std::string_view utf8);
  // Ctrl+V, as a remote paste presses it: left Control down (held in the modifiers while V
  // goes down and up), then up. Under one lock, so the session's own keys cannot fall between.
  void pasteShortcut();
  // `phase` takes ScrollPhase's raw values: 1 began, 3 ended, anything else a move.
  void pen(double x, double y, double pressure, double tiltX, double tiltY, int64_t phase);
  void releaseAll();

  InputRect displayBounds() const;
  // A different rectangle forgets the requested pointer position and the click tracking.
  void setDisplayBounds(InputRect bounds);
  std::optional<InputPoint> requestedCursor() const;
  void setRequestedCursor(std::optional<InputPoint> point);

  // The caret of the focused text, in global points; nothing without input control, without
  // a locator, or when the focused element shows no caret.
  std::optional<InputRect> caretRect();
  void setCaretLocator(std::shared_ptr<CaretLocator> locator);

  // The modifier flags of the held modifier usages.
  uint32_t modifierFlags() const;
  std::set<MouseButton> buttonsDown() const;
  std::set<uint16_t> modifiersDown() const;
  // Usages of the held keys other than modifiers.
  std::set<uint16_t> keysDown() const;

  const std::shared_ptr<InjectionRecord>& record() const { return record_; }

  // Called at the start of every handled event (the session declares user activity there).
  std::function<void()> onUserActivity;
  // Every event as it is posted.
  std::function<void(const PostedEvent&)> onPost;
  // Whether the desktop session is locked, for the click log line; unknown is false. Asked
  // under the lock on every press, so only for answers at hand: without `onClick`.
  std::function<bool()> isScreenLocked;
  // Takes over the click log line of every press (`accessibility` as the line reports it):
  // for a lock state that takes a blocking call to learn, the line is written once it is known.
  std::function<void(InputPoint at, bool accessibility)> onClick;

  static std::string clickLogLine(InputPoint at, bool accessibility, bool locked);

 private:
  struct LastClick {
    double time = 0;
    InputPoint position;
    std::optional<MouseButton> button;
    int count = 0;
  };

  void userActivity();
  InputPoint mapped(double x, double y) const;
  InputPoint cursor();
  void move(InputPoint to, std::optional<InputPoint> delta);
  void pointerAt(InputPoint p);
  void postButton(MouseButton button, bool down, InputPoint at, int clickState);
  // The key's code; nothing when the desktop has no key for the usage (nothing was posted).
  std::optional<ReportedCode> postKey(uint16_t hidUsage, bool down, bool modifier);
  void typeCharacter(char32_t cp);
  void post(PostedEvent event);
  void record(InjectedEvent::Kind kind, unsigned detail, bool wheel = false);
  uint32_t flagsLocked() const;

  mutable std::mutex mutex_;
  const std::shared_ptr<InputSink> sink_;
  const Clock& clock_;
  const std::shared_ptr<InjectionRecord> record_;
  std::shared_ptr<CaretLocator> caretLocator_;
  InputRect displayBounds_;
  std::set<MouseButton> buttonsDown_;
  std::set<uint16_t> modifiersDown_;
  // Held keys that are no modifier, by the code the desktop knows the key under, with the
  // usage that pressed it: two usages of one key (US backslash, non-US hash) hold one key,
  // and releaseAll lets go of the keys in the desktop's order.
  std::map<ReportedCode, uint16_t> keysDown_;
  LastClick lastClick_;
  std::optional<InputPoint> requestedCursor_;
  double lastPointerRequest_ = 0;
  double doubleClickInterval_ = defaultDoubleClickInterval;
  WheelAccumulator wheel_;
  // The pixel the injector last put the pointer on; buttons and wheels act where the pointer
  // is, so the pointer is brought to the event's position first when it is elsewhere.
  std::optional<std::pair<long, long>> postedPixel_;
};

}  // namespace ombrel
