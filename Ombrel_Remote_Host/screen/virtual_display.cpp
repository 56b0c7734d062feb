#include "Ombrel_Remote_Host/screen/virtual_display.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "Ombrel_Remote_Host/screen/displays.h"

namespace ombrel {

namespace {

constexpr double settleDelay = 0.3;
constexpr double modeCheckInterval = 0.15;
constexpr double listInterval = 0.1;
constexpr int modeChecksInARow = 3;
// Displays settle asynchronously; windows are put back once early and once late.
constexpr double firstWindowRestore = 0.8;
constexpr double secondWindowRestore = 2.0;

}  // namespace

VirtualDisplayTiming VirtualDisplayTiming::onRuntime(Runtime& runtime) {
  return {
      .clock = runtime.sharedClock(),
      .sleep =
          [](double seconds) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
          },
      .schedule = [main = runtime.mainQueue()](
                      double delay,
                      std::function<void()> work) { main->after(delay, std::move(work)); },
  };
}

std::pair<std::int64_t, std::int64_t> VirtualDisplay::clampedSize(std::int64_t width,
                                                                  std::int64_t height) {
  return {std::clamp(width, minWidth, maxWidth), std::clamp(height, minHeight, maxHeight)};
}

std::shared_ptr<VirtualDisplay> VirtualDisplay::create(
    const VirtualDisplayRequest& request, std::shared_ptr<DisplayConfiguration> platform,
    VirtualDisplayTiming timing) {
  if (!platform) return nullptr;
  auto size = clampedSize(request.width, request.height);
  auto id = platform->createVirtual(size.first, size.second, request.name);
  if (!id) return nullptr;
  return std::shared_ptr<VirtualDisplay>(
      new VirtualDisplay(std::move(platform), std::move(timing), *id, size));
}

std::shared_ptr<VirtualDisplay> VirtualDisplay::create(const VirtualDisplayRequest& request,
                                                       VirtualDisplayTiming timing) {
  return create(request, Displays::platform(), std::move(timing));
}

VirtualDisplay::VirtualDisplay(std::shared_ptr<DisplayConfiguration> platform,
                               VirtualDisplayTiming timing, std::uint32_t id,
                               std::pair<std::int64_t, std::int64_t> size)
    : platform_(std::move(platform)),
      timing_(std::move(timing)),
      displayID_(id),
      pointSize_(size) {}

VirtualDisplay::~VirtualDisplay() {
  restore();
  platform_->removeVirtual(displayID_);
}

bool VirtualDisplay::selectRequestedMode() {
  return platform_->selectMode(displayID_, pointSize_.first, pointSize_.second);
}

bool VirtualDisplay::waitUntilActive(double timeout) {
  const Clock& clock = *timing_.clock;
  double deadline = clock.now() + timeout;
  while (clock.now() < deadline) {
    auto displays = platform_->displays();
    bool listed =
        std::any_of(displays.begin(), displays.end(), [&](auto& d) { return d.id == displayID_; });
    if (!listed) {
      timing_.sleep(listInterval);
      continue;
    }
    int inARow = 0;
    while (inARow < modeChecksInARow && clock.now() < deadline) {
      inARow = selectRequestedMode() ? inARow + 1 : 0;
      timing_.sleep(modeCheckInterval);
    }
    return true;
  }
  return false;
}

void VirtualDisplay::takeOverDesktop() {
  auto layout = platform_->layout();
  if (layout.empty()) return;
  if (layout.size() > maxDisplays) layout.resize(maxDisplays);
  auto self =
      std::find_if(layout.begin(), layout.end(), [&](auto& d) { return d.id == displayID_; });
  if (self == layout.end()) return;

  // A second take-over before a restore must not record the taken-over places as the ones to
  // go back to: the first record stands.
  for (auto& d : layout) savedOrigins_.try_emplace(d.id, DisplayPoint{d.x, d.y});
  auto windows = platform_->openWindows();

  std::map<std::uint32_t, DisplayPoint> origins{{displayID_, {0, 0}}};
  std::int64_t x = self->width;
  for (auto& d : layout) {
    if (d.id == displayID_) continue;
    origins[d.id] = {x, 0};
    x += d.width;
  }
  if (!platform_->applyOrigins(origins)) return;

  timing_.sleep(settleDelay);
  for (auto& window : windows) {
    if (std::none_of(savedWindows_.begin(), savedWindows_.end(),
                     [&](auto& saved) { return saved.window == window.window; })) {
      savedWindows_.push_back(window);
    }
  }
  moveWindowsHere(windows);
}

void VirtualDisplay::moveWindowsHere(const std::vector<WindowFrame>& windows) {
  DisplayRect bounds{displayID_, 0, 0, pointSize_.first, pointSize_.second};
  for (auto& d : platform_->layout()) {
    if (d.id == displayID_) bounds = d;
  }
  std::int64_t usableHeight = bounds.height - menuBarMargin;
  for (auto& window : windows) {
    std::int64_t w = std::min(bounds.width, window.width);
    std::int64_t h = std::min(usableHeight, window.height);
    std::int64_t x = bounds.x + std::max<std::int64_t>((bounds.width - w) / 2, 0);
    std::int64_t y = bounds.y + menuBarMargin + std::max<std::int64_t>((usableHeight - h) / 2, 0);
    platform_->setWindowPosition(window.window, x, y);
    if (w != window.width || h != window.height) platform_->setWindowSize(window.window, w, h);
  }
}

void VirtualDisplay::restore() {
  if (!savedOrigins_.empty()) {
    // Unlike displays that the system arranges by itself, an X11 monitor stays where it was
    // put; this one goes back to its own old place too, or it would cover another display.
    platform_->applyOrigins(savedOrigins_);
    savedOrigins_.clear();
  }
  auto windows = std::exchange(savedWindows_, {});
  if (windows.empty()) return;
  auto putBack = [platform = platform_, windows] {
    for (auto& window : windows) {
      platform->setWindowSize(window.window, window.width, window.height);
      platform->setWindowPosition(window.window, window.x, window.y);
    }
  };
  timing_.schedule(firstWindowRestore, putBack);
  timing_.schedule(secondWindowRestore, putBack);
}

}  // namespace ombrel
