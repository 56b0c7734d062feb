#include "Ombrel_Remote_Host/session/host_session.h"

#include <gtest/gtest.h>

#include <future>

#include "CorvaneKit/fake/fake_byte_transport.h"
#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "Ombrel_Remote_Host/session/session_rules.h"
#include "base/log.h"
#include "host/fake_host_session_delegate.h"
#include "support/loopback.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

using Role = NVConnection::Role;
using test::FakeHostSessionDelegate;

struct Message {
  MessageType type;
  Bytes body;
};

// The client's end: a real NVConnection over loopback TCP that the test drives.
struct Client {
  std::shared_ptr<NVConnection> conn;
  DeviceIdentity identity;
  std::shared_ptr<test::Mailbox<Message>> messages = std::make_shared<test::Mailbox<Message>>();
  std::shared_ptr<test::Mailbox<bool>> ready = std::make_shared<test::Mailbox<bool>>();
  std::shared_ptr<test::Mailbox<std::optional<NVError>>> closed =
      std::make_shared<test::Mailbox<std::optional<NVError>>>();

  Message next(MessageType type) {
    for (;;) {
      auto m = messages->take();
      if (!m) {
        ADD_FAILURE() << "no message of type " << int(rawValue(type));
        return {type, {}};
      }
      if (m->type == type) return *m;
    }
  }
  template <typename T>
  T nextJSON(MessageType type) {
    return NVJSON::decode<T>(next(type).body);
  }
  HostHello hello(std::string name = "Anna 的 iPhone") {
    conn->sendJSON(MessageType::clientHello,
                   ClientHello{.deviceName = name, .model = "iPhone", .protocolVersion = 2});
    return nextJSON<HostHello>(MessageType::hostHello);
  }
  void pair(std::optional<std::int64_t> minutes = {}, std::string name = "Anna 的 iPhone") {
    conn->sendJSON(MessageType::pairRequest,
                   PairRequest{.deviceName = name, .model = "iPhone", .grantMinutes = minutes});
  }
  // A ping answered proves everything sent before it was handled.
  bool roundTrip() {
    Bytes body = NVJSON::encode(PingMessage{.t = 1});
    conn->send(MessageType::ping, body);
    auto m = next(MessageType::pong);
    return m.body == body;
  }
  bool isClosed(std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    return closed->take(wait).has_value();
  }
};

class HostSessionTest : public ::testing::Test {
 protected:
  HostSessionTest() {
    log::setSink([this](std::string_view line) {
      std::lock_guard guard(logLock);
      logLines.emplace_back(line);
    });
  }
  ~HostSessionTest() override {
    for (auto& c : clients) c.conn->close();
    for (auto& s : sessions) s->disconnect();
    for (auto& s : sessions) s->conn()->queue()->sync([] {});
    runtime.mainQueue()->sync([] {});
    log::setSink({});
  }

  // Connects a client; the host side becomes a started HostSession with `remoteIP`.
  Client& connect(std::string remoteIP = "192.168.1.20", std::optional<Bytes> expectedKey = {},
                  std::uint8_t keyByte = 0x11) {
    test::LoopbackListener listener(runtime.context());
    Client client{.identity = DeviceIdentity(Bytes(32, keyByte))};
    client.conn = NVConnection::create(TCPTransport::connect("127.0.0.1", listener.port()),
                                       Role::client, client.identity, std::nullopt, runtime);
    client.conn->onMessage = [box = client.messages](MessageType type, Bytes body) {
      box->put({type, std::move(body)});
    };
    client.conn->onReady = [box = client.ready] { box->put(true); };
    client.conn->onClose = [box = client.closed](std::optional<NVError> e) { box->put(e); };
    client.conn->start();
    auto hostConn =
        NVConnection::create(listener.accept(), Role::host, host.identity(), std::nullopt, runtime);
    auto session = HostSession::create(hostConn, remoteIP.empty() ? "中繼" : "直連", host,
                                       std::move(expectedKey));
    session->setRemoteIP(remoteIP);
    session->onEnded = [this](const std::shared_ptr<HostSession>& s) { ended.put(s->id()); };
    for (auto type : {MessageType::startStream, MessageType::input, MessageType::videoReceipt,
                      MessageType::clipboard, MessageType::clipboardImage, MessageType::linkSignal,
                      MessageType::vpnActivate, MessageType::vpnEndpoint}) {
      session->setHandler(type, [this, type](HostSession&, ByteView body) {
        handled.put({type, Bytes(body.begin(), body.end())});
      });
    }
    session->start();
    EXPECT_TRUE(client.ready->take());
    sessions.push_back(session);
    clients.push_back(std::move(client));
    return clients.back();
  }

  // The whole pairing up to the owner's prompt.
  FakeHostSessionDelegate::Approval requestPairing(Client& client,
                                                   std::optional<std::int64_t> minutes) {
    client.hello();
    client.pair(minutes);
    auto approval = host.approvals.take();
    EXPECT_TRUE(approval);
    return approval ? *approval : FakeHostSessionDelegate::Approval{};
  }

  bool logged(std::string_view text) {
    std::lock_guard guard(logLock);
    for (auto& line : logLines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Runtime runtime{Runtime::Options{.clock = clock}};
  FakeHostSessionDelegate host{runtime};
  std::deque<Client> clients;
  std::vector<std::shared_ptr<HostSession>> sessions;
  test::Mailbox<std::string> ended;
  test::Mailbox<Message> handled;
  std::mutex logLock;
  std::vector<std::string> logLines;
};

TEST_F(HostSessionTest, UnauthorizedHelloHasNoDisplaysCapabilitiesOrAddresses) {
  auto& client = connect();
  auto hello = client.hello("\u200B\u200C\u200D");
  EXPECT_EQ(hello.name, "測試電腦");
  EXPECT_EQ(hello.hostID, host.identity().hostID());
  EXPECT_EQ(hello.os, SessionRules::osName());
  EXPECT_EQ(hello.os.rfind("Linux ", 0), 0u);
  EXPECT_FALSE(hello.authorized);
  EXPECT_TRUE(hello.displays.empty());
  EXPECT_TRUE(hello.capabilities.empty());
  EXPECT_FALSE(hello.addresses);
  EXPECT_FALSE(hello.macAddresses);
  EXPECT_EQ(hello.protocolVersion, 2);
  EXPECT_EQ(sessions[0]->clientName(), "未知裝置");
  EXPECT_FALSE(sessions[0]->authorized());
  EXPECT_TRUE(host.power.activities().empty());
}

TEST_F(HostSessionTest, TrustedClientHelloIsAuthorizedAndDeclaresActivity) {
  struct Case {
    bool limited;
    std::string remoteIP;
    bool ice;
  } cases[] = {{false, "192.168.1.20", false}, {false, "", true}, {true, "", false}};
  for (const auto& c : cases) {
    std::uint8_t keyByte = static_cast<std::uint8_t>(0x40 + clients.size());
    host.setTrusted(DeviceIdentity(Bytes(32, keyByte)).publicKey(), c.limited);
    auto& client = connect(c.remoteIP, {}, keyByte);
    auto hello = client.hello();
    EXPECT_TRUE(hello.authorized);
    ASSERT_EQ(hello.displays.size(), 1u);
    EXPECT_EQ(hello.capabilities, SessionRules::hostCapabilities(c.limited, c.remoteIP.empty(),
                                                                 host.icePreviewEnabled()));
    EXPECT_EQ(hello.capabilities.back() == "corvane-ice-v1", c.ice);
    EXPECT_EQ(hello.addresses, std::vector<std::string>{"192.168.1.5:47800"});
    EXPECT_EQ(sessions.back()->limited(), c.limited);
    EXPECT_EQ(sessions.back()->conn()->maxFrameSize(), HostSession::authorizedFrameLimit);
  }
  EXPECT_EQ(host.power.activities(),
            std::vector<std::string>(3, "Ombrel Remote trusted client connected"));
}

TEST_F(HostSessionTest, ApprovedPairingTrustsAuthorizesAndSendsHelloAgain) {
  auto& client = connect();
  auto approval = requestPairing(client, {});
  auto session = sessions[0];
  EXPECT_EQ(approval.session, session);
  EXPECT_EQ(approval.code, client.conn->sas());
  EXPECT_TRUE(session->pairPending());
  EXPECT_TRUE(session->pairRequested());
  EXPECT_EQ(session->grantSeconds(), std::nullopt);
  EXPECT_EQ(session->conn()->maxFrameSize(), HostSession::unauthorizedFrameLimit);

  // The controller turns an ordinary approval into a 2-hour grant before answering.
  runtime.mainQueue()->sync([&] { session->setGrantSeconds(HostSession::defaultGrantSeconds); });
  session->answerPairing(true);
  auto result = client.nextJSON<PairResult>(MessageType::pairResult);
  EXPECT_EQ(result, PairResult{.ok = true});
  auto hello = client.nextJSON<HostHello>(MessageType::hostHello);
  EXPECT_TRUE(hello.authorized);
  auto trust = host.trusts.take();
  ASSERT_TRUE(trust);
  EXPECT_EQ(trust->name, "Anna 的 iPhone");
  EXPECT_EQ(trust->seconds, 7200.0);
  EXPECT_TRUE(session->authorized());
  EXPECT_TRUE(session->limited());
  EXPECT_FALSE(session->pairPending());
  EXPECT_EQ(session->conn()->maxFrameSize(), HostSession::authorizedFrameLimit);
  // Limited: no virtual display or privacy.
  EXPECT_EQ(hello.capabilities, SessionRules::hostCapabilities(true, false, true));
}

TEST_F(HostSessionTest, OwnDeviceApprovalIsPermanentAndTheNextConnectionIsAuthorized) {
  auto& client = connect();
  auto approval = requestPairing(client, {});
  approval.session->answerPairing(true);
  EXPECT_TRUE(client.nextJSON<PairResult>(MessageType::pairResult).ok);
  auto trust = host.trusts.take();
  ASSERT_TRUE(trust);
  EXPECT_EQ(trust->seconds, std::nullopt);
  EXPECT_FALSE(sessions[0]->limited());

  auto& again = connect();
  auto hello = again.hello();
  EXPECT_TRUE(hello.authorized);
  EXPECT_FALSE(sessions[1]->limited());
}

TEST_F(HostSessionTest, DeniedPairingClosesHalfASecondAfterTheRefusal) {
  auto& client = connect();
  auto approval = requestPairing(client, {});
  approval.session->answerPairing(false);
  auto result = client.nextJSON<PairResult>(MessageType::pairResult);
  EXPECT_EQ(result, (PairResult{.ok = false, .message = "電腦端拒絕了這次連線"}));
  clock->advance(0.4);
  EXPECT_TRUE(client.roundTrip());
  clock->advance(0.1);
  EXPECT_TRUE(client.isClosed());
  EXPECT_EQ(ended.take(), sessions[0]->id());
  EXPECT_FALSE(host.trusts.take(std::chrono::milliseconds(0)));
  // A second answer after the first is ignored.
  sessions[0]->answerPairing(true);
  sessions[0]->conn()->queue()->sync([] {});
  runtime.mainQueue()->sync([] {});
  EXPECT_FALSE(host.trusts.take(std::chrono::milliseconds(0)));
}

TEST_F(HostSessionTest, GrantMinutesAreClamped) {
  struct Case {
    std::int64_t minutes;
    double seconds;
  } cases[] = {{2, 300}, {5000, 86400}, {30, 1800}};
  for (const auto& c : cases) {
    auto& client = connect("192.168.1.20", {}, static_cast<std::uint8_t>(0x50 + clients.size()));
    auto approval = requestPairing(client, c.minutes);
    EXPECT_EQ(approval.session->grantSeconds(), c.seconds);
    approval.session->answerPairing(true);
    auto trust = host.trusts.take();
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->seconds, c.seconds);
  }
}

TEST_F(HostSessionTest, RefusalsInOrder) {
  using Code = HostErrorCode;
  const std::string lanOnly =
      "第一次配對請在同一個網路、透過 Tailscale 或中繼進行；網際網路直連只給已配對的裝置使用";
  struct Case {
    const char* what;
    std::optional<FakeHostSessionDelegate::Refusal> conflict;
    bool pairingEnabled;
    std::string remoteIP;
    std::optional<Bytes> expectedKey;
    std::optional<PairResult> refusal;  // nothing: shown to the owner
  } cases[] = {
      {"busy",
       FakeHostSessionDelegate::Refusal{"電腦正在處理另一個配對請求", Code::pairingBusy},
       false,
       "8.8.8.8",
       {},
       PairResult{false, "電腦正在處理另一個配對請求", Code::pairingBusy}},
      {"support",
       FakeHostSessionDelegate::Refusal{"有遠端協助正在進行，請先結束後再配對新裝置",
                                        Code::supportActive},
       true,
       "192.168.1.2",
       {},
       PairResult{false, "有遠端協助正在進行，請先結束後再配對新裝置", Code::supportActive}},
      {"not accepting",
       {},
       false,
       "8.8.8.8",
       {},
       PairResult{false, "這台電腦目前不接受新裝置", Code::notAccepting}},
      {"public address", {}, true, "8.8.8.8", {}, PairResult{false, lanOnly, Code::lanOnly}},
      {"ice path",
       {},
       true,
       "ICE",
       DeviceIdentity(Bytes(32, 0x11)).publicKey(),
       PairResult{false, lanOnly, Code::lanOnly}},
      {"lan", {}, true, "192.168.7.9", {}, {}},
  };
  for (const auto& c : cases) {
    clock->advance(121);  // a fresh backoff window for each case
    host.conflict = c.conflict;
    host.pairingEnabled = c.pairingEnabled;
    auto& client = connect(c.remoteIP, c.expectedKey);
    client.hello();
    client.pair();
    if (c.refusal) {
      EXPECT_EQ(client.nextJSON<PairResult>(MessageType::pairResult), *c.refusal) << c.what;
      EXPECT_FALSE(sessions.back()->pairPending()) << c.what;
      EXPECT_TRUE(client.roundTrip()) << c.what << ": a refusal leaves the session open";
    } else {
      EXPECT_TRUE(host.approvals.take()) << c.what;
    }
  }
}

TEST_F(HostSessionTest, FourthPairRequestWithin120SecondsIsRateLimited) {
  // Relayed, carrier-grade NAT and private addresses all reach the owner.
  for (std::string ip : {"", "100.64.3.4", "192.168.0.8"}) {
    auto& client = connect(ip, {}, static_cast<std::uint8_t>(0x60 + clients.size()));
    client.hello();
    client.pair();
    EXPECT_TRUE(host.approvals.take()) << ip;
  }
  auto& fourth = connect("192.168.0.9", {}, 0x70);
  fourth.hello();
  fourth.pair();
  EXPECT_EQ(fourth.nextJSON<PairResult>(MessageType::pairResult),
            (PairResult{false, "配對請求太頻繁，請稍後再試", HostErrorCode::rateLimited}));
  clock->advance(120.5);
  auto& later = connect("192.168.0.10", {}, 0x71);
  later.hello();
  later.pair();
  EXPECT_TRUE(host.approvals.take());
}

TEST_F(HostSessionTest, APeerThatHangsUpAtOnceEndsTheSessionCleanly) {
  // The end of the stream reaches the connection queue while start() is still running on this
  // thread: everything closed() touches must be in place before the connection starts.
  for (int i = 0; i < 20; ++i) {
    auto transport = FakeByteTransport::create();
    transport->finishIncoming();
    auto conn = NVConnection::create(transport, NVConnection::Role::host, host.identity(),
                                     std::nullopt, runtime);
    auto session = HostSession::create(conn, "直連", host, std::nullopt);
    session->onEnded = [this](const std::shared_ptr<HostSession>& s) { ended.put(s->id()); };
    session->start();
    EXPECT_EQ(ended.take(), session->id());
  }
}

TEST_F(HostSessionTest, PairRequestBurstNeverWaitsForTheMainQueueAndMakesOnePrompt) {
  auto& client = connect();
  client.hello();
  // The main queue is busy with something long: the connection must keep serving meanwhile.
  std::promise<void> release;
  runtime.mainQueue()->post([released = release.get_future().share()] { released.wait(); });
  for (int i = 0; i < 50; ++i) client.pair();
  EXPECT_TRUE(client.roundTrip()) << "the connection queue waited for the main queue";
  release.set_value();

  EXPECT_TRUE(host.approvals.take());
  runtime.mainQueue()->sync([] {});
  EXPECT_TRUE(client.roundTrip());
  EXPECT_FALSE(host.approvals.take(std::chrono::milliseconds(0))) << "one burst, two prompts";
  EXPECT_TRUE(sessions[0]->pairPending());
  EXPECT_FALSE(client.messages->take(std::chrono::milliseconds(0))) << "no refusal either";
}

TEST_F(HostSessionTest, ConflictRefusalsLeaveTheBackoffAloneAndTheSessionFreeToAskAgain) {
  const FakeHostSessionDelegate::Refusal busy{"電腦正在處理另一個配對請求",
                                              HostErrorCode::pairingBusy};
  runtime.mainQueue()->sync([&] { host.conflict = busy; });
  auto& client = connect();
  client.hello();
  for (int i = 0; i < 4; ++i) {
    client.pair();
    EXPECT_EQ(client.nextJSON<PairResult>(MessageType::pairResult),
              (PairResult{false, busy.message, busy.code}));
  }
  runtime.mainQueue()->sync([&] { host.conflict.reset(); });
  // Four refusals, yet the backoff has seen none of them: this one reaches the owner.
  client.pair();
  EXPECT_TRUE(host.approvals.take());
}

TEST_F(HostSessionTest, LargeMessageEndsAnUnpairedSessionButReachesHandlersOnceAuthorized) {
  Bytes big(20'000, 'x');
  auto& stranger = connect();
  stranger.hello();
  stranger.conn->send(MessageType::input, big);
  EXPECT_TRUE(stranger.isClosed());  // over the unauthorized frame limit already
  EXPECT_TRUE(ended.take());
  // A message that fits the frame limit but not the message limit is the session's to refuse.
  auto& another = connect();
  another.hello();
  another.conn->send(MessageType::input, Bytes(16'385, 'x'));
  EXPECT_TRUE(another.isClosed());
  EXPECT_TRUE(logged("Ombrel Remote: closing unpaired connection after a 16385-byte message"));
  EXPECT_TRUE(ended.take());
  EXPECT_FALSE(handled.take(std::chrono::milliseconds(0)));

  host.setTrusted(DeviceIdentity(Bytes(32, 0x12)).publicKey(), false);
  auto& trusted = connect("192.168.1.20", {}, 0x12);
  trusted.hello();
  trusted.conn->send(MessageType::input, big);
  auto m = handled.take();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->type, MessageType::input);
  EXPECT_EQ(m->body, big);
}

TEST_F(HostSessionTest, HandlersRunOnlyForAuthorizedSessions) {
  auto& stranger = connect();
  stranger.hello();
  stranger.conn->send(MessageType::startStream, Bytes{'{', '}'});
  stranger.conn->send(MessageType::clipboard, Bytes{'{', '}'});  // no handler at all
  EXPECT_TRUE(stranger.roundTrip());
  EXPECT_FALSE(handled.take(std::chrono::milliseconds(0)));

  auto approval = requestPairing(stranger, {});
  approval.session->answerPairing(true);
  EXPECT_TRUE(stranger.nextJSON<PairResult>(MessageType::pairResult).ok);
  stranger.conn->send(MessageType::startStream, Bytes{'{', '}'});
  auto m = handled.take();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->type, MessageType::startStream);
}

TEST_F(HostSessionTest, PerTypeConditionsGuardTheHandlers) {
  struct Case {
    MessageType type;
    std::size_t size;
    bool limited;
    bool sync;
    bool handled;
  } cases[] = {
      {MessageType::videoReceipt, 32, false, true, true},
      {MessageType::videoReceipt, 33, false, true, false},
      {MessageType::clipboard, 10, false, true, true},
      {MessageType::clipboard, 10, false, false, false},
      {MessageType::clipboardImage, 16'777'216, false, true, true},
      {MessageType::clipboardImage, 16'777'217, false, true, false},
      {MessageType::linkSignal, 71'680, false, true, true},
      {MessageType::linkSignal, 71'681, false, true, false},
      {MessageType::linkSignal, 10, true, true, false},
      {MessageType::vpnActivate, 10, false, true, true},
      {MessageType::vpnActivate, 10, true, true, false},
      {MessageType::vpnEndpoint, 1'023, false, true, true},
      {MessageType::vpnEndpoint, 1'024, false, true, false},
  };
  host.setTrusted(DeviceIdentity(Bytes(32, 0x30)).publicKey(), false);
  host.setTrusted(DeviceIdentity(Bytes(32, 0x31)).publicKey(), true);
  auto& ordinary = connect("", {}, 0x30);
  ordinary.hello();
  auto& limited = connect("", {}, 0x31);
  limited.hello();
  for (const auto& c : cases) {
    host.sync = c.sync;
    auto& client = c.limited ? limited : ordinary;
    client.conn->send(c.type, Bytes(c.size, ' '));
    ASSERT_TRUE(client.roundTrip());
    auto m = handled.take(std::chrono::milliseconds(0));
    EXPECT_EQ(m.has_value(), c.handled) << int(rawValue(c.type)) << " " << c.size;
  }
  EXPECT_TRUE(logged("CORVANE_HOST_ACTIVATE authorized=1 limited=1 bytes=10"));
}

TEST_F(HostSessionTest, PingEchoesSmallBodiesOnly) {
  auto& client = connect();
  Bytes small = NVJSON::encode(PingMessage{.t = 12.5});
  client.conn->send(MessageType::ping, small);
  EXPECT_EQ(client.next(MessageType::pong).body, small);
  client.conn->send(MessageType::ping, Bytes(257, ' '));
  Bytes exact(256, ' ');
  client.conn->send(MessageType::ping, exact);
  EXPECT_EQ(client.next(MessageType::pong).body, exact);
}

TEST_F(HostSessionTest, AuthorizationDeadlineClosesAfter180Seconds) {
  auto& client = connect();
  client.hello();
  client.pair();
  EXPECT_TRUE(host.approvals.take());
  clock->advance(179.9);
  EXPECT_TRUE(client.roundTrip());
  clock->advance(0.1);
  EXPECT_TRUE(client.isClosed());
  EXPECT_EQ(ended.take(), sessions[0]->id());
  EXPECT_FALSE(sessions[0]->pairPending());

  host.setTrusted(DeviceIdentity(Bytes(32, 0x13)).publicKey(), false);
  auto& trusted = connect("192.168.1.20", {}, 0x13);
  trusted.hello();
  clock->advance(200);
  EXPECT_TRUE(trusted.roundTrip());
}

TEST_F(HostSessionTest, PrivacyRequestsAndTheirEnd) {
  host.setTrusted(DeviceIdentity(Bytes(32, 0x14)).publicKey(), false);
  auto& client = connect("192.168.1.20", {}, 0x14);
  client.hello();
  client.conn->sendJSON(MessageType::privacyMode, PrivacyMode{.enabled = true});
  EXPECT_TRUE(host.privacyRecomputes.take());
  EXPECT_TRUE(sessions[0]->privacyRequested());
  client.conn->close();
  EXPECT_TRUE(ended.take());
  EXPECT_TRUE(host.privacyRecomputes.take());
  EXPECT_FALSE(sessions[0]->privacyRequested());

  // A limited session may not turn the privacy screen on.
  host.setTrusted(DeviceIdentity(Bytes(32, 0x15)).publicKey(), true);
  auto& limited = connect("192.168.1.20", {}, 0x15);
  limited.hello();
  limited.conn->sendJSON(MessageType::privacyMode, PrivacyMode{.enabled = true});
  EXPECT_TRUE(limited.roundTrip());
  EXPECT_FALSE(sessions[1]->privacyRequested());
}

TEST_F(HostSessionTest, ExpectedKeyMismatchAndWithdrawnAccessClose) {
  auto& wrongKey = connect("ICE", DeviceIdentity(Bytes(32, 0x99)).publicKey());
  EXPECT_TRUE(wrongKey.isClosed());

  host.setTrusted(DeviceIdentity(Bytes(32, 0x16)).publicKey(), false);
  auto& client = connect("192.168.1.20", {}, 0x16);
  client.hello();
  host.access().update(CorvaneServices{.linkEnabled = true, .remoteEnabled = false});
  client.conn->send(MessageType::startStream, Bytes{'{', '}'});
  EXPECT_TRUE(client.isClosed());
  EXPECT_FALSE(handled.take(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace ombrel
