// The reference client (tools/ombrel-client) run as a real process against a HostSession on
// loopback: what scripts and the end-to-end tests rely on in its output.

#include <gtest/gtest.h>
#include <stdio.h>

#include <future>
#include <nlohmann/json.hpp>

#include "OmbrelKit/nv_connection.h"
#include "host/fake_host_session_delegate.h"
#include "host/reference_client.h"
#include "support/loopback.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using test::FakeHostSessionDelegate;

class ReferenceClientSessionTest : public ::testing::Test {
 protected:
  ~ReferenceClientSessionTest() override {
    for (auto& s : sessions) s->disconnect();
    for (auto& s : sessions) s->conn()->queue()->sync([] {});
    runtime.mainQueue()->sync([] {});
  }

  // Runs the client with `arguments` against a session on a fresh loopback listener, lets
  // `host` serve it with `hostKey`, and returns its JSON events once it exits.
  std::vector<nlohmann::json> runClient(const std::string& arguments,
                                        std::function<void(HostSession&)> during = {},
                                        std::uint8_t hostKey = 0x22) {
    test::LoopbackListener listener(runtime.context());
    auto output = test::startReferenceClient(listener.port(), arguments);
    auto conn = NVConnection::create(listener.accept(), NVConnection::Role::host,
                                     DeviceIdentity(Bytes(32, hostKey)), std::nullopt, runtime);
    auto session = HostSession::create(conn, "直連", host);
    session->setRemoteIP("127.0.0.1");
    session->start();
    sessions.push_back(session);
    if (during) during(*session);
    return test::jsonLines(output.get());
  }

  static std::vector<std::string> names(const std::vector<nlohmann::json>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e["event"]);
    return out;
  }

  test::TempHome home;
  Runtime runtime;
  FakeHostSessionDelegate host{runtime};
  std::vector<std::shared_ptr<HostSession>> sessions;
};

TEST_F(ReferenceClientSessionTest, PairsPingsAndPinsTheHostKey) {
  auto answer = [&](HostSession&) {
    auto approval = host.approvals.take();
    ASSERT_TRUE(approval);
    approval->session->answerPairing(true);
  };
  auto events = runClient("--name 測試手機 --pair --ping", answer);
  ASSERT_EQ(names(events), (std::vector<std::string>{"sas", "hello", "pairResult", "pinned",
                                                     "hello", "pong", "closed"}));
  EXPECT_EQ(events[0]["hostID"], DeviceIdentity(Bytes(32, 0x22)).hostID());
  EXPECT_EQ(events[0]["sas"].get<std::string>().size(), 7u);
  EXPECT_FALSE(events[1]["authorized"]);
  EXPECT_TRUE(events[2]["ok"]);
  EXPECT_TRUE(events[4]["authorized"]);
  EXPECT_TRUE(events[6]["error"].is_null());
  auto trust = host.trusts.take();
  ASSERT_TRUE(trust);
  EXPECT_EQ(trust->name, "測試手機");

  // The paired host ID now answering with another key is refused by the client.
  std::string id = events[0]["hostID"];
  auto mismatch = runClient("--ping --host-id '" + id + "'", {}, 0x23);
  EXPECT_EQ(names(mismatch), (std::vector<std::string>{"sas", "keyMismatch", "closed"}));
}

TEST_F(ReferenceClientSessionTest, RefusalAndOversizedMessage) {
  host.pairingEnabled = false;
  auto refused = runClient("--pair");
  ASSERT_EQ(names(refused), (std::vector<std::string>{"sas", "hello", "pairResult", "closed"}));
  EXPECT_EQ(refused[2]["code"], "not_accepting");
  EXPECT_EQ(refused[2]["message"], "這台電腦目前不接受新裝置");

  auto big = runClient("--send-raw 30:20000 --linger 10");
  ASSERT_EQ(names(big), (std::vector<std::string>{"sas", "hello", "sent", "closed"}));
}

}  // namespace
}  // namespace ombrel
