#include "Ombrel_Remote_Host/screen/screen_backends.h"

#include <system_error>

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "Ombrel_Remote_Host/linux/x11/x11_gamma_tables.h"
#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"
#endif
#include "Ombrel_Remote_Host/screen/png_encoder.h"

namespace ombrel {

#if !OMBREL_HAVE_LINUX_X11
namespace {
constexpr std::string_view noX11CaptureText = "這個版本沒有 X11 畫面擷取，無法分享畫面";
}  // namespace
#endif

std::optional<NVError> screenCaptureProblem(const std::string& displayName) {
  if (desktopSession().kind == DesktopSessionKind::wayland) {
    return NVError::invalid(std::string(waylandCaptureText));
  }
#if OMBREL_HAVE_LINUX_X11
  auto connection = x11::Connection::open(displayName);
  if (!connection) return NVError::system(std::make_error_code(std::errc::permission_denied));
  auto lock = connection->lock();
  if (auto missing = X11ScreenCapturer::missingFacility(connection->display())) {
    return NVError::invalid(*missing);
  }
  return std::nullopt;
#else
  (void)displayName;
  return NVError::invalid(std::string(noX11CaptureText));
#endif
}

std::unique_ptr<ScreenCapturer> openScreenCapturer(std::uint32_t displayID) {
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  return X11ScreenCapturer::open(displayID);
#else
  (void)displayID;
  return nullptr;
#endif
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
#if OMBREL_HAVE_LINUX_X11
  return X11DisplayConfiguration::open();
#else
  return nullptr;
#endif
}

std::unique_ptr<ColorTransferTables> openColorTransferTables() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  return X11GammaTables::open();
#else
  return nullptr;
#endif
}

}  // namespace ombrel
