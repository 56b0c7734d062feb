#pragma once

// CursorSource on X11: XQueryPointer for the location and XFixes for the image, on a connection
// of its own so the cursor timer never waits behind capture or display requests. Points equal
// pixels on X11, so the image's size and hot spot are its pixel values.
//
// The image fingerprint hashes the pixels, size and hot spot rather than using the server's
// cursor serial: toolkits make a new cursor (new serial) for the same arrow all the time, and the
// client needs a new picture only when the picture changes. The PNG is made from the pixels the
// last imageHash() read, so the picture sent is the one that was compared.
//
// A connection that breaks (the X server ended or restarted) is reopened, at most once a second.
//
// Threading: any thread (a mutex serialises the calls); the cursor timer calls it on the main
// queue.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/screen/cursor_source.h"
#include "base/bytes.h"

namespace ombrel {

namespace x11 {

// The pointer's current image as XFixes shows it, in straight (not premultiplied) RGBA, rows
// `width` pixels long. Points equal pixels on X11. `serial` is the server's cursor serial, which
// changes with every new cursor (even one that looks the same).
struct CursorPixels {
  Bytes rgba;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t hotX = 0;
  std::int64_t hotY = 0;
  std::uint64_t serial = 0;
};

}  // namespace x11

class X11CursorSource final : public CursorSource {
 public:
  // nullptr when the display cannot be opened or lacks XFIXES.
  static std::shared_ptr<X11CursorSource> open(const std::string& displayName = {});

  std::optional<Point> location() override;
  std::optional<std::uint64_t> imageHash() override;
  std::optional<CursorImage> image() override;

  static std::uint64_t fingerprint(const x11::CursorPixels& pixels);

 private:
  X11CursorSource(std::shared_ptr<x11::Connection> connection, std::string displayName);
  // The live connection, reopened when the old one broke; nullptr while there is none.
  std::shared_ptr<x11::Connection> connection();

  std::mutex mutex_;
  std::shared_ptr<x11::Connection> connection_;
  const std::string displayName_;
  std::chrono::steady_clock::time_point lastReopen_;
  std::optional<x11::CursorPixels> last_;
};

}  // namespace ombrel
