#pragma once

#include <X11/extensions/Xrandr.h>

#include <memory>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/linux/x11/gamma_watchdog.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/screen/color_transfer_tables.h"

namespace ombrel {

// Colour transfer tables as RandR CRTC gamma ramps: every CRTC of the screen, enabled or not
// (a display switched on later must not come up with a picture), gets an all-zero ramp of its
// own size; the ramps read before are loaded back on restore. While they are zero, a
// GammaWatchdog holds a copy, to load them back should this process die first.
class X11GammaTables : public ColorTransferTables {
 public:
  // nullptr when the display cannot be opened.
  static std::unique_ptr<X11GammaTables> open(const std::string& displayName = {});
  explicit X11GammaTables(std::shared_ptr<x11::Connection> connection);

  void blank() override;
  void restore() override;

  // Loads `ramps` back onto the CRTCs that still have the all-zero ramp of the same size, the
  // ones left blank; returns how many. The watchdog's way back: the blanking process is gone.
  static std::size_t restoreBlanked(x11::Connection& connection,
                                    const std::vector<GammaRamp>& ramps);

 private:
  std::shared_ptr<x11::Connection> connection_;
  std::vector<GammaRamp> saved_;
  std::unique_ptr<GammaWatchdog> watchdog_;
  bool blanked_ = false;
};

}  // namespace ombrel
