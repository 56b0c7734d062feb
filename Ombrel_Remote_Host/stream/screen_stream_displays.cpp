#include "Ombrel_Remote_Host/stream/screen_stream_displays.h"

#include <algorithm>
#include <utility>

#include "Ombrel_Remote_Host/screen/displays.h"

namespace ombrel {
namespace {

class ScreenVirtualDisplay final : public StreamVirtualDisplay {
 public:
  explicit ScreenVirtualDisplay(std::shared_ptr<VirtualDisplay> display)
      : display_(std::move(display)) {}
  std::uint32_t displayID() const override { return display_->displayID(); }
  bool waitUntilActive(double timeout) override { return display_->waitUntilActive(timeout); }
  void takeOverDesktop() override { display_->takeOverDesktop(); }
  void restore() override { display_->restore(); }

 private:
  std::shared_ptr<VirtualDisplay> display_;
};

}  // namespace

ScreenStreamDisplays::ScreenStreamDisplays(Platform platform, VirtualDisplayTiming timing)
    : platform_(std::move(platform)), timing_(std::move(timing)) {}

ScreenStreamDisplays::ScreenStreamDisplays(VirtualDisplayTiming timing)
    : ScreenStreamDisplays(&Displays::platform, std::move(timing)) {}

std::vector<StreamDisplay> ScreenStreamDisplays::all() {
  std::vector<StreamDisplay> out;
  auto platform = platform_();
  if (!platform) return out;
  std::vector<DisplayInfo> infos = platform->displays();
  std::vector<DisplayRect> layout = platform->layout();
  for (auto& info : infos) {
    auto rect = std::find_if(layout.begin(), layout.end(),
                             [&](const DisplayRect& r) { return r.id == info.id; });
    // A display that went away between the two reads is left out, as it would be a moment later.
    if (rect == layout.end()) continue;
    DisplayBounds bounds{static_cast<double>(rect->x), static_cast<double>(rect->y),
                         static_cast<double>(rect->width), static_cast<double>(rect->height)};
    out.push_back(StreamDisplay{.info = std::move(info), .bounds = bounds});
  }
  return out;
}

std::unique_ptr<StreamVirtualDisplay> ScreenStreamDisplays::createVirtualDisplay(
    const VirtualDisplayRequest& request) {
  auto platform = platform_();
  if (!platform) return nullptr;
  auto display = VirtualDisplay::create(request, std::move(platform), timing_);
  if (!display) return nullptr;
  return std::make_unique<ScreenVirtualDisplay>(std::move(display));
}

}  // namespace ombrel
