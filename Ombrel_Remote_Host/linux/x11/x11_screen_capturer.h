#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <memory>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/screen/screen_capturer.h"

namespace ombrel {

// Captures one RandR monitor of an X11 screen.
//
// Pictures come from the root window with XShm into a small pool of shared-memory images (with
// plain XGetImage into memory of our own when the server cannot share memory, e.g. over the
// network), and the encoder is handed the pooled image itself: an image goes back into use
// only once nothing holds its picture any more. A streamer holds about three at a time (one in
// the encoder, one kept for refinement, the one being grabbed); the pool grows when all are
// held rather than wait.
//
// Changes come from XDamage on the root window: a capture grabs only when damage touching the
// monitor arrived since the last grab, and then grabs only the rows that changed since the
// picture the reused image last held (whole rows: a server writes a grab as packed rows, so a
// band of whole rows lands in place in the image without a copy). Where each picture differs
// from the one before is recorded in `PictureChanges`, which the encoder also reads to convert
// only those parts. The damage is taken before the grab, so a change drawn during the grab
// shows in the next one too rather than being lost. A RandR change that moves, resizes or
// removes the monitor ends in `reinit`; RandR announces CRTC and output changes but not those
// of output-less monitors, so the monitor list is also read every 0.25 s.
//
// The excluded windows are painted black after every grab; where one was painted before and
// is no longer (it moved, was unmapped, or the list changed) counts as changed, so that every
// pooled image grabs the uncovered area again.
//
// Only the common 24-bit true-colour layout (B, G, R, X bytes in memory) is supported; other
// visuals are refused at open.
//
// Threading: a connection of its own, used by the capture thread alone, so waiting for damage
// stalls nobody else (the pointer has its own in X11CursorSource).
class X11ScreenCapturer : public ScreenCapturer {
 public:
  // nullptr when the display cannot be opened, the monitor does not exist, or a needed
  // extension (DAMAGE, XFIXES, RANDR) or the pixel layout is missing.
  static std::unique_ptr<X11ScreenCapturer> open(std::uint32_t displayID,
                                                 const std::string& displayName = {});
  // What this server lacks for capture, as the user reads it: the first missing extension by
  // its X name, or the pixel layout; nullopt when capture can run. MIT-SHM is not among them:
  // without it pictures come through XGetImage. Needs the connection's lock.
  static std::optional<std::string> missingFacility(::Display* display);
  ~X11ScreenCapturer() override;

  CaptureResult capture(std::chrono::milliseconds timeout) override;
  CaptureResult grab() override;
  CapturedFrame frame() const override;
  PixelBufferRef picture() const override { return current_; }
  DisplayRect bounds() const override { return bounds_; }
  void setExcludedWindows(std::vector<std::uint64_t> windows) override;

  bool usesSharedMemory() const { return sharedMemory_; }
  // Grab with XGetImage even where shared memory works; for tests of that path.
  void disableSharedMemoryForTest();
  // How many images the pool has made so far; for tests.
  std::size_t pooledImages() const;

 private:
  struct Image;
  struct Pool;

  X11ScreenCapturer(std::shared_ptr<x11::Connection> capture, DisplayRect bounds);
  bool initialise();
  // A new image for the pool, in shared memory when `sharedMemory_`; null when that fails.
  std::shared_ptr<Image> makeImage();
  // Detaches the server from every pooled image; held pictures stay readable.
  void detachPool();
  // Reads the queued events; needs the capture lock.
  void drainEvents();
  // The damage since the last call, in the monitor's pixels; empty when none touches it.
  std::vector<PixelRect> takeDamage();
  // `damaged`: where the display changed since the last picture; nullopt for anywhere.
  CaptureResult grabLocked(std::optional<std::vector<PixelRect>> damaged);
  bool grabRows(Image& image, std::int64_t top, std::int64_t rows);
  std::vector<PixelRect> excludedRects();

  std::shared_ptr<x11::Connection> capture_;
  DisplayRect bounds_;
  int damageEventBase_ = 0;
  int randrEventBase_ = 0;
  Damage damage_ = None;
  XserverRegion parts_ = None;
  bool dirty_ = true;
  bool everGrabbed_ = false;
  bool geometryChanged_ = false;
  bool sharedMemory_ = false;
  std::chrono::steady_clock::time_point lastLayoutCheck_;

  std::shared_ptr<Pool> pool_;
  std::shared_ptr<PictureChanges> changes_;
  std::uint64_t generation_ = 0;
  PixelBufferRef current_;
  std::vector<std::uint64_t> excluded_;
  std::vector<PixelRect> painted_;  // the excluded windows' areas in the last picture
};

}  // namespace ombrel
