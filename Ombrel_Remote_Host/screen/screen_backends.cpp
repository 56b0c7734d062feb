#include "Ombrel_Remote_Host/screen/screen_backends.h"

#include "Ombrel_Remote_Host/screen/linux/x11_screen_capturer.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"

namespace ombrel {

std::unique_ptr<ScreenCapturer> openScreenCapturer(std::uint32_t displayID) {
  return X11ScreenCapturer::open(displayID);
}

std::optional<Bytes> screenshotPNG(std::uint32_t displayID) {
  auto capturer = openScreenCapturer(displayID);
  if (!capturer || capturer->grab() != CaptureResult::ok) return std::nullopt;
  Bytes png = encodeFramePNG(capturer->frame());
  if (png.empty()) return std::nullopt;
  return png;
}

}  // namespace ombrel
