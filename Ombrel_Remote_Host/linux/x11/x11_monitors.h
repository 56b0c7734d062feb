#pragma once

#include <X11/extensions/Xrandr.h>

#include <vector>

#include "OmbrelKit/display_info.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"

namespace ombrel::x11 {

// One RandR monitor with what the display list and the layout need.
//
// Identity: a monitor's id is its name atom. Monitor names are unique per screen, atoms live
// as long as the X server, and the monitor RandR makes for an output is named after that
// output ("DP-1"), so the id stays the same for the whole session even when the monitor is
// switched off and on. Ids are never 0.
//
// Sizes: X11 has no point space; points equal pixels.
struct Monitor {
  DisplayInfo info;
  DisplayRect rect;
  ::Atom name = None;
  bool primary = false;
  bool automatic = false;
  int mmWidth = 0;
  int mmHeight = 0;
  std::vector<RROutput> outputs;
  std::vector<RRCrtc> crtcs;  // the enabled CRTCs driving those outputs
};

// True when the server speaks RandR 1.5 (monitors).
bool hasMonitors(Connection& connection);

// The active monitors in RandR's order. Refresh rate from the first CRTC's mode, 60.0 when it
// has none or reports 0; name from the first output's EDID, else the monitor's name, else
// "螢幕 " + id. The first primary monitor is the main display; with none, the one at the
// origin (else the first). Without RandR 1.5 the whole screen is one display whose id is the root
// window's. Needs the connection's lock.
std::vector<Monitor> listMonitors(Connection& connection);

}  // namespace ombrel::x11
