#include "Ombrel_Remote_Host/linux/dbus/linux_power_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include "base/log.h"

namespace ombrel {
namespace {

constexpr const char* inhibitorWho = "Ombrel Remote";
constexpr SdBus::Method logindInhibitMethod{"org.freedesktop.login1", "/org/freedesktop/login1",
                                            "org.freedesktop.login1.Manager", "Inhibit"};
constexpr const char* screenSaverName = "org.freedesktop.ScreenSaver";
constexpr const char* screenSaverPath = "/org/freedesktop/ScreenSaver";
constexpr const char* gnomeSessionName = "org.gnome.SessionManager";
constexpr const char* gnomeSessionPath = "/org/gnome/SessionManager";
// GsmInhibitorFlag: the session is never marked idle, so it neither blanks nor idles to sleep.
constexpr std::uint32_t gnomeInhibitIdle = 8;

constexpr std::string_view noLogindText =
    "無法保持喚醒：系統的 systemd-logind 沒有回應，電腦閒置時可能進入睡眠";

SdBus::Method screenSaverMethod(const char* member) {
  return {screenSaverName, screenSaverPath, screenSaverName, member};
}

SdBus::Method gnomeSessionMethod(const char* member) {
  return {gnomeSessionName, gnomeSessionPath, gnomeSessionName, member};
}

std::optional<XScreenBlankingInhibitor> xScreenFor(const std::optional<std::string>& display) {
  if (display && display->empty()) return std::nullopt;
  return std::optional<XScreenBlankingInhibitor>(std::in_place, display.value_or(""));
}

}  // namespace

LinuxPowerManager::LinuxPowerManager(Config config, std::shared_ptr<const Clock> clock)
    : config_(std::move(config)),
      clock_(std::move(clock)),
      systemBus_(BusKind::system, config_.buses.systemBusAddress),
      sessionBus_(BusKind::session, config_.buses.sessionBusAddress),
      xScreen_(xScreenFor(config_.xDisplay)) {}

LinuxPowerManager::~LinuxPowerManager() {
  std::vector<std::uint32_t> ids;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, held] : held_) ids.push_back(id);
  }
  for (std::uint32_t id : ids) releaseAssertion(id);
}

std::uint32_t LinuxPowerManager::createAssertion(PowerAssertionType type, std::string_view name) {
  std::lock_guard lock(mutex_);
  Held held;
  bool needsLogind = true;
  if (type == PowerAssertionType::displaySleep) {
    if (xScreen_) held.xScreen = xScreen_->hold();
    std::string why(name);
    held.gnomeCookie = sessionInhibit(gnomeSessionMethod("Inhibit"), [&](sd_bus_message* m) {
      // No toplevel window to name: 0.
      return sd_bus_message_append(m, "susu", inhibitorWho, 0u, why.c_str(), gnomeInhibitIdle);
    });
    held.screenSaverCookie = sessionInhibit(screenSaverMethod("Inhibit"), [&](sd_bus_message* m) {
      return sd_bus_message_append(m, "ss", inhibitorWho, why.c_str());
    });
    // Either desktop service also keeps the machine from idling to sleep.
    needsLogind = !held.gnomeCookie && !held.screenSaverCookie;
  }
  // Every kind keeps the machine up only while idle: "idle", never "sleep".
  if (needsLogind) held.inhibitorFd = logindInhibit("idle", name);
  status_ = needsLogind && held.inhibitorFd < 0 ? std::string(noLogindText) : std::string();
  if (held.inhibitorFd < 0 && !held.screenSaverCookie && !held.gnomeCookie && !held.xScreen) {
    return 0;
  }
  std::uint32_t id = nextID_++;
  if (nextID_ == 0) nextID_ = 1;
  held_.emplace(id, held);
  return id;
}

void LinuxPowerManager::releaseAssertion(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  auto it = held_.find(id);
  if (it == held_.end()) return;
  Held held = it->second;
  held_.erase(it);
  // logind drops the lock when the last copy of its descriptor is closed.
  if (held.inhibitorFd >= 0) ::close(held.inhibitorFd);
  if (held.xScreen) xScreen_->release();
  auto uninhibit = [&](const SdBus::Method& method, std::uint32_t cookie) {
    SdBusError error;
    auto reply = sessionBus_.call(
        method, [cookie](sd_bus_message* m) { return sd_bus_message_append(m, "u", cookie); },
        config_.callTimeout, error);
    if (!reply) {
      log::line(std::string("Ombrel Remote: ") + method.interface + "." + method.member +
                " failed: " + error.describe(0));
    }
  };
  if (held.gnomeCookie) uninhibit(gnomeSessionMethod("Uninhibit"), *held.gnomeCookie);
  if (held.screenSaverCookie) uninhibit(screenSaverMethod("UnInhibit"), *held.screenSaverCookie);
}

void LinuxPowerManager::declareUserActivity(std::string_view) {
  std::lock_guard lock(mutex_);
  const double time = clock_->now();
  const double interval = std::chrono::duration<double>(config_.activityInterval).count();
  if (lastActivity_ && time - *lastActivity_ < interval) return;
  lastActivity_ = time;
  sessionBus_.send(screenSaverMethod("SimulateUserActivity"), nullptr);
}

std::string LinuxPowerManager::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

int LinuxPowerManager::logindInhibit(const char* what, std::string_view why) {
  std::string reason(why);
  SdBusError error;
  auto reply = systemBus_.call(
      logindInhibitMethod,
      [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ssss", what, inhibitorWho, reason.c_str(), "block");
      },
      config_.callTimeout, error);
  if (!reply) {
    log::line(std::string("Ombrel Remote: logind inhibitor \"") + what +
              "\" unavailable: " + error.describe(0));
    return -1;
  }
  int fd = -1;
  int r = sd_bus_message_read(reply.get(), "h", &fd);
  // The descriptor belongs to the reply message; keep a copy of our own.
  int owned = r >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
  if (owned < 0) log::line("Ombrel Remote: logind inhibitor reply unreadable");
  return owned;
}

std::optional<std::uint32_t> LinuxPowerManager::sessionInhibit(const SdBus::Method& method,
                                                               const SdBus::Arguments& arguments) {
  SdBusError error;
  auto reply = sessionBus_.call(method, arguments, config_.callTimeout, error);
  std::uint32_t cookie = 0;
  if (!reply || sd_bus_message_read(reply.get(), "u", &cookie) < 0) return std::nullopt;
  return cookie;
}

}  // namespace ombrel
