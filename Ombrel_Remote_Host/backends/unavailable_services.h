#pragma once

// What the choosers hand out when the build left a desktop-service backend out (its system
// packages were missing): objects that do nothing and say so through their status, so that the
// host still runs and the owner learns what this build cannot do.

#include <memory>

#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"
#include "Ombrel_Remote_Host/platform/login_item.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"

namespace ombrel {

std::shared_ptr<PowerManager> unavailablePowerManager();
std::shared_ptr<ScreenLock> unavailableScreenLock();
std::shared_ptr<LoginItem> unavailableLoginItem();
std::shared_ptr<BonjourAdvertiser> unavailableBonjourAdvertiser();

}  // namespace ombrel
