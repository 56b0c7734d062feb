#pragma once

#include "Ombrel_Remote_Host/platform/login_item.h"

namespace ombrel {

// A LoginItem held in memory. With `failure` set, every change fails with that reason and
// leaves the registration as it was.
class FakeLoginItem : public LoginItem {
 public:
  struct Config {
    LoginItemStatus status = LoginItemStatus::notRegistered;
    std::optional<std::string> failure;
  };

  FakeLoginItem() : FakeLoginItem(Config()) {}
  explicit FakeLoginItem(Config config) : config_(std::move(config)) {}

  LoginItemStatus status() const override { return config_.status; }
  std::optional<std::string> registerItem() override { return change(LoginItemStatus::enabled); }
  std::optional<std::string> unregisterItem() override {
    return change(LoginItemStatus::notRegistered);
  }

  void setFailure(std::optional<std::string> reason) { config_.failure = std::move(reason); }
  int changeCount() const { return changeCount_; }

 private:
  std::optional<std::string> change(LoginItemStatus to) {
    ++changeCount_;
    if (config_.failure) return failureText(*config_.failure);
    config_.status = to;
    return std::nullopt;
  }

  Config config_;
  int changeCount_ = 0;
};

}  // namespace ombrel
