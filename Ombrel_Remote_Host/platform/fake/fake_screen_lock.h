#pragma once

#include <mutex>

#include "Ombrel_Remote_Host/platform/screen_lock.h"

namespace ombrel {

// A ScreenLock whose state the test sets. lock() answers with `method` and, unless that is
// `none`, marks the screen locked.
class FakeScreenLock : public ScreenLock {
 public:
  struct Config {
    bool locked = false;
    ScreenLockMethod method = ScreenLockMethod::logind;
  };

  FakeScreenLock() : FakeScreenLock(Config()) {}
  explicit FakeScreenLock(Config config) : config_(config) {}

  bool isLocked() override {
    std::lock_guard lock(mutex_);
    return config_.locked;
  }
  ScreenLockMethod lock() override {
    std::lock_guard lock(mutex_);
    ++lockCount_;
    if (config_.method != ScreenLockMethod::none) config_.locked = true;
    return config_.method;
  }

  void setLocked(bool locked) {
    std::lock_guard lock(mutex_);
    config_.locked = locked;
  }
  int lockCount() const {
    std::lock_guard lock(mutex_);
    return lockCount_;
  }

 private:
  mutable std::mutex mutex_;
  Config config_;
  int lockCount_ = 0;
};

}  // namespace ombrel
