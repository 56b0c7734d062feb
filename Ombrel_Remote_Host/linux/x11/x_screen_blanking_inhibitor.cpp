#include "Ombrel_Remote_Host/linux/x11/x_screen_blanking_inhibitor.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "base/log.h"

namespace ombrel {

XScreenBlankingInhibitor::XScreenBlankingInhibitor(std::string display)
    : display_(std::move(display)) {}

XScreenBlankingInhibitor::~XScreenBlankingInhibitor() { restore(); }

bool XScreenBlankingInhibitor::hold() {
  // A server that went away took the suspension with it: the next hold starts afresh on the new
  // one, and the count of holds carries on.
  if (!connected()) {
    restore();
    if (!acquire()) return false;
  }
  ++holds_;
  return true;
}

bool XScreenBlankingInhibitor::connected() {
  if (!connection_) return false;
  auto lock = connection_->lock();
  // An idle connection learns that its server is gone only when it next talks to it.
  XSync(connection_->display(), False);
  return connection_->alive();
}

void XScreenBlankingInhibitor::release() {
  if (holds_ == 0) return;
  if (--holds_ == 0) restore();
}

bool XScreenBlankingInhibitor::acquire() {
  connection_ = x11::Connection::open(display_);
  if (!connection_) {
    log::line("Ombrel Remote: no X display to keep on (" +
              (display_.empty() ? std::string("$DISPLAY") : display_) + ")");
    return false;
  }
  if (!keepOn()) {
    log::line("Ombrel Remote: the X display cannot be kept on");
    restore();
    return false;
  }
  return true;
}

bool XScreenBlankingInhibitor::keepOn() {
  auto lock = connection_->lock();
  ::Display* display = connection_->display();
  x11::ErrorTrap trap(display);
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  // Suspend came with version 1.1 of the extension.
  if (XScreenSaverQueryExtension(display, &eventBase, &errorBase) &&
      XScreenSaverQueryVersion(display, &major, &minor) && (major > 1 || minor >= 1)) {
    XScreenSaverSuspend(display, True);
    suspended_ = true;
  }
  bool dpms = DPMSQueryExtension(display, &eventBase, &errorBase) && DPMSCapable(display);
  CARD16 level = 0;
  BOOL enabled = False;
  if (dpms && DPMSInfo(display, &level, &enabled) && enabled) {
    // Disabling also powers a monitor in standby back on.
    DPMSDisable(display);
    disabledDPMS_ = true;
  }
  // A viewer of a blanked screen would see nothing.
  XResetScreenSaver(display);
  return trap.sync() && (suspended_ || dpms);
}

void XScreenBlankingInhibitor::restore() {
  if (connection_ && connection_->alive()) {
    auto lock = connection_->lock();
    ::Display* display = connection_->display();
    x11::ErrorTrap trap(display);
    if (suspended_) XScreenSaverSuspend(display, False);
    if (disabledDPMS_) DPMSEnable(display);
    trap.sync();
  }
  suspended_ = false;
  disabledDPMS_ = false;
  connection_.reset();
}

}  // namespace ombrel
