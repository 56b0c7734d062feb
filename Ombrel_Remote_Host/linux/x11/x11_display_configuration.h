#pragma once

#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/linux/x11/x11_monitors.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"

namespace ombrel {

// Displays, layout and windows of an X11 desktop through RandR and EWMH.
//
// Virtual displays are RandR 1.5 monitors without outputs: a rectangle of the X screen that
// clients treat as a display of its own. One is placed right of (else below) the existing
// monitors; the screen is grown for it when the server allows (a real driver does, Xvfb never
// grows past its start size). A rectangle that does not fit is refused.
//
// Layout changes move the CRTCs that drive a monitor's outputs, and re-place output-less
// monitors, all inside one server grab so that clients see one change. A virtual display of
// this configuration's that moves to the origin becomes the primary monitor (the main display,
// where desktops put panels and new windows), and stops being it when it moves away or goes.
//
// Nothing of a virtual display outlives it: once none of ours is primary, the primary output
// and the user's own primary monitor are what they were before (RandR forgets a monitor's
// primary flag when another takes it); a screen grown for ours shrinks back, when one goes, to
// the union of the monitors left, never below its size before it grew.
//
// Windows are the EWMH client list (_NET_CLIENT_LIST) of the window manager: normal and dialog
// windows that are viewable, not hidden (_NET_WM_STATE_HIDDEN) and not this process's
// (_NET_WM_PID). Frames include _NET_FRAME_EXTENTS. Without a window manager the list is
// empty and no window moves.
//
// Threading: any thread; calls are serialised on the configuration's own connection.
class X11DisplayConfiguration : public DisplayConfiguration {
 public:
  // nullptr when the display cannot be opened.
  static std::shared_ptr<X11DisplayConfiguration> open(const std::string& displayName = {});
  explicit X11DisplayConfiguration(std::shared_ptr<x11::Connection> connection);
  // Removes the virtual displays it made and that are still there.
  ~X11DisplayConfiguration() override;

  bool isConnected() const override { return connection_->alive(); }
  std::vector<DisplayInfo> displays() override;
  std::vector<DisplayRect> layout() override;
  std::optional<std::uint32_t> createVirtual(std::int64_t width, std::int64_t height,
                                             const std::string& name) override;
  bool selectMode(std::uint32_t id, std::int64_t width, std::int64_t height) override;
  void removeVirtual(std::uint32_t id) override;
  bool applyOrigins(const std::map<std::uint32_t, DisplayPoint>& origins) override;
  std::vector<WindowFrame> openWindows() override;
  void setWindowPosition(std::uint64_t window, std::int64_t x, std::int64_t y) override;
  void setWindowSize(std::uint64_t window, std::int64_t width, std::int64_t height) override;

 private:
  struct Extents {
    long left = 0, right = 0, top = 0, bottom = 0;
  };
  Extents frameExtents(::Window window);

  // What primary was before a monitor of ours took over. The following need the lock.
  struct Primary {
    RROutput output = None;
    ::Atom monitor = None;  // an output-less monitor of someone else's
  };
  void savePrimary(const std::vector<x11::Monitor>& monitors);
  // Gives the primary back unless a monitor of ours is still at the origin.
  void restorePrimary();
  void shrinkScreen();

  std::shared_ptr<x11::Connection> connection_;
  std::set<std::uint32_t> created_;
  std::optional<Primary> primaryBefore_;
  std::optional<DisplayPoint> screenBeforeGrowth_;
};

}  // namespace ombrel
