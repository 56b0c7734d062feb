#include "Ombrel_Remote_Host/clipboard/clipboard_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/x11_pasteboard.h"
#endif
#if OMBREL_HAVE_LINUX_X11 && OMBREL_HAVE_LINUX_LIBAV
#include "Ombrel_Remote_Host/linux/libav/libav_image_decoder.h"
#endif

namespace ombrel {

std::shared_ptr<Pasteboard> openPasteboard(const std::string& displayName) {
  // Like capture and input: a Wayland session is not served yet.
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  X11Pasteboard::Options options;
#if OMBREL_HAVE_LINUX_LIBAV
  // Without libavcodec only image/png is taken from other applications.
  options.imageTypes = libavImageTypes();
  options.decodeImage = [](ByteView data, std::string_view type,
                           std::int64_t maxPixels) -> std::optional<X11Pasteboard::DecodedImage> {
    auto picture = decodeImage(data, type, maxPixels);
    if (!picture) return std::nullopt;
    return X11Pasteboard::DecodedImage{std::move(picture->rgba), picture->width, picture->height};
  };
#endif
  return X11Pasteboard::open(displayName, std::move(options));
#else
  (void)displayName;
  return nullptr;
#endif
}

}  // namespace ombrel
