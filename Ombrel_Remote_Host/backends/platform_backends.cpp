#include "Ombrel_Remote_Host/platform/platform_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#include "Ombrel_Remote_Host/linux/avahi/avahi_bonjour_advertiser.h"
#include "Ombrel_Remote_Host/linux/dbus/linux_power_manager.h"
#include "Ombrel_Remote_Host/linux/dbus/linux_screen_lock.h"
#include "Ombrel_Remote_Host/linux/xdg/xdg_login_item.h"

namespace ombrel {

std::shared_ptr<PowerManager> openPowerManager() {
  LinuxPowerManager::Config config;
  // The X screensaver of XWayland blanks nothing the owner sees.
  if (desktopSession().kind == DesktopSessionKind::wayland) config.xDisplay = std::string();
  return std::make_shared<LinuxPowerManager>(std::move(config));
}

std::shared_ptr<ScreenLock> openScreenLock() {
  return std::make_shared<LinuxScreenLock>(LinuxScreenLock::Config{});
}

std::shared_ptr<LoginItem> openLoginItem() { return std::make_shared<XdgLoginItem>(); }

std::shared_ptr<BonjourAdvertiser> openBonjourAdvertiser(std::string name) {
  return std::make_shared<AvahiBonjourAdvertiser>(
      AvahiBonjourAdvertiser::Config{.name = std::move(name)});
}

}  // namespace ombrel
