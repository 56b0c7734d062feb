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
// Pictures come from the root window with XShm into one reusable shared-memory image (with
// plain XGetImage when the server cannot share memory, e.g. over the network). Changes come
// from XDamage on the root window: a capture grabs only when damage touching the monitor
// arrived since the last grab. The damage is taken before the grab, so a change drawn during
// the grab shows in the next one too rather than being lost. A RandR change that moves,
// resizes or removes the monitor ends in `reinit`; RandR announces CRTC and output changes but
// not those of output-less monitors, so the monitor list is also read every 0.25 s.
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
  DisplayRect bounds() const override { return bounds_; }
  void setExcludedWindows(std::vector<std::uint64_t> windows) override;

  bool usesSharedMemory() const { return shm_.shmaddr != nullptr; }
  // Grab with XGetImage even where shared memory works; for tests of that path.
  void disableSharedMemoryForTest();

 private:
  X11ScreenCapturer(std::shared_ptr<x11::Connection> capture, DisplayRect bounds);
  bool initialise();
  bool attachSharedMemory();
  void releaseSharedMemory();
  // Reads the queued events; needs the capture lock.
  void drainEvents();
  bool damageTouchesMonitor();
  CaptureResult grabLocked();
  void paintExcludedWindows();

  std::shared_ptr<x11::Connection> capture_;
  DisplayRect bounds_;
  int damageEventBase_ = 0;
  int randrEventBase_ = 0;
  Damage damage_ = None;
  XserverRegion parts_ = None;
  bool dirty_ = true;
  bool everGrabbed_ = false;
  bool geometryChanged_ = false;
  std::chrono::steady_clock::time_point lastLayoutCheck_;

  XShmSegmentInfo shm_{};
  XImage* shmImage_ = nullptr;
  std::vector<std::uint8_t> buffer_;  // without shared memory
  std::int64_t stride_ = 0;
  std::vector<std::uint64_t> excluded_;
};

}  // namespace ombrel
