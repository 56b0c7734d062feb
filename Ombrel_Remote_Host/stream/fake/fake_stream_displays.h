#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "Ombrel_Remote_Host/stream/stream_displays.h"

namespace ombrel {

// Displays set by the test. A virtual display, when creation is allowed, joins the list with
// the next free id (from 100) while it lives; the fake records creations and removals.
class FakeStreamDisplays : public StreamDisplays {
 public:
  struct Config {
    bool virtualDisplaysWork = true;  // false: creation refused
    bool becomesActive = true;        // false: created but never listed in time
  };

  FakeStreamDisplays() : FakeStreamDisplays({}, Config()) {}
  FakeStreamDisplays(std::vector<StreamDisplay> displays, Config config)
      : config_(config), displays_(std::move(displays)) {}

  std::vector<StreamDisplay> all() override {
    std::lock_guard lock(mutex_);
    return displays_;
  }

  std::unique_ptr<StreamVirtualDisplay> createVirtualDisplay(
      const VirtualDisplayRequest& request) override {
    std::lock_guard lock(mutex_);
    ++created_;
    if (!config_.virtualDisplaysWork) return nullptr;
    std::uint32_t id = nextID_++;
    StreamDisplay display;
    display.info.id = id;
    display.info.name = request.name;
    display.info.pixelWidth = request.width;
    display.info.pixelHeight = request.height;
    display.info.pointWidth = static_cast<double>(request.width);
    display.info.pointHeight = static_cast<double>(request.height);
    display.info.refreshRate = 60;
    display.bounds = {0, 0, static_cast<double>(request.width),
                      static_cast<double>(request.height)};
    if (config_.becomesActive) displays_.push_back(display);
    live_.push_back(id);
    return std::make_unique<Virtual>(*this, id, config_.becomesActive);
  }

  void setDisplays(std::vector<StreamDisplay> displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
  }
  int created() const {
    std::lock_guard lock(mutex_);
    return created_;
  }
  int removed() const {
    std::lock_guard lock(mutex_);
    return removed_;
  }
  int tookOver() const {
    std::lock_guard lock(mutex_);
    return tookOver_;
  }
  // Ids of virtual displays alive now.
  std::vector<std::uint32_t> liveVirtual() const {
    std::lock_guard lock(mutex_);
    return live_;
  }

 private:
  class Virtual : public StreamVirtualDisplay {
   public:
    Virtual(FakeStreamDisplays& owner, std::uint32_t id, bool active)
        : owner_(owner), id_(id), active_(active) {}
    ~Virtual() override {
      std::lock_guard lock(owner_.mutex_);
      ++owner_.removed_;
      std::erase(owner_.live_, id_);
      std::erase_if(owner_.displays_, [this](const StreamDisplay& d) { return d.info.id == id_; });
    }
    std::uint32_t displayID() const override { return id_; }
    bool waitUntilActive(double) override { return active_; }
    void takeOverDesktop() override {
      std::lock_guard lock(owner_.mutex_);
      ++owner_.tookOver_;
    }
    void restore() override {}

   private:
    FakeStreamDisplays& owner_;
    std::uint32_t id_;
    bool active_;
  };

  mutable std::mutex mutex_;
  Config config_;
  std::vector<StreamDisplay> displays_;
  std::vector<std::uint32_t> live_;
  std::uint32_t nextID_ = 100;
  int created_ = 0;
  int removed_ = 0;
  int tookOver_ = 0;
};

}  // namespace ombrel
