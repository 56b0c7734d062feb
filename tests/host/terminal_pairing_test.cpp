#include "Ombrel_Remote_Host/headless/terminal_pairing.h"

#include <gtest/gtest.h>

#include <sstream>

namespace ombrel {
namespace {

using Choice = TerminalPairing::Choice;

class TerminalPairingTest : public ::testing::Test {
 protected:
  ManualClock clock;
  std::ostringstream out;
  TerminalPairing pairing{out, clock};

  static TerminalPairing::Card card(std::string id, std::optional<double> grant = {}) {
    return {
        .sessionID = id, .deviceName = "Anna 的 iPad", .code = "123 456", .grantSeconds = grant};
  }
};

TEST_F(TerminalPairingTest, CardShowsNameCodeWarningsAndChoices) {
  pairing.show(card("a"));
  std::string text = out.str();
  for (const char* expected :
       {"Anna 的 iPad", "確認裝置上顯示的數字和這裡相同", "123 456",
        "數字不同就按拒絕，可能有人試圖冒充。", "允許後只給 2 小時，時間到自動斷線並鎖定這台電腦。",
        "這是我自己的裝置（之後可以直接連線）", "允許後這台裝置之後可以直接連線。",
        "銀行、政府機關、客服人員都不會在電話裡要求你按「允許」。"
        "如果是陌生人要你允許，請按「拒絕」。",
        "請先核對數字…"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(text.find("Mac"), std::string::npos);

  std::string assistance = TerminalPairing::render(card("b", 5400));
  EXPECT_NE(
      assistance.find("限時遠端協助：允許後對方有 90 分鐘 可以操作，時間到自動斷線並收回權限。"
                      "你可以隨時延長或立即結束。"),
      std::string::npos);
  EXPECT_EQ(assistance.find("這是我自己的裝置"), std::string::npos);
}

TEST_F(TerminalPairingTest, AnswersBeforeArmingAreRefusedAndAskedAgain) {
  pairing.show(card("a"));
  clock.advance(2.9);
  out.str("");
  EXPECT_FALSE(pairing.answer("y"));
  EXPECT_NE(out.str().find("請先核對數字…"), std::string::npos);
  EXPECT_FALSE(pairing.empty());
  clock.advance(0.1);
  auto decision = pairing.answer("y\n");
  ASSERT_TRUE(decision);
  EXPECT_EQ(decision->sessionID, "a");
  EXPECT_EQ(decision->choice, Choice::allow);
  EXPECT_TRUE(pairing.empty());
  EXPECT_FALSE(pairing.answer("y"));
}

TEST_F(TerminalPairingTest, LinesMapToChoicesOldestCardFirst) {
  struct Case {
    const char* line;
    std::optional<double> grant;
    Choice expected;
  } cases[] = {
      {"y", {}, Choice::allow},    {" Y ", {}, Choice::allow}, {"o", {}, Choice::allowOwnDevice},
      {"n", {}, Choice::deny},     {"", {}, Choice::deny},     {"yes", {}, Choice::deny},
      {"o", 300.0, Choice::allow},
  };
  int n = 0;
  for (const auto& c : cases) pairing.show(card(std::to_string(n++), c.grant));
  pairing.show(card("0"));  // already shown: not queued twice
  clock.advance(3);
  n = 0;
  for (const auto& c : cases) {
    auto decision = pairing.answer(c.line);
    ASSERT_TRUE(decision) << c.line;
    EXPECT_EQ(decision->sessionID, std::to_string(n++));
    EXPECT_EQ(decision->choice, c.expected) << c.line;
  }
  EXPECT_TRUE(pairing.empty());
}

TEST_F(TerminalPairingTest, WithdrawnCardIsNotAnswered) {
  pairing.show(card("a"));
  pairing.show(card("b"));
  clock.advance(3);
  pairing.withdraw("a");
  auto decision = pairing.answer("n");
  ASSERT_TRUE(decision);
  EXPECT_EQ(decision->sessionID, "b");
}

// The terminal on the desktop a remote user drives: the injectors' record feeds the guard.
class GuardedTerminalPairingTest : public TerminalPairingTest {
 protected:
  GuardedTerminalPairingTest() { clock.advance(100); }

  void remoteKey(unsigned keycode) {
    record->add({InjectedEvent::Kind::keyPress, keycode, clock.now()});
    record->add({InjectedEvent::Kind::keyRelease, keycode, clock.now()});
  }
  bool told(OwnerInputGuard::Refusal refusal) const {
    return out.str().find(OwnerInputGuard::text(refusal)) != std::string::npos;
  }

  std::shared_ptr<InjectionRecord> record = std::make_shared<InjectionRecord>();
  OwnerInputGuard guard{record, clock};
  TerminalPairing guarded{out, clock, &guard};
};

TEST_F(GuardedTerminalPairingTest, ALineTypedRemotelyIsRefusedAndTheCardWaitsForTheOwner) {
  guarded.show(card("a"));
  clock.advance(3);
  remoteKey(32);  // o
  remoteKey(36);  // Return
  const double readAt = clock.now();
  clock.advance(0.7);  // the main queue was busy: the line is judged by when it was read
  EXPECT_FALSE(guarded.answer("o", readAt));
  EXPECT_TRUE(told(OwnerInputGuard::Refusal::remoteInputRecent)) << out.str();
  EXPECT_FALSE(guarded.empty());
  auto decision = guarded.answer("o");
  ASSERT_TRUE(decision) << out.str();
  EXPECT_EQ(decision->choice, Choice::allowOwnDevice);
}

TEST_F(GuardedTerminalPairingTest, RemoteKeysLeftWaitingForALocalEnterAreRefused) {
  guarded.answer("");  // an earlier line, before any card
  clock.advance(1);
  remoteKey(32);  // o, and no Return
  clock.advance(1);
  guarded.show(card("a"));
  clock.advance(3);
  EXPECT_FALSE(guarded.answer("o"));  // the owner pressed Enter
  EXPECT_TRUE(told(OwnerInputGuard::Refusal::remoteTypingInLine)) << out.str();
  auto decision = guarded.answer("y");
  ASSERT_TRUE(decision) << out.str();
  EXPECT_EQ(decision->choice, Choice::allow);
}

TEST_F(GuardedTerminalPairingTest, ADenialIsTakenWhoeverTypedIt) {
  guarded.show(card("a"));
  clock.advance(3);
  remoteKey(57);  // n
  remoteKey(36);  // Return
  auto decision = guarded.answer("n");
  ASSERT_TRUE(decision) << out.str();
  EXPECT_EQ(decision->choice, Choice::deny);
}

TEST(TerminalPairingDurationTest, Wording) {
  EXPECT_EQ(TerminalPairing::duration(7200), "2 小時");
  EXPECT_EQ(TerminalPairing::duration(5400), "90 分鐘");
  EXPECT_EQ(TerminalPairing::duration(300), "5 分鐘");
  EXPECT_EQ(TerminalPairing::duration(86400), "24 小時");
}

}  // namespace
}  // namespace ombrel
