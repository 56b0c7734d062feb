#pragma once

#include <mutex>
#include <string>

#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"

namespace ombrel {

// A BonjourAdvertiser that records what it is asked to advertise. update() moves to
// `stateOnUpdate` (advertising by default); setState() scripts what a daemon would report
// (going away, coming back, a collision's new name). onStatus fires synchronously.
class FakeBonjourAdvertiser : public BonjourAdvertiser {
 public:
  struct Config {
    std::string name = "Test Host";
    BonjourState stateOnUpdate = BonjourState::advertising;
  };

  FakeBonjourAdvertiser() : FakeBonjourAdvertiser(Config()) {}
  explicit FakeBonjourAdvertiser(Config config) : config_(std::move(config)) {
    status_ = make(BonjourState::stopped, {});
  }

  void update(std::uint16_t port, std::string_view hostID) override {
    {
      std::lock_guard lock(mutex_);
      port_ = port;
      hostID_ = hostID;
      ++updateCount_;
    }
    setState(config_.stateOnUpdate);
  }
  void stop() override { setState(BonjourState::stopped); }
  BonjourStatus status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }

  void setState(BonjourState state, std::string_view detail = {}) {
    BonjourStatus next;
    {
      std::lock_guard lock(mutex_);
      if (state == BonjourState::advertising && !detail.empty()) config_.name = detail;
      status_ = next = make(state, detail);
    }
    if (onStatus) onStatus(next);
  }

  std::uint16_t port() const {
    std::lock_guard lock(mutex_);
    return port_;
  }
  std::string hostID() const {
    std::lock_guard lock(mutex_);
    return hostID_;
  }
  int updateCount() const {
    std::lock_guard lock(mutex_);
    return updateCount_;
  }

 private:
  BonjourStatus make(BonjourState state, std::string_view detail) const {
    bool named = state == BonjourState::advertising;
    return {state, config_.name, bonjourStatusText(state, named ? config_.name : detail)};
  }

  mutable std::mutex mutex_;
  Config config_;
  BonjourStatus status_;
  std::uint16_t port_ = 0;
  std::string hostID_;
  int updateCount_ = 0;
};

}  // namespace ombrel
