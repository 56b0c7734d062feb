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
// The picture is read only when it may have changed: the connection asks XFIXES for a
// notification whenever the displayed cursor changes, and imageHash() reads those already on
// the connection without waiting. Between notifications it answers the last fingerprint without
// a request. It sees every change made before the connection's latest round trip: the timer's
// location() call just before it is one; without such a call since the last imageHash(), it makes
// one itself so that a change made before the call is never missed.
//
// A connection that breaks (the X server ended or restarted) is reopened, at most once a second,
// and the picture is read anew on it.
//
// Threading: any thread (a mutex serialises the calls); the cursor timer calls it on the main
// queue.

#include <atomic>
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
  // How many times the picture was read from the server (for tests and benchmarks).
  std::uint64_t imageReads() const { return imageReads_.load(); }

 private:
  X11CursorSource(std::shared_ptr<x11::Connection> connection, int fixesEvents,
                  std::string displayName);
  // The live connection, reopened when the old one broke; nullptr while there is none.
  std::shared_ptr<x11::Connection> connection();
  // Consumes the cursor notifications the connection holds; true when one names a cursor other
  // than the one last read. False on a dead connection.
  bool takeNotifications(x11::Connection& connection);
  // Reads the picture into last_ and its fingerprint into hash_.
  void readPicture(x11::Connection& connection);

  std::mutex mutex_;
  std::shared_ptr<x11::Connection> connection_;
  int fixesEvents_;  // XFIXES's first event code on connection_
  const std::string displayName_;
  std::chrono::steady_clock::time_point lastReopen_;
  // The picture last read and its fingerprint; nothing until read on the current connection.
  std::optional<x11::CursorPixels> last_;
  std::uint64_t hash_ = 0;
  // location() made a round trip since imageHash() last looked at the notifications.
  bool roundTripSinceCheck_ = false;
  std::atomic<std::uint64_t> imageReads_{0};
};

}  // namespace ombrel
