#pragma once

namespace ombrel {

// The route that accepted a lock request.
enum class ScreenLockMethod { none, logind, screenSaver, xdgScreensaver };

// The desktop's screen lock: whether it is locked, and locking it when assistance ends.
//
// Threading: any thread; calls are serialised inside and block for at most a few seconds.
class ScreenLock {
 public:
  virtual ~ScreenLock() = default;

  // True when the login session's screen is locked; false when that cannot be told.
  virtual bool isLocked() = 0;
  // Asks the desktop to lock the screen now; `none` when no route accepted the request.
  virtual ScreenLockMethod lock() = 0;
};

}  // namespace ombrel
