#include "Ombrel_Remote_Host/screen/fake/fake_display_configuration.h"

#include <algorithm>

namespace ombrel {

void FakeDisplayConfiguration::addDisplay(std::uint32_t id, std::int64_t x, std::int64_t y,
                                          std::int64_t width, std::int64_t height) {
  std::lock_guard lock(mutex_);
  DisplayInfo info{.id = id,
                   .name = "螢幕 " + std::to_string(id),
                   .pixelWidth = width,
                   .pixelHeight = height,
                   .pointWidth = static_cast<double>(width),
                   .pointHeight = static_cast<double>(height),
                   .refreshRate = 60.0,
                   .isMain = displays_.empty()};
  displays_.push_back({info, {id, x, y, width, height}});
}

void FakeDisplayConfiguration::addWindow(WindowFrame frame) {
  std::lock_guard lock(mutex_);
  windows_.push_back(frame);
}

std::vector<DisplayInfo> FakeDisplayConfiguration::displays() {
  std::lock_guard lock(mutex_);
  std::vector<DisplayInfo> out;
  for (auto& d : displays_) {
    if (d.info.id >= 1000 && config_.listDelay > 0) continue;
    out.push_back(d.info);
  }
  if (config_.listDelay > 0) --config_.listDelay;
  return out;
}

std::vector<DisplayRect> FakeDisplayConfiguration::layout() {
  std::lock_guard lock(mutex_);
  std::vector<DisplayRect> out;
  for (auto& d : displays_) out.push_back(d.rect);
  return out;
}

std::optional<std::uint32_t> FakeDisplayConfiguration::createVirtual(std::int64_t width,
                                                                     std::int64_t height,
                                                                     const std::string& name) {
  std::lock_guard lock(mutex_);
  calls_.push_back("create " + std::to_string(width) + "x" + std::to_string(height));
  if (config_.refuseCreate) return std::nullopt;
  std::int64_t right = 0;
  for (auto& d : displays_) right = std::max(right, d.rect.x + d.rect.width);
  std::uint32_t id = nextVirtual_++;
  lastVirtualName_ = name;
  DisplayInfo info{.id = id,
                   .name = name,
                   .pixelWidth = width,
                   .pixelHeight = height,
                   .pointWidth = static_cast<double>(width),
                   .pointHeight = static_cast<double>(height),
                   .refreshRate = 60.0};
  displays_.push_back({info, {id, right, 0, width, height}});
  return id;
}

bool FakeDisplayConfiguration::selectMode(std::uint32_t, std::int64_t, std::int64_t) {
  std::lock_guard lock(mutex_);
  ++selectModeCalls_;
  if (config_.modeResults.empty()) return true;
  bool result = config_.modeResults.front();
  config_.modeResults.pop_front();
  return result;
}

void FakeDisplayConfiguration::removeVirtual(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  calls_.push_back("remove " + std::to_string(id));
  std::erase_if(displays_, [&](auto& d) { return d.info.id == id; });
  updateMain();
}

void FakeDisplayConfiguration::updateMain() {
  auto atOrigin = std::find_if(displays_.begin(), displays_.end(), [](auto& d) {
    return d.info.id >= 1000 && d.rect.x == 0 && d.rect.y == 0;
  });
  if (atOrigin != displays_.end()) {
    if (!mainBefore_) {
      auto main =
          std::find_if(displays_.begin(), displays_.end(), [](auto& d) { return d.info.isMain; });
      mainBefore_ = main != displays_.end() ? main->info.id : 0;
    }
    for (auto& d : displays_) d.info.isMain = &d == &*atOrigin;
  } else if (mainBefore_) {
    for (auto& d : displays_) d.info.isMain = d.info.id == *mainBefore_;
    mainBefore_.reset();
  }
}

bool FakeDisplayConfiguration::applyOrigins(const std::map<std::uint32_t, DisplayPoint>& origins) {
  std::lock_guard lock(mutex_);
  std::string call = "origins";
  for (auto& [id, p] : origins) {
    call += " " + std::to_string(id) + "@" + std::to_string(p.x) + "," + std::to_string(p.y);
  }
  calls_.push_back(call);
  if (config_.refuseOrigins) return false;
  for (auto& d : displays_) {
    auto it = origins.find(d.info.id);
    if (it == origins.end()) continue;
    d.rect.x = it->second.x;
    d.rect.y = it->second.y;
  }
  updateMain();
  return true;
}

std::vector<WindowFrame> FakeDisplayConfiguration::openWindows() {
  std::lock_guard lock(mutex_);
  return windows_;
}

void FakeDisplayConfiguration::setWindowPosition(std::uint64_t window, std::int64_t x,
                                                 std::int64_t y) {
  std::lock_guard lock(mutex_);
  calls_.push_back("move " + std::to_string(window) + " " + std::to_string(x) + "," +
                   std::to_string(y));
  for (auto& w : windows_) {
    if (w.window == window) {
      w.x = x;
      w.y = y;
    }
  }
}

void FakeDisplayConfiguration::setWindowSize(std::uint64_t window, std::int64_t width,
                                             std::int64_t height) {
  std::lock_guard lock(mutex_);
  calls_.push_back("size " + std::to_string(window) + " " + std::to_string(width) + "x" +
                   std::to_string(height));
  for (auto& w : windows_) {
    if (w.window == window) {
      w.width = width;
      w.height = height;
    }
  }
}

std::vector<std::string> FakeDisplayConfiguration::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<WindowFrame> FakeDisplayConfiguration::windows() const {
  std::lock_guard lock(mutex_);
  return windows_;
}

int FakeDisplayConfiguration::selectModeCalls() const {
  std::lock_guard lock(mutex_);
  return selectModeCalls_;
}

std::string FakeDisplayConfiguration::lastVirtualName() const {
  std::lock_guard lock(mutex_);
  return lastVirtualName_;
}

}  // namespace ombrel
