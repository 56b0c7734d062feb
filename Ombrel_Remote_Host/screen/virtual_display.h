#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "OmbrelKit/stream_messages.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"
#include "base/clock.h"
#include "base/runtime.h"

namespace ombrel {

// How a VirtualDisplay waits. The session uses the runtime's clock; tests script it. The clock
// is shared: the timing is copied into every display, which may outlive its creator.
struct VirtualDisplayTiming {
  std::shared_ptr<const Clock> clock;
  std::function<void(double seconds)> sleep;  // blocks the caller
  // Runs `work` once, `delay` seconds later, on the main queue.
  std::function<void(double delay, std::function<void()> work)> schedule;

  // The runtime's clock and main queue; sleeping blocks the calling thread for real.
  static VirtualDisplayTiming onRuntime(Runtime& runtime);
};

// A display of the client's size made for one stream. It becomes the main display by moving to
// the desktop's origin, with the other displays in a row to its right; the other applications'
// windows are moved onto it, and everything goes back afterwards.
//
// Life: create() -> waitUntilActive() -> takeOverDesktop() -> restore() -> destruction, which
// restores again (a no-op when nothing is saved) and removes the display.
//
// Threading: create on the main queue; waitUntilActive sleeps on the caller's thread (never the
// main queue); the deferred window restores run through timing.schedule on the main queue.
class VirtualDisplay {
 public:
  static constexpr std::int64_t minWidth = 640, maxWidth = 3000;
  static constexpr std::int64_t minHeight = 400, maxHeight = 2000;
  // Room kept free at the top of the display for the desktop's panel or menu bar.
  static constexpr std::int64_t menuBarMargin = 30;
  static constexpr std::size_t maxDisplays = 16;

  // A display of the requested size (clamped) and name; nullptr when the platform refuses it
  // (no room, no RandR 1.5, ...).
  static std::shared_ptr<VirtualDisplay> create(const VirtualDisplayRequest& request,
                                                std::shared_ptr<DisplayConfiguration> platform,
                                                VirtualDisplayTiming timing);
  // On the process's platform configuration (Displays::platform()).
  static std::shared_ptr<VirtualDisplay> create(const VirtualDisplayRequest& request,
                                                VirtualDisplayTiming timing);
  // The requested size clamped to what a virtual display may have.
  static std::pair<std::int64_t, std::int64_t> clampedSize(std::int64_t width, std::int64_t height);

  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // True once the display is listed (having given it up to three checks of its mode), false
  // when it is not listed before the timeout.
  bool waitUntilActive(double timeout);
  void takeOverDesktop();
  void restore();

  std::uint32_t displayID() const { return displayID_; }
  std::pair<std::int64_t, std::int64_t> pointSize() const { return pointSize_; }

 private:
  VirtualDisplay(std::shared_ptr<DisplayConfiguration> platform, VirtualDisplayTiming timing,
                 std::uint32_t id, std::pair<std::int64_t, std::int64_t> size);
  // X11 has no HiDPI modes: the requested size is the mode.
  bool selectRequestedMode();
  void moveWindowsHere(const std::vector<WindowFrame>& windows);

  std::shared_ptr<DisplayConfiguration> platform_;
  VirtualDisplayTiming timing_;
  std::uint32_t displayID_;
  std::pair<std::int64_t, std::int64_t> pointSize_;
  std::map<std::uint32_t, DisplayPoint> savedOrigins_;
  std::vector<WindowFrame> savedWindows_;
};

}  // namespace ombrel
