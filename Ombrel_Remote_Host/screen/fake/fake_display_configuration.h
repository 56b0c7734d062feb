#pragma once

#include <deque>
#include <mutex>

#include "Ombrel_Remote_Host/screen/display_configuration.h"

namespace ombrel {

// A scripted desktop: displays with places, windows, and knobs that make the platform refuse.
// Everything it is asked to do is recorded for the test to read.
class FakeDisplayConfiguration : public DisplayConfiguration {
 public:
  struct Config {
    bool refuseCreate = false;
    bool refuseOrigins = false;
    // How many displays() calls list a new virtual display as missing.
    int listDelay = 0;
    // Results of selectMode(), oldest first; true once they run out.
    std::deque<bool> modeResults;
  };

  struct Display {
    DisplayInfo info;
    DisplayRect rect;
  };

  FakeDisplayConfiguration() = default;
  explicit FakeDisplayConfiguration(Config config) : config_(std::move(config)) {}

  // Adds a display at (x, y) of width x height.
  void addDisplay(std::uint32_t id, std::int64_t x, std::int64_t y, std::int64_t width,
                  std::int64_t height);
  void addWindow(WindowFrame frame);

  std::vector<DisplayInfo> displays() override;
  std::vector<DisplayRect> layout() override;
  std::optional<std::uint32_t> createVirtual(std::int64_t width, std::int64_t height,
                                             const std::string& name) override;
  bool selectMode(std::uint32_t id, std::int64_t width, std::int64_t height) override;
  void removeVirtual(std::uint32_t id) override;
  bool applyOrigins(const std::map<std::uint32_t, DisplayPoint>& origins) override;
  std::vector<WindowFrame> openWindows() override;
  void setWindowPosition(std::uint64_t window, std::int64_t x, std::int64_t y) override;
  void setWindowSize(std::uint64_t window, std::int64_t width, std::int64_t height) override;

  // What happened.
  std::vector<std::string> calls() const;
  std::vector<WindowFrame> windows() const;
  int selectModeCalls() const;
  std::string lastVirtualName() const;

 private:
  mutable std::mutex mutex_;
  Config config_;
  std::vector<Display> displays_;
  std::vector<WindowFrame> windows_;
  std::vector<std::string> calls_;
  // The main display follows a virtual one at the origin; needs the lock.
  void updateMain();
  std::uint32_t nextVirtual_ = 1000;
  std::optional<std::uint32_t> mainBefore_;
  int selectModeCalls_ = 0;
  std::string lastVirtualName_;
};

}  // namespace ombrel
