#include "Ombrel_Remote_Host/screen/screen_backends.h"

#include <cstdlib>
#include <string_view>
#include <system_error>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"

namespace ombrel {

namespace {

bool waylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return (wayland != nullptr && *wayland != '\0') ||
         (type != nullptr && std::string_view(type) == "wayland");
}

}  // namespace

std::optional<NVError> screenCaptureProblem(const std::string& displayName) {
  if (waylandSession()) {
    return NVError::invalid("這是 Wayland 工作階段，目前只能擷取 X11 桌面的畫面");
  }
  auto connection = x11::Connection::open(displayName);
  if (!connection) return NVError::system(std::make_error_code(std::errc::permission_denied));
  auto lock = connection->lock();
  if (auto missing = X11ScreenCapturer::missingFacility(connection->display())) {
    return NVError::invalid(*missing);
  }
  return std::nullopt;
}

std::unique_ptr<ScreenCapturer> openScreenCapturer(std::uint32_t displayID) {
  if (waylandSession()) return nullptr;
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
