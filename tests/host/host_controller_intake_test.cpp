#include <gtest/gtest.h>

#include "Ombrel_Remote_Host/controller/host_controller.h"
#include "host/controller_fixture.h"

namespace ombrel {
namespace {

using test::ControllerFixture;
using test::FakeLiveSession;

class HostControllerIntakeTest : public ControllerFixture {};

TEST_F(HostControllerIntakeTest, TwentyFirstConnectionInSixtySecondsIsRefused) {
  factory->endAtOnce = true;  // sessions end at once, so only the rate limit applies
  startController();
  ASSERT_TRUE(waitForListener());
  for (int i = 1; i <= 20; ++i) {
    auto client = connectClient();
    ASSERT_TRUE(closedByHost(client)) << i;  // the fake session ended it
    ASSERT_TRUE(waitFor([&] { return controller->sessions().empty(); }));
  }
  EXPECT_EQ(factory->count(), 20u);
  auto refused = connectClient();
  EXPECT_TRUE(closedByHost(refused));
  EXPECT_EQ(factory->count(), 20u);
  // Sixty seconds after the oldest, the address has room again.
  clock->advance(60.0);
  auto again = connectClient();
  EXPECT_TRUE(closedByHost(again));
  EXPECT_EQ(factory->count(), 21u);
}

TEST_F(HostControllerIntakeTest, NinthSimultaneousSessionFromOneAddressIsRefused) {
  startController();
  ASSERT_TRUE(waitForListener());
  std::vector<asio::ip::tcp::socket> clients;
  for (int i = 1; i <= 8; ++i) {
    clients.push_back(connectClient());
    ASSERT_TRUE(waitFor([&] { return controller->sessions().size() == std::size_t(i); }));
  }
  auto ninth = connectClient();
  EXPECT_TRUE(closedByHost(ninth));
  EXPECT_EQ(factory->count(), 8u);
  for (const auto& session : factory->made()) EXPECT_EQ(session->remoteIP(), "127.0.0.1");
  // One ends: the next is admitted again.
  factory->made().front()->disconnect();
  ASSERT_TRUE(waitFor([&] { return controller->sessions().size() == 7; }));
  auto tenth = connectClient();
  EXPECT_TRUE(waitFor([&] { return controller->sessions().size() == 8; }));
}

TEST_F(HostControllerIntakeTest, HandshakeAndPairRequestDeadlines) {
  startController();
  auto silent = makeSession("192.168.1.30");      // never finishes the handshake
  auto idle = makeSession("192.168.1.31");        // finishes it, then neither paired nor asks
  auto asking = makeSession("192.168.1.32");      // asks to pair
  auto authorized = makeSession("192.168.1.33");  // a trusted client
  idle->setPeerKey(Bytes(32, 1));
  asking->setPeerKey(Bytes(32, 2));
  asking->asked = true;
  authorized->setPeerKey(Bytes(32, 3));
  authorized->isAuthorized = true;
  onMain([&] {
    for (auto& s : {silent, idle, asking, authorized}) controller->accept(s);
  });
  clock->advance(9.9);
  EXPECT_EQ(silent->disconnects(), 0);
  clock->advance(0.2);
  EXPECT_EQ(silent->disconnects(), 1);
  EXPECT_EQ(idle->disconnects(), 0);
  clock->advance(49.8);
  EXPECT_EQ(idle->disconnects(), 0);
  clock->advance(0.2);
  EXPECT_EQ(idle->disconnects(), 1);
  EXPECT_EQ(asking->disconnects(), 0);
  EXPECT_EQ(authorized->disconnects(), 0);
  EXPECT_TRUE(waitFor([&] { return controller->sessions().size() == 2; }));
}

TEST_F(HostControllerIntakeTest, GateRefusesRelayedSessionsWithoutCorvane) {
  startController();
  onMain([&] { controller->setCorvaneEnabled(false); });
  auto relayed = makeSession("");
  auto internet = makeSession("203.0.113.5");
  auto lan = makeSession("10.1.2.3");
  onMain([&] {
    controller->accept(relayed);
    controller->accept(internet);
    controller->accept(lan);
  });
  EXPECT_EQ(relayed->disconnects(), 1);
  EXPECT_FALSE(relayed->started());
  EXPECT_EQ(internet->disconnects(), 1);
  EXPECT_TRUE(lan->started());
  EXPECT_EQ(onMain([&] { return controller->sessions().size(); }), 1u);
}

TEST_F(HostControllerIntakeTest, RelayedConnectionsNeedBothSwitchesAndRoom) {
  startController();
  ASSERT_TRUE(waitForListener());
  const auto port = onMain([&] { return controller->listenerPort(); });
  auto relayedSocket = [&] {
    // A connected socket on the runtime's io_context stands in for the relay's data connection.
    asio::ip::tcp::socket socket(runtime->context());
    socket.connect({asio::ip::address_v4::loopback(), port});
    return socket;
  };
  relay->onIncoming(relayedSocket(), toBytes("RELAY abc\n"));
  ASSERT_TRUE(waitFor([&] { return factory->count() == 2; }));  // the listener's, then ours
  auto preambles = factory->preambles();
  EXPECT_TRUE(std::any_of(preambles.begin(), preambles.end(),
                          [](const auto& p) { return p && *p == toBytes("RELAY abc\n"); }));

  onMain([&] { controller->setCorvaneEnabled(false); });
  relay->onIncoming(relayedSocket(), toBytes("RELAY def\n"));
  ASSERT_TRUE(waitFor([&] { return factory->count() == 3; }));  // the listener's side only
  onMain([] {});  // the relay's hand-over has been handled too
  EXPECT_EQ(factory->count(), 3u);
  for (const auto& p : factory->preambles()) {
    EXPECT_FALSE(p && *p == toBytes("RELAY def\n"));
  }
}

TEST_F(HostControllerIntakeTest, IceIntakeNeedsGateAndTrustedKey) {
  startController();
  const Bytes trusted(32, 9);
  const Bytes stranger(32, 8);
  onMain([&] { controller->trust(trusted, "Phone", std::nullopt); });
  const auto token = onMain([&] { return controller->access().token(); });
  onMain([&] { controller->acceptICE(nullptr, stranger, token); });
  EXPECT_EQ(factory->closed(), 1);
  onMain([&] { controller->acceptICE(nullptr, trusted, token); });
  EXPECT_EQ(factory->closed(), 1);
  ASSERT_EQ(factory->count(), 1u);
  EXPECT_EQ(factory->made().front()->remoteIP(), "ICE");
  // A token from before the Corvane switch moved no longer covers the path.
  onMain([&] {
    controller->setCorvaneEnabled(false);
    controller->setCorvaneEnabled(true);
    controller->acceptICE(nullptr, trusted, token);
  });
  EXPECT_EQ(factory->closed(), 2);
}

// End of an assistance session: lock the screen unless the same device still legitimately
// holds the computer.
struct LockCase {
  const char* name;
  bool authorized;
  bool limited;
  enum Trust { limitedGrant, permanent, untrusted } trust;
  bool anotherLive;
  bool locks;
};

class HostControllerLockTest : public ControllerFixture,
                               public ::testing::WithParamInterface<LockCase> {};

TEST_P(HostControllerLockTest, EndOfSessionLocksPerRules) {
  const LockCase c = GetParam();
  startController();
  const Bytes key(32, 5);
  if (c.trust == LockCase::limitedGrant) onMain([&] { controller->trust(key, "Helper", 600); });
  if (c.trust == LockCase::permanent) onMain([&] { controller->trust(key, "Helper", {}); });
  auto ending = makeSession("192.168.1.40");
  ending->setPeerKey(key);
  ending->isAuthorized = c.authorized;
  ending->isLimited = c.limited;
  auto other = makeSession("192.168.1.41");
  other->setPeerKey(key);
  other->isAuthorized = c.anotherLive;
  onMain([&] {
    controller->accept(ending);
    controller->accept(other);
  });
  ending->disconnect();
  ASSERT_TRUE(waitFor([&] { return controller->sessions().size() == 1; }));
  EXPECT_EQ(screenLock->lockCount(), c.locks ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HostControllerLockTest,
    ::testing::Values(LockCase{"grantAlone", true, true, LockCase::limitedGrant, false, true},
                      LockCase{"grantWithSameDeviceLive", true, true, LockCase::limitedGrant, true,
                               false},
                      LockCase{"grantMadePermanent", true, true, LockCase::permanent, false, false},
                      LockCase{"grantExpired", true, true, LockCase::untrusted, true, true},
                      LockCase{"ordinaryTrusted", true, false, LockCase::permanent, false, false},
                      LockCase{"unauthorized", false, false, LockCase::untrusted, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostControllerIntakeTest, EndingTheLastPrivacySessionTurnsThePrivacyScreenOff) {
  startController();
  auto first = makeSession("192.168.1.50");
  auto second = makeSession("192.168.1.51");
  first->privacy = true;
  second->privacy = true;
  onMain([&] {
    controller->accept(first);
    controller->accept(second);
    controller->recomputePrivacy();
    EXPECT_TRUE(controller->privacyActive());
  });
  first->disconnect();
  ASSERT_TRUE(waitFor([&] { return controller->sessions().size() == 1; }));
  EXPECT_TRUE(onMain([&] { return controller->privacyActive(); }));
  second->disconnect();
  ASSERT_TRUE(waitFor([&] { return controller->sessions().empty(); }));
  onMain([&] {
    EXPECT_FALSE(controller->privacyActive());
    ASSERT_FALSE(privacyCalls.empty());
    EXPECT_FALSE(privacyCalls.back());
  });
}

TEST_F(HostControllerIntakeTest, OwnersAnswerGrantsTwoHoursUnlessOwnDevice) {
  startController();
  int attention = 0;
  onMain([&] { controller->onNeedsAttention = [&] { ++attention; }; });
  struct Case {
    bool ownDevice;
    std::optional<double> asked;
    std::optional<double> granted;
  } cases[] = {
      {false, std::nullopt, 7200.0},
      {true, std::nullopt, std::nullopt},
      {false, 300.0, 300.0},
  };
  for (const auto& c : cases) {
    auto session = makeSession("192.168.1.60");
    session->setGrantSeconds(c.asked);
    onMain([&] {
      controller->accept(session);
      controller->requestApproval(std::static_pointer_cast<LiveSession>(session), "123456");
      ASSERT_EQ(controller->pendingPairings().size(), 1u);
      EXPECT_EQ(controller->pendingPairings()[0].code, "123456");
      auto conflict = controller->pairingConflict();
      ASSERT_TRUE(conflict);
      EXPECT_EQ(conflict->code, HostErrorCode::pairingBusy);
      controller->answer(session, true, c.ownDevice);
      EXPECT_TRUE(controller->pendingPairings().empty());
    });
    EXPECT_EQ(session->grantSeconds(), c.granted);
    EXPECT_EQ(session->answers(), std::vector<bool>{true});
  }
  EXPECT_EQ(attention, 3);
}

TEST_F(HostControllerIntakeTest, UnansweredPairingIsDeniedAfterTwoMinutesAndStaysDenied) {
  startController();
  auto session = makeSession("192.168.1.70");
  session->setPeerKey(Bytes(32, 4));
  session->asked = true;
  onMain([&] {
    controller->accept(session);
    controller->requestApproval(std::static_pointer_cast<LiveSession>(session), "654321");
  });
  clock->advance(119.9);
  EXPECT_TRUE(session->answers().empty());
  clock->advance(0.2);
  EXPECT_EQ(session->answers(), std::vector<bool>{false});
  // A card the owner answers afterwards must not approve the refused session.
  onMain([&] { controller->answer(session, true, false); });
  EXPECT_EQ(session->answers(), std::vector<bool>{false});
  EXPECT_FALSE(session->grantSeconds());
}

TEST_F(HostControllerIntakeTest, PairingBackoffAllowsThreePromptsPerTwoMinutes) {
  startController();
  EXPECT_FALSE(controller->pairingBackoff());
  EXPECT_FALSE(controller->pairingBackoff());
  EXPECT_FALSE(controller->pairingBackoff());
  EXPECT_TRUE(controller->pairingBackoff());
  clock->advance(120.5);
  EXPECT_FALSE(controller->pairingBackoff());
}

TEST_F(HostControllerIntakeTest, AssistanceSessionBlocksNewPairings) {
  startController();
  auto helper = makeSession("192.168.1.80");
  helper->isAuthorized = true;
  helper->isLimited = true;
  onMain([&] {
    EXPECT_FALSE(controller->pairingConflict());
    controller->accept(helper);
    auto conflict = controller->pairingConflict();
    ASSERT_TRUE(conflict);
    EXPECT_EQ(conflict->code, HostErrorCode::supportActive);
    EXPECT_EQ(conflict->message, "有遠端協助正在進行，請先結束後再配對新裝置");
  });
}

TEST_F(HostControllerIntakeTest, RevokingADeviceEndsItsSessions) {
  startController();
  const Bytes key(32, 6);
  onMain([&] { controller->trust(key, "Tablet", std::nullopt); });
  auto session = makeSession("192.168.1.90");
  session->setPeerKey(key);
  session->isAuthorized = true;
  auto bystander = makeSession("192.168.1.91");
  bystander->setPeerKey(Bytes(32, 1));
  onMain([&] {
    controller->accept(session);
    controller->accept(bystander);
    controller->revoke(controller->trustedClients().front());
  });
  EXPECT_EQ(session->disconnects(), 1);
  EXPECT_EQ(bystander->disconnects(), 0);
}

}  // namespace
}  // namespace ombrel
