#pragma once

#include <memory>
#include <string>

#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"
#include "Ombrel_Remote_Host/platform/login_item.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"
#include "base/clock.h"

namespace ombrel {

// The desktop-session services' platform choosers, defined in backends/. Each returns a working
// object whatever the session: what it cannot do it reports through its own status.

// logind and the desktop's session manager over D-Bus, plus the X screensaver in X11 sessions;
// `clock` paces the activity declarations.
std::shared_ptr<PowerManager> openPowerManager(std::shared_ptr<const Clock> clock);
// The session's lock state and lock command (logind, xdg-screensaver).
std::shared_ptr<ScreenLock> openScreenLock();
// An XDG autostart entry.
std::shared_ptr<LoginItem> openLoginItem();
// mDNS through avahi-daemon, advertising `name`.
std::shared_ptr<BonjourAdvertiser> openBonjourAdvertiser(std::string name);

}  // namespace ombrel
