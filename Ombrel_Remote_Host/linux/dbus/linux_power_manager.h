#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/linux/dbus/sd_bus.h"
#include "Ombrel_Remote_Host/linux/x11/x_screen_blanking_inhibitor.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "base/clock.h"

namespace ombrel {

// PowerManager over D-Bus and the X display.
//
// - idleSystemSleep: a logind inhibitor lock (system bus, org.freedesktop.login1.Manager.Inhibit)
//   with what "idle", who "Ombrel Remote", why = the assertion's name, mode "block". logind hands
//   back a file descriptor; the lock lasts while it is open.
// - displaySleep: every screen-on mechanism that is there, since which one the desktop honours
//   varies: the X server's screensaver suspended and DPMS off (XScreenBlankingInhibitor);
//   org.gnome.SessionManager.Inhibit with the idle flag and org.freedesktop.ScreenSaver.Inhibit
//   on the session bus (cookies, released with Uninhibit/UnInhibit; the desktop also drops them
//   when our connection closes). Without either session-bus service, a logind "idle" lock keeps
//   the machine itself from idling to sleep.
// - systemSleep: a logind "idle" lock as well. A "sleep" lock, or GNOME's suspend flag, would
//   also refuse a suspend the owner asks for; the machine only has to stay up while idle.
// - user activity: org.freedesktop.ScreenSaver.SimulateUserActivity, sent without waiting for an
//   answer and at most once per `activityInterval`: remote input arrives at pointer rate and one
//   declaration per second keeps every idle timer reset just as well. (X's own screensaver timer
//   is reset by the input injector with XResetScreenSaver.)
class LinuxPowerManager : public PowerManager {
 public:
  struct Config {
    DesktopBusConfig buses;
    std::chrono::milliseconds callTimeout{3000};
    std::chrono::milliseconds activityInterval{1000};
    // The X display kept on for displaySleep: unset means $DISPLAY, an empty name none at all.
    std::optional<std::string> xDisplay;
  };

  // `clock` paces the user-activity declarations; shared, since the manager is handed out and
  // may be released after its creator's runtime.
  LinuxPowerManager(Config config, std::shared_ptr<const Clock> clock);
  ~LinuxPowerManager() override;

  std::uint32_t createAssertion(PowerAssertionType type, std::string_view name) override;
  void releaseAssertion(std::uint32_t id) override;
  void declareUserActivity(std::string_view name) override;
  std::string status() const override;

 private:
  // What one assertion holds; each part is released on its own.
  struct Held {
    int inhibitorFd = -1;
    std::optional<std::uint32_t> screenSaverCookie;
    std::optional<std::uint32_t> gnomeCookie;
    bool xScreen = false;
  };

  int logindInhibit(const char* what, std::string_view why);  // the fd, or -1
  // An Inhibit call on the session bus; its cookie, or nothing when the service is not there.
  std::optional<std::uint32_t> sessionInhibit(const SdBus::Method& method,
                                              const SdBus::Arguments& arguments);

  Config config_;
  const std::shared_ptr<const Clock> clock_;
  mutable std::mutex mutex_;
  SdBus systemBus_;
  SdBus sessionBus_;
  std::optional<XScreenBlankingInhibitor> xScreen_;  // absent when told to leave X alone
  std::map<std::uint32_t, Held> held_;
  std::uint32_t nextID_ = 1;
  std::string status_;
  std::optional<double> lastActivity_;  // clock seconds
};

}  // namespace ombrel
