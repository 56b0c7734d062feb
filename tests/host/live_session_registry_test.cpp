#include "Ombrel_Remote_Host/controller/live_session_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "host/controller_fakes.h"
#include "host/fake_host_session_delegate.h"
#include "host/manual_runtime.h"

namespace ombrel {
namespace {

using test::FakeLiveSession;

TEST(ConnectionAdmissionTest, RateLimitPerAddress) {
  ConnectionAdmission admission;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(admission.allowNewConnection("192.168.1.2", i));
  EXPECT_FALSE(admission.allowNewConnection("192.168.1.2", 20));
  EXPECT_TRUE(admission.allowNewConnection("192.168.1.3", 20));
  EXPECT_FALSE(admission.allowNewConnection("192.168.1.2", 59.9));
  EXPECT_TRUE(admission.allowNewConnection("192.168.1.2", 60.0));  // the oldest left the window
  EXPECT_FALSE(admission.allowNewConnection("192.168.1.2", 60.5));
  EXPECT_EQ(admission.trackedAddresses(), 2u);
  EXPECT_TRUE(admission.allowNewConnection("x", 1000));
  EXPECT_EQ(admission.trackedAddresses(), 1u);
}

TEST(ConnectionAdmissionTest, LiveSessionLimits) {
  ConnectionAdmission admission;
  std::vector<std::string> live(8, "10.0.0.5");
  EXPECT_FALSE(admission.admitDirect(live, "10.0.0.5", 0));  // ninth from one address
  EXPECT_TRUE(admission.admitDirect(live, "10.0.0.6", 0));
  live.assign(48, "");
  EXPECT_TRUE(admission.admitDirect(live, "10.0.0.7", 0));  // relayed ones do not count
  EXPECT_FALSE(ConnectionAdmission::admitRelayed(std::vector<std::string>(16, "")));
  EXPECT_TRUE(ConnectionAdmission::admitRelayed(std::vector<std::string>(15, "")));
  std::vector<std::string> direct;
  for (int i = 0; i < 48; ++i) direct.push_back("10.1.0." + std::to_string(i));
  EXPECT_FALSE(admission.admitDirect(direct, "10.2.0.1", 0));
  // A refused connection is not recorded against the rate limit.
  for (int i = 0; i < 30; ++i)
    admission.admitDirect(live = std::vector<std::string>(8, "h"), "h", 1);
  live.clear();
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(admission.admitDirect(live, "h", 2)) << i;
}

class LiveSessionRegistryTest : public test::ManualRuntimeTest {
 protected:
  LiveSessionRegistryTest() {
    host = std::make_unique<test::FakeHostSessionDelegate>(*runtime);
    factory = std::make_shared<test::FakeSessionFactory>(runtime->mainQueue());
    registry = std::make_shared<LiveSessionRegistry>(runtime->mainQueue(), *host, access, factory);
  }
  ~LiveSessionRegistryTest() override {
    // Whatever holds the main queue goes before the runtime whose io_context it runs on.
    registry.reset();
    factory.reset();
    runtime.reset();
  }

  std::shared_ptr<FakeLiveSession> accepted(std::string remoteIP, Bytes key) {
    auto session = std::make_shared<FakeLiveSession>(runtime->mainQueue(), std::move(remoteIP),
                                                     access.token());
    session->setPeerKey(std::move(key));
    session->isAuthorized = true;
    onMain([&] { registry->accept(session); });
    return session;
  }

  bool listed(const std::shared_ptr<LiveSession>& session) const {
    const auto& live = registry->sessions();
    return std::find(live.begin(), live.end(), session) != live.end();
  }

  std::unique_ptr<test::FakeHostSessionDelegate> host;
  CorvaneAccess access;
  std::shared_ptr<test::FakeSessionFactory> factory;
  std::shared_ptr<LiveSessionRegistry> registry;
};

// The owner decides about the end (the assistance lock) while the session is still listed, and
// recomputes what depends on the list (privacy, pairings) once it is gone.
TEST_F(LiveSessionRegistryTest, EndIsReportedWhileListedThenAfterRemoval) {
  std::vector<std::string> heard;  // main queue
  onMain([&] {
    registry->onChange = [&] { heard.push_back("change"); };
    registry->onEnding = [&](const std::shared_ptr<LiveSession>& session) {
      heard.push_back(listed(session) ? "ending listed" : "ending unlisted");
    };
    registry->onEnded = [&](const std::shared_ptr<LiveSession>& session) {
      heard.push_back(listed(session) ? "ended listed" : "ended unlisted");
    };
  });
  auto session = accepted("192.168.1.20", Bytes(32, 1));
  session->disconnect();
  onMain([] {});  // the end hops to the main queue
  onMain([&] {
    EXPECT_EQ(heard,
              (std::vector<std::string>{"change", "ending listed", "change", "ended unlisted"}));
    EXPECT_TRUE(registry->sessions().empty());
  });
}

// Revocation may come from any thread; it must never wait for a busy main queue.
TEST_F(LiveSessionRegistryTest, ClosingByKeyFromAnotherThreadNeverWaitsForTheMainQueue) {
  const Bytes revoked(32, 2);
  auto target = accepted("192.168.1.21", revoked);
  auto bystander = accepted("192.168.1.22", Bytes(32, 3));
  std::promise<void> release;
  std::promise<void> blocked;
  runtime->mainQueue()->post([&, gate = release.get_future().share()] {
    blocked.set_value();
    gate.wait();
  });
  blocked.get_future().wait();
  auto closing = std::async(std::launch::async, [&] { registry->closeSessions(revoked); });
  const bool returned = closing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(returned);
  onMain([] {});
  EXPECT_EQ(target->disconnects(), 1);
  EXPECT_EQ(bystander->disconnects(), 0);
  onMain([&] { EXPECT_EQ(registry->sessions().size(), 1u); });
}

}  // namespace
}  // namespace ombrel
