#include "Ombrel_Remote_Host/backends/unavailable_services.h"

#include <mutex>

namespace ombrel {

namespace {

class UnavailablePowerManager final : public PowerManager {
 public:
  std::uint32_t createAssertion(PowerAssertionType, std::string_view) override { return 0; }
  void releaseAssertion(std::uint32_t) override {}
  void declareUserActivity(std::string_view) override {}
  std::string status() const override {
    return "無法保持喚醒：這個版本沒有 systemd-logind 支援，電腦閒置時可能進入睡眠";
  }
};

class UnavailableScreenLock final : public ScreenLock {
 public:
  bool isLocked() override { return false; }
  ScreenLockMethod lock() override { return ScreenLockMethod::none; }
};

class UnavailableLoginItem final : public LoginItem {
 public:
  LoginItemStatus status() const override { return LoginItemStatus::notRegistered; }
  std::optional<std::string> registerItem() override {
    return failureText("這個版本無法設定自動啟動");
  }
  std::optional<std::string> unregisterItem() override { return std::nullopt; }
};

// Reports the missing daemon as soon as something is to be advertised, as the real advertiser
// does while avahi-daemon is away.
class UnavailableBonjourAdvertiser final : public BonjourAdvertiser {
 public:
  void update(std::uint16_t, std::string_view) override { set(BonjourState::noDaemon); }
  void stop() override { set(BonjourState::stopped); }
  BonjourStatus status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }

 private:
  void set(BonjourState state) {
    BonjourStatus next{.state = state, .text = bonjourStatusText(state)};
    {
      std::lock_guard lock(mutex_);
      if (status_ == next) return;
      status_ = next;
    }
    if (onStatus) onStatus(next);
  }

  mutable std::mutex mutex_;
  BonjourStatus status_;
};

}  // namespace

std::shared_ptr<PowerManager> unavailablePowerManager() {
  return std::make_shared<UnavailablePowerManager>();
}
std::shared_ptr<ScreenLock> unavailableScreenLock() {
  return std::make_shared<UnavailableScreenLock>();
}
std::shared_ptr<LoginItem> unavailableLoginItem() {
  return std::make_shared<UnavailableLoginItem>();
}
std::shared_ptr<BonjourAdvertiser> unavailableBonjourAdvertiser() {
  return std::make_shared<UnavailableBonjourAdvertiser>();
}

}  // namespace ombrel
