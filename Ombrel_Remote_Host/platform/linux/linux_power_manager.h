#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <variant>
#include <vector>

#include "Ombrel_Remote_Host/platform/linux/sd_bus.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"

namespace ombrel {

// PowerManager over D-Bus.
//
// - idleSystemSleep: a logind inhibitor lock (system bus, org.freedesktop.login1.Manager.Inhibit)
//   with what "idle", who "Ombrel Remote", why = the assertion's name, mode "block". logind hands
//   back a file descriptor; the lock lasts while it is open.
// - displaySleep: org.freedesktop.ScreenSaver.Inhibit on the session bus (a cookie, released with
//   UnInhibit; the desktop also drops it when our connection closes); without a screensaver
//   service, a logind "idle" lock.
// - systemSleep: a logind "idle" lock as well. A "sleep" lock would also refuse a suspend the
//   owner asks for; the machine only has to stay up while idle.
// - user activity: org.freedesktop.ScreenSaver.SimulateUserActivity, sent without waiting for an
//   answer and at most once per `activityInterval`: remote input arrives at pointer rate and one
//   declaration per second keeps every idle timer reset just as well. (X's own screensaver timer
//   is reset by the input injector with XResetScreenSaver.)
class LinuxPowerManager : public PowerManager {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  struct Config {
    DesktopBusConfig buses;
    std::chrono::milliseconds callTimeout{3000};
    std::chrono::milliseconds activityInterval{1000};
    Clock now;  // steady_clock::now when empty
  };

  explicit LinuxPowerManager(Config config);
  ~LinuxPowerManager() override;

  std::uint32_t createAssertion(PowerAssertionType type, std::string_view name) override;
  void releaseAssertion(std::uint32_t id) override;
  void declareUserActivity(std::string_view name) override;
  std::string status() const override;

 private:
  struct InhibitorFd {
    int fd;
  };
  struct ScreenSaverCookie {
    std::uint32_t cookie;
  };
  using Held = std::variant<InhibitorFd, ScreenSaverCookie>;

  int logindInhibit(const char* what, std::string_view why);  // the fd, or -1
  std::optional<std::uint32_t> screenSaverInhibit(std::string_view why);
  std::chrono::steady_clock::time_point now() const;

  Config config_;
  mutable std::mutex mutex_;
  SdBus systemBus_;
  SdBus sessionBus_;
  std::map<std::uint32_t, Held> held_;
  std::uint32_t nextID_ = 1;
  std::string status_;
  std::optional<std::chrono::steady_clock::time_point> lastActivity_;
};

}  // namespace ombrel
