#pragma once

#include <optional>

namespace ombrel {

// Where the desktop's latest button or key press came from: the remote user (an injector's
// event the desktop reported back, vouched for by the InjectionRecord) or anyone else (the
// person at the computer, another client synthesising input). The X11 backend is
// RemoteClickClassifier (linux/x11/remote_click_classifier.h).
//
// Threading: one thread at a time, which watches fd() and calls processPending() when it is
// readable; or calls lastPressOrigin(), which catches up first. Presses should be processed as
// they come: a record entry vouches for half a second only.
class ClickOriginWatch {
 public:
  enum class Origin { local, remote };

  virtual ~ClickOriginWatch() = default;

  // Readable when the desktop has reported events.
  virtual int fd() const = 0;
  // Classifies every event already received.
  virtual void processPending() = 0;
  // After a round trip to the desktop, so that every press it made before this call has been
  // classified: where the latest press came from. Nothing before the first press.
  virtual std::optional<Origin> lastPressOrigin() = 0;
};

}  // namespace ombrel
