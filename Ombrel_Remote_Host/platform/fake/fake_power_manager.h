#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/platform/power_manager.h"

namespace ombrel {

// A PowerManager that records what it is asked. With `available` false nothing can be held and
// status() reports the missing service, as the desktop backend does without logind.
class FakePowerManager : public PowerManager {
 public:
  struct Config {
    bool available = true;
  };
  struct Assertion {
    PowerAssertionType type;
    std::string name;
  };

  FakePowerManager() : FakePowerManager(Config()) {}
  explicit FakePowerManager(Config config) : config_(config) {}

  std::uint32_t createAssertion(PowerAssertionType type, std::string_view name) override {
    std::lock_guard lock(mutex_);
    ++createCount_;
    if (!config_.available) return 0;
    std::uint32_t id = nextID_++;
    held_[id] = {type, std::string(name)};
    return id;
  }
  void releaseAssertion(std::uint32_t id) override {
    std::lock_guard lock(mutex_);
    held_.erase(id);
  }
  void declareUserActivity(std::string_view name) override {
    std::lock_guard lock(mutex_);
    activities_.emplace_back(name);
  }
  std::string status() const override {
    std::lock_guard lock(mutex_);
    return config_.available ? std::string() : "fake: no power management";
  }

  void setAvailable(bool available) {
    std::lock_guard lock(mutex_);
    config_.available = available;
  }
  std::map<std::uint32_t, Assertion> held() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  std::vector<std::string> activities() const {
    std::lock_guard lock(mutex_);
    return activities_;
  }
  int createCount() const {
    std::lock_guard lock(mutex_);
    return createCount_;
  }

 private:
  mutable std::mutex mutex_;
  Config config_;
  std::map<std::uint32_t, Assertion> held_;
  std::vector<std::string> activities_;
  std::uint32_t nextID_ = 1;
  int createCount_ = 0;
};

}  // namespace ombrel
