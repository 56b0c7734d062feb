#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/linux/dbus/sd_bus.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"

namespace ombrel {

// ScreenLock over logind and the session's screensaver service.
//
// The login session is the one XDG_SESSION_ID names (or `sessionID`), else logind's session of
// this process (GetSessionByPID), else logind's "auto" session.
//
// Locked: the session's LockedHint, or the screensaver service's GetActive. Either one saying
// "locked" is believed (X lockers that never set LockedHint still answer GetActive); false when
// neither answers.
//
// Lock, first route that accepts: logind Session.Lock (system bus; the desktop's locker acts on
// logind's Lock signal), org.freedesktop.ScreenSaver.Lock (session bus), then the command
// `xdg-screensaver lock` (exit status 0 within `commandTimeout`).
class LinuxScreenLock : public ScreenLock {
 public:
  struct Config {
    DesktopBusConfig buses;
    std::optional<std::string> sessionID;  // XDG_SESSION_ID when absent
    std::string xdgScreensaverCommand = "xdg-screensaver";
    std::chrono::milliseconds callTimeout{3000};
    std::chrono::milliseconds commandTimeout{5000};
  };

  explicit LinuxScreenLock(Config config);

  bool isLocked() override;
  ScreenLockMethod lock() override;

 private:
  std::optional<std::string> sessionPath();
  bool runLockCommand();

  Config config_;
  std::mutex mutex_;
  SdBus systemBus_;
  SdBus sessionBus_;
};

}  // namespace ombrel
