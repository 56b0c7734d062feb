#include "Ombrel_Remote_Host/screen/screen_backends.h"

#include <system_error>

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "Ombrel_Remote_Host/linux/x11/x11_gamma_tables.h"
#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"

namespace ombrel {

std::optional<NVError> screenCaptureProblem(const std::string& displayName) {
  if (desktopSession().kind == DesktopSessionKind::wayland) {
    return NVError::invalid(std::string(waylandCaptureText));
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
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
  return X11ScreenCapturer::open(displayID);
}

std::optional<Bytes> screenshotPNG(std::uint32_t displayID) {
  auto capturer = openScreenCapturer(displayID);
  if (!capturer || capturer->grab() != CaptureResult::ok) return std::nullopt;
  Bytes png = encodeFramePNG(capturer->frame());
  if (png.empty()) return std::nullopt;
  return png;
}

std::shared_ptr<DisplayConfiguration> openDisplayConfiguration() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
  return X11DisplayConfiguration::open();
}

std::unique_ptr<ColorTransferTables> openColorTransferTables() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
  return X11GammaTables::open();
}

}  // namespace ombrel
