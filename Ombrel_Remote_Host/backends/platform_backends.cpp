#include "Ombrel_Remote_Host/platform/platform_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#include "Ombrel_Remote_Host/backends/unavailable_services.h"
#if OMBREL_HAVE_LINUX_AVAHI
#include "Ombrel_Remote_Host/linux/avahi/avahi_bonjour_advertiser.h"
#endif
#if OMBREL_HAVE_LINUX_DBUS
#include "Ombrel_Remote_Host/linux/dbus/linux_power_manager.h"
#include "Ombrel_Remote_Host/linux/dbus/linux_screen_lock.h"
#endif
#if OMBREL_HAVE_LINUX_XDG
#include "Ombrel_Remote_Host/linux/xdg/xdg_login_item.h"
#endif

namespace ombrel {

std::shared_ptr<PowerManager> openPowerManager(std::shared_ptr<const Clock> clock) {
#if OMBREL_HAVE_LINUX_DBUS
  LinuxPowerManager::Config config;
  // The X screensaver of XWayland blanks nothing the owner sees.
  if (desktopSession().kind == DesktopSessionKind::wayland) config.xDisplay = std::string();
  return std::make_shared<LinuxPowerManager>(std::move(config), std::move(clock));
#else
  (void)clock;
  return unavailablePowerManager();
#endif
}

std::shared_ptr<ScreenLock> openScreenLock() {
#if OMBREL_HAVE_LINUX_DBUS
  return std::make_shared<LinuxScreenLock>(LinuxScreenLock::Config{});
#else
  return unavailableScreenLock();
#endif
}

std::shared_ptr<LoginItem> openLoginItem() {
#if OMBREL_HAVE_LINUX_XDG
  return std::make_shared<XdgLoginItem>();
#else
  return unavailableLoginItem();
#endif
}

std::shared_ptr<BonjourAdvertiser> openBonjourAdvertiser(std::string name) {
#if OMBREL_HAVE_LINUX_AVAHI
  return std::make_shared<AvahiBonjourAdvertiser>(
      AvahiBonjourAdvertiser::Config{.name = std::move(name)});
#else
  (void)name;
  return unavailableBonjourAdvertiser();
#endif
}

}  // namespace ombrel
