#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/session/session_rules.h"
#include "base/runtime.h"
#include "support/mailbox.h"

namespace ombrel::test {

// A HostSessionDelegate whose answers a test scripts and whose calls it observes.
class FakeHostSessionDelegate : public HostSessionDelegate {
 public:
  explicit FakeHostSessionDelegate(Runtime& runtime)
      : runtime_(runtime), blockingWorker_(runtime.blockingWorker()) {}
  // Streams let their sleep assertion go on the runtime's blocking worker, maybe after their
  // session is gone: a call still waiting there must not reach `power` once it is destroyed
  // (the test's runtime usually outlives its host). The runtime may already be gone.
  ~FakeHostSessionDelegate() override {
    if (auto worker = blockingWorker_.lock()) worker->stop();
  }

  const DeviceIdentity& identity() const override { return identity_; }
  std::string hostName() const override { return "測試電腦"; }
  SerialQueue& mainQueue() override { return *runtime_.mainQueue(); }
  CorvaneAccess& access() override { return access_; }
  PowerManager& powerManager() override { return power; }

  bool isTrusted(ByteView key) const override {
    std::lock_guard guard(lock_);
    return trusted_.count(Bytes(key.begin(), key.end())) > 0;
  }
  bool isLimited(ByteView key) const override {
    std::lock_guard guard(lock_);
    return limited_.count(Bytes(key.begin(), key.end())) > 0;
  }
  bool lockedReceive() const override { return receive; }
  bool lockedSync() const override { return sync; }
  bool lockedPairingEnabled() const override { return pairingEnabled; }
  bool icePreviewEnabled() const override { return icePreview; }
  std::vector<std::string> lockedAddresses() const override { return {"192.168.1.5:47800"}; }
  bool pairingBackoff() override {
    std::lock_guard guard(lock_);
    return backoff_.shouldRefuse(runtime_.clock().now());
  }
  std::vector<DisplayInfo> displays() override {
    return {DisplayInfo{.id = 1, .name = "Main", .pixelWidth = 1920, .pixelHeight = 1080}};
  }

  std::optional<Refusal> pairingConflict() override {
    EXPECT_TRUE(runtime_.mainQueue()->isCurrent());
    return conflict;
  }
  void requestApproval(std::shared_ptr<HostSession> session, std::string code) override {
    EXPECT_TRUE(runtime_.mainQueue()->isCurrent());
    approvals.put({std::move(session), std::move(code)});
  }
  void trust(ByteView key, std::string name, std::optional<double> seconds) override {
    EXPECT_TRUE(runtime_.mainQueue()->isCurrent());
    setTrusted(key, seconds.has_value());
    trusts.put({std::move(name), seconds});
  }
  void sessionsChanged() override { ++sessionsChangedCount; }
  void recomputePrivacy() override { privacyRecomputes.put(true); }
  void captureWorked() override {}

  void setTrusted(ByteView key, bool limited) {
    std::lock_guard guard(lock_);
    trusted_.insert(Bytes(key.begin(), key.end()));
    if (limited) limited_.insert(Bytes(key.begin(), key.end()));
  }

  struct Approval {
    std::shared_ptr<HostSession> session;
    std::string code;
  };
  struct Trust {
    std::string name;
    std::optional<double> seconds;
  };

  FakePowerManager power;
  std::atomic<bool> pairingEnabled{true};
  std::atomic<bool> icePreview{true};
  std::atomic<bool> sync{true};
  std::atomic<bool> receive{true};
  std::optional<Refusal> conflict;  // set before the request; read on the main queue
  test::Mailbox<Approval> approvals;
  test::Mailbox<Trust> trusts;
  test::Mailbox<bool> privacyRecomputes;
  std::atomic<int> sessionsChangedCount{0};

 private:
  Runtime& runtime_;
  std::weak_ptr<BlockingWorker> blockingWorker_;
  DeviceIdentity identity_ = DeviceIdentity(Bytes(32, 0x22));
  CorvaneAccess access_;
  mutable std::mutex lock_;
  std::set<Bytes> trusted_, limited_;
  PairingBackoff backoff_;
};

}  // namespace ombrel::test
