#include "Ombrel_Remote_Host/controller/pairing_desk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/controller_fakes.h"
#include "host/manual_runtime.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using test::FakeLiveSession;

// A desk on a ManualClock runtime with a trusted-client store in a throw-away home.
class PairingDeskTest : public test::ManualRuntimeTest {
 protected:
  PairingDeskTest() {
    auto store = std::make_unique<TrustedClientStore>(HostSettings::open(), identity, *clock);
    desk = std::make_shared<PairingDesk>(runtime->mainQueue(), std::move(store));
    onMain([&] { desk->onPendingChange = [this] { ++pendingChanges; }; });
  }
  ~PairingDeskTest() override {
    onMain([&] { desk->stop(); });
    desk.reset();
    runtime.reset();
  }

  std::shared_ptr<FakeLiveSession> makeSession() {
    return std::make_shared<FakeLiveSession>(runtime->mainQueue(), "192.168.1.10",
                                             CorvaneAccess::Token{});
  }

  test::TempHome home;
  DeviceIdentity identity{Bytes(32, 0x42)};
  std::shared_ptr<PairingDesk> desk;
  int pendingChanges = 0;  // main queue
};

// The 120-second denial is for a pairing that still waits: one that was answered, or whose
// session ended, keeps what it got.
TEST_F(PairingDeskTest, DeadlineDeniesOnlyWhatStillWaits) {
  enum class Then { nothing, approve, deny, sessionEnds };
  struct Case {
    const char* name;
    Then then;
    std::vector<bool> answers;
    int changes;  // the request, then the answer or the end
  } cases[] = {
      {"unanswered", Then::nothing, {false}, 2},
      {"approved", Then::approve, {true}, 2},
      {"denied", Then::deny, {false}, 2},
      {"session ended", Then::sessionEnds, {}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = makeSession();
    onMain([&] {
      pendingChanges = 0;
      desk->requestApproval(session, "123456");
      ASSERT_EQ(desk->pending().size(), 1u);
      if (c.then == Then::approve) desk->answer(session, true, true);
      if (c.then == Then::deny) desk->answer(session, false, false);
      if (c.then == Then::sessionEnds) desk->forget(session);
    });
    clock->advance(PairingDesk::approvalTimeout + 0.1);
    EXPECT_EQ(session->answers(), c.answers);
    onMain([&] {
      EXPECT_TRUE(desk->pending().empty());
      EXPECT_EQ(pendingChanges, c.changes);
      // Neither a late answer nor a late end touches it again.
      desk->answer(session, true, false);
      desk->forget(session);
      EXPECT_EQ(pendingChanges, c.changes);
    });
    EXPECT_EQ(session->answers(), c.answers);
  }
}

TEST_F(PairingDeskTest, ConflictsComeFromTheWaitingPairingAndAssistance) {
  auto asking = makeSession();
  auto helper = makeSession();
  helper->isAuthorized = true;
  helper->isLimited = true;
  auto ordinary = makeSession();
  ordinary->isAuthorized = true;
  onMain([&] {
    const std::vector<std::shared_ptr<LiveSession>> quiet = {ordinary};
    const std::vector<std::shared_ptr<LiveSession>> assisted = {ordinary, helper};
    EXPECT_FALSE(desk->conflict(quiet));
    EXPECT_EQ(desk->conflict(assisted)->code, HostErrorCode::supportActive);
    desk->requestApproval(asking, "111111");
    // A waiting pairing is named first, whatever else runs.
    auto busy = desk->conflict(assisted);
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->code, HostErrorCode::pairingBusy);
    EXPECT_EQ(busy->message, "電腦正在處理另一個配對請求");
    desk->forget(asking);
    EXPECT_FALSE(desk->conflict(quiet));
  });
}

TEST_F(PairingDeskTest, BackoffCountsPromptsFromEveryThread) {
  // Connection queues ask at the same time: three prompts get through, no more.
  std::atomic<int> allowed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3; ++i) {
        if (!desk->backoff()) ++allowed;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(allowed, 3);
  clock->advance(120.5);
  EXPECT_FALSE(desk->backoff());
}

TEST_F(PairingDeskTest, ExpiryTimerRemovesEndedGrantsUntilStopped) {
  const Bytes helper(32, 7), owner(32, 8), late(32, 9);
  onMain([&] {
    desk->trust(helper, "Helper", 5.0);
    desk->trust(owner, "Owner", std::nullopt);
    desk->start();
  });
  clock->advance(4.0);
  EXPECT_TRUE(desk->isLimited(helper));
  clock->advance(2.0);
  EXPECT_FALSE(desk->isTrusted(helper));
  auto clients = desk->trusted().clients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].name, "Owner");

  onMain([&] {
    desk->trust(late, "Late", 5.0);
    desk->makeGrantsPermanent();
    desk->trust(helper, "Helper", 5.0);
    desk->stop();
  });
  clock->advance(10.0);
  EXPECT_TRUE(desk->isTrusted(late));
  EXPECT_FALSE(desk->isLimited(late));
  EXPECT_FALSE(desk->isTrusted(helper));
  // Without the timer nothing removes the ended grant from the list.
  EXPECT_EQ(desk->trusted().clients().size(), 3u);
}

}  // namespace
}  // namespace ombrel
