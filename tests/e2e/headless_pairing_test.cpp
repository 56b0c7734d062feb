// The host program and the reference client, end to end: pairing cards answered on the host's
// standard input, the owner's three answers, refusals and the unpaired message limit.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/host_process.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::ClientRun;
using test::HostProcess;

class HeadlessPairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.emplace(home.root() / "host");
    ASSERT_NE(host->port(), 0) << "the host did not report its port";
  }

  std::unique_ptr<ClientRun> client(std::vector<std::string> args, std::string name = "client") {
    return std::make_unique<ClientRun>(home.root() / name, host->port(), std::move(args));
  }

  // Waits for the card's prompt, then for its arming, and answers.
  void answerCard(const std::string& deviceName, const std::string& answer) {
    ASSERT_TRUE(host->waitFor("[" + deviceName + " ")) << "no pairing card for " << deviceName;
    std::this_thread::sleep_for(3200ms);  // the card's arming runs on the host's real clock
    host->answer(answer);
  }

  test::TempHome home;
  std::optional<HostProcess> host;
};

TEST_F(HeadlessPairingTest, EarlyAnswerIsRefusedThenAllowedSessionIsAuthorized) {
  auto phone = client({"--pair", "--ping", "--name", "Test Phone"});
  auto sas = phone->waitFor("sas");
  ASSERT_TRUE(sas);
  auto prompt = host->waitFor("[Test Phone ");
  ASSERT_TRUE(prompt);
  EXPECT_NE(prompt->find((*sas)["sas"].get<std::string>()), std::string::npos)
      << "the card shows the code the client shows";

  host->answer("y");  // typed before the owner could compare the codes
  EXPECT_TRUE(host->waitFor("3 秒後才能回答"));
  EXPECT_FALSE(phone->waitFor("pairResult", 1500ms)) << "an unarmed card approved the device";
  std::this_thread::sleep_for(2000ms);
  host->answer("y");

  auto result = phone->waitFor("pairResult");
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["ok"], true);
  auto hello = phone->waitFor("hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["authorized"], true);
  EXPECT_TRUE(phone->waitFor("pong"));
  EXPECT_EQ(phone->finish(), 0);
  EXPECT_TRUE(host->waitFor("已允許。"));
}

TEST_F(HeadlessPairingTest, DenialClosesHalfASecondAfterTheRefusal) {
  auto phone = client({"--pair", "--name", "Stranger"});
  answerCard("Stranger", "n");
  auto result = phone->waitFor("pairResult");
  ASSERT_TRUE(result);
  const auto refusedAt = std::chrono::steady_clock::now();
  EXPECT_EQ((*result)["ok"], false);
  EXPECT_EQ((*result)["message"], "電腦端拒絕了這次連線");
  EXPECT_TRUE(!result->contains("code") || (*result)["code"].is_null())
      << "the owner's denial carries no refusal code";
  ASSERT_TRUE(phone->waitFor("closed"));
  const auto open = std::chrono::steady_clock::now() - refusedAt;
  EXPECT_GE(open, 300ms) << "the refusal must have time to reach the client";
  EXPECT_LE(open, 3s);
  EXPECT_EQ(phone->finish(), 4);
}

TEST_F(HeadlessPairingTest, OwnDeviceConnectsDirectlyLater) {
  auto laptop = client({"--pair", "--name", "My Laptop"}, "laptop");
  answerCard("My Laptop", "o");
  auto result = laptop->waitFor("pairResult");
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["ok"], true);
  EXPECT_EQ(laptop->finish(), 0);

  // Same identity, no pairing request: the host knows it.
  auto again = client({"--ping"}, "laptop");
  auto hello = again->waitFor("hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["authorized"], true);
  EXPECT_TRUE(again->waitFor("pong"));
  EXPECT_EQ(again->finish(), 0);

  // A stranger's identity still needs a card.
  auto other = client({"--linger", "0"}, "other");
  auto strangerHello = other->waitFor("hello");
  ASSERT_TRUE(strangerHello);
  EXPECT_EQ((*strangerHello)["authorized"], false);
}

TEST_F(HeadlessPairingTest, SecondRequestWhileACardWaitsIsBusyAndInvisibleNamesAreUnknown) {
  auto first = client({"--pair", "--name", "\u200B\u200D"}, "first");
  auto card = host->waitFor("==== 配對請求：");
  ASSERT_TRUE(card);
  EXPECT_NE(card->find("未知裝置"), std::string::npos) << *card;

  auto second = client({"--pair", "--name", "Second"}, "second");
  auto busy = second->waitFor("pairResult");
  ASSERT_TRUE(busy);
  EXPECT_EQ((*busy)["ok"], false);
  EXPECT_EQ((*busy)["code"], "pairing_busy");
  EXPECT_EQ(second->finish(), 4);
}

TEST_F(HeadlessPairingTest, OversizedMessageBeforePairingEndsTheSession) {
  auto big = client({"--send-raw", "30:20000", "--linger", "10"});
  ASSERT_TRUE(big->waitFor("sent"));
  auto closed = big->waitFor("closed", 5s);
  ASSERT_TRUE(closed) << "the host kept an unpaired session that sent 20,000 bytes";
  EXPECT_TRUE(host->waitFor("sessions: 0"));
}

TEST_F(HeadlessPairingTest, TerminationClosesSessionsAndExitsCleanly) {
  auto idle = client({"--linger", "60"});
  ASSERT_TRUE(idle->waitFor("hello"));
  host->process().signal(SIGTERM);
  EXPECT_TRUE(idle->waitFor("closed", 10s));
  EXPECT_TRUE(host->waitFor("stopped", 10s));
  EXPECT_EQ(host->process().wait(10s), 0);
}

}  // namespace
}  // namespace ombrel
