#pragma once

// The screen layer's displays as the streaming control's StreamDisplays: the display list with
// each display's place on the desktop, and VirtualDisplay for the streams that ask for one.
//
// It stays a bridge rather than the screen layer implementing StreamDisplays: screen/ sits below
// stream/ and knows nothing of streams, and the displays' desktop bounds are joined from two
// reads of the configuration (the list and the layout) here, for the stream alone.
//
// X11 knows no built-in panel among RandR monitors as such, so no display is marked builtIn
// and the first display is the physical default.
//
// Threading: all() on any thread; virtual displays as StreamVirtualDisplay says.

#include <functional>
#include <memory>

#include "Ombrel_Remote_Host/screen/display_configuration.h"
#include "Ombrel_Remote_Host/screen/virtual_display.h"
#include "Ombrel_Remote_Host/stream/stream_displays.h"

namespace ombrel {

class ScreenStreamDisplays final : public StreamDisplays {
 public:
  // `platform` yields the configuration at each call (by default Displays::platform(), which
  // reopens after the X server restarted); it may yield nullptr when there is no desktop.
  using Platform = std::function<std::shared_ptr<DisplayConfiguration>()>;
  ScreenStreamDisplays(Platform platform, VirtualDisplayTiming timing);
  explicit ScreenStreamDisplays(VirtualDisplayTiming timing);

  std::vector<StreamDisplay> all() override;
  std::unique_ptr<StreamVirtualDisplay> createVirtualDisplay(
      const VirtualDisplayRequest& request) override;

 private:
  Platform platform_;
  VirtualDisplayTiming timing_;
};

}  // namespace ombrel
