#pragma once

#include <X11/extensions/Xrandr.h>

#include <memory>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/screen/color_transfer_tables.h"
#include "Ombrel_Remote_Host/screen/linux/x11_connection.h"

namespace ombrel {

// Colour transfer tables as RandR CRTC gamma ramps: every CRTC of the screen, enabled or not
// (a display switched on later must not come up with a picture), gets an all-zero ramp of its
// own size; the ramps read before are loaded back on restore.
class X11GammaTables : public ColorTransferTables {
 public:
  // nullptr when the display cannot be opened.
  static std::unique_ptr<X11GammaTables> open(const std::string& displayName = {});
  explicit X11GammaTables(std::shared_ptr<x11::Connection> connection);

  void blank() override;
  void restore() override;

 private:
  struct Ramp {
    RRCrtc crtc = None;
    std::vector<unsigned short> red, green, blue;
  };

  std::shared_ptr<x11::Connection> connection_;
  std::vector<Ramp> saved_;
  bool blanked_ = false;
};

}  // namespace ombrel
