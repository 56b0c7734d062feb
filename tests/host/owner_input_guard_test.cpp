// OwnerInputGuard: its rules on an injected clock, the record every session shares with it, and
// clicks told apart on a real X server.
#include "host/x_test_server.h"
// GoogleTest and the X test helpers come before anything that includes Xlib's macros.

#include "Ombrel_Remote_Host/input/fake/fake_input_sink.h"
#include "Ombrel_Remote_Host/input/owner_input_guard.h"
#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "host/desktop_peers.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using Kind = InjectedEvent::Kind;
using Refusal = OwnerInputGuard::Refusal;

TEST(OwnerInputGuardTest, RemoteInputRefusesAnswersAndTypedLines) {
  // The answer comes at 10; the terminal's previous line was read at 1.
  struct Case {
    const char* what;
    std::vector<InjectedEvent> injected;
    std::optional<Refusal> answer;  // check(10)
    std::optional<Refusal> line;    // checkLine(1, 10)
  } cases[] = {
      {"nothing injected", {}, {}, {}},
      {"a move 0.4 s before",
       {{Kind::motion, 0, 9.6}},
       Refusal::remoteInputRecent,
       Refusal::remoteInputRecent},
      {"a move 0.6 s before", {{Kind::motion, 0, 9.4}}, {}, {}},
      {"a move after the answer",
       {{Kind::motion, 0, 10.2}},
       Refusal::remoteInputRecent,
       Refusal::remoteInputRecent},
      {"a key press while the line was typed",
       {{Kind::keyPress, 32, 5}},
       {},
       Refusal::remoteTypingInLine},
      {"a key press before the previous line", {{Kind::keyPress, 32, 0.5}}, {}, {}},
      {"a key release alone", {{Kind::keyRelease, 32, 5}}, {}, {}},
      {"a middle click (pastes)", {{Kind::buttonPress, 2, 5}}, {}, Refusal::remoteTypingInLine},
      {"a wheel turn",
       {{Kind::buttonPress, 5, 5, true}, {Kind::buttonRelease, 5, 5, true}},
       {},
       {}},
  };
  ManualClock clock;
  for (const Case& c : cases) {
    auto record = std::make_shared<InjectionRecord>();
    for (const auto& event : c.injected) record->add(event);
    OwnerInputGuard guard(record, clock);
    EXPECT_EQ(guard.check(10), c.answer) << c.what;
    EXPECT_EQ(guard.checkLine(1, 10), c.line) << c.what;
  }
}

TEST(OwnerInputGuardTest, RemoteInputStaysRemoteAfterTheClassifierMatchedIt) {
  ManualClock clock;
  auto record = std::make_shared<InjectionRecord>();
  OwnerInputGuard guard(record, clock);
  record->add({Kind::keyPress, 32, 10});
  record->add({Kind::keyRelease, 32, 10});
  ASSERT_TRUE(record->claim(Kind::keyRelease, 32, 10.01));
  ASSERT_TRUE(record->snapshot().empty());
  EXPECT_EQ(guard.check(10.1), Refusal::remoteInputRecent);
  EXPECT_EQ(guard.checkLine(5, 12), Refusal::remoteTypingInLine);
}

TEST(OwnerInputGuardTest, EverySessionsInjectorWritesTheRecordOfTheProcess) {
  auto first = InputServices::create({.sink = std::make_shared<FakeInputSink>()});
  auto second = InputServices::create({.sink = std::make_shared<FakeInputSink>()});
  EXPECT_EQ(first->record(), InjectionRecord::shared());
  EXPECT_EQ(second->record(), InjectionRecord::shared());
}

TEST(OwnerInputGuardTest, WithoutXInputClicksRestOnRecency) {
  ManualClock clock;
  clock.advance(100);
  auto record = std::make_shared<InjectionRecord>();
  OwnerInputGuard guard(record, clock);
  EXPECT_FALSE(guard.watchClicks(":ombrel-no-such-display"));
  EXPECT_FALSE(guard.watchingClicks());
  record->add({Kind::buttonPress, 1, clock.now()});
  EXPECT_EQ(guard.checkClick(), Refusal::remoteInputRecent);
  clock.advance(0.6);
  EXPECT_EQ(guard.checkClick(), std::nullopt);
}

class OwnerInputGuardOnXvfbTest : public xtest::InjectorOnXvfbTest {
 protected:
  void SetUp() override {
    InjectorOnXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    // The desktop is the test's Xvfb, even when the tests run in a Wayland session.
    home.set("WAYLAND_DISPLAY", std::nullopt);
    home.set("XDG_SESSION_TYPE", std::nullopt);
    guard = std::make_unique<OwnerInputGuard>(injector->record(), clock);
    ASSERT_TRUE(guard->watchClicks(server->display()));
  }
  void TearDown() override {
    guard.reset();
    InjectorOnXvfbTest::TearDown();
  }

  // A click of another XTest client, as the person at the computer makes with xdotool.
  void localClick() {
    test::ChildProcess xdotool({"xdotool", "click", "1"},
                               {.env = {{"DISPLAY", server->display()}}});
    ASSERT_EQ(xdotool.wait(std::chrono::seconds(20)), 0) << "xdotool is not installed";
  }

  test::TempHome home;
  std::unique_ptr<OwnerInputGuard> guard;
};

TEST_F(OwnerInputGuardOnXvfbTest, ARemoteClickIsRefusedHoweverLateThePromptAsks) {
  injector->moveTo(0.5, 0.5);
  injector->button(MouseButton::left, true);
  injector->button(MouseButton::left, false);
  sink->sync();
  EXPECT_EQ(guard->checkClick(), Refusal::remoteClick);
  clock.advance(5);
  EXPECT_EQ(guard->checkClick(), Refusal::remoteClick) << "the last press is still the remote one";
  localClick();
  EXPECT_EQ(guard->checkClick(), std::nullopt);
}

TEST_F(OwnerInputGuardOnXvfbTest, ALocalClickAmidRemoteInputWaitsForTheQuietPeriod) {
  localClick();
  injector->moveTo(0.25, 0.25);
  sink->sync();
  EXPECT_EQ(guard->checkClick(), Refusal::remoteInputRecent);
  clock.advance(0.6);
  EXPECT_EQ(guard->checkClick(), std::nullopt);
}

TEST_F(OwnerInputGuardOnXvfbTest, InAWaylandSessionClicksRestOnRecency) {
  const std::pair<const char*, const char*> cases[] = {
      {"WAYLAND_DISPLAY", "wayland-0"},
      {"XDG_SESSION_TYPE", "wayland"},
  };
  for (const auto& [variable, value] : cases) {
    SCOPED_TRACE(std::string(variable) + "=" + value);
    home.set(variable, value);
    // XWayland's clicks are not the desktop's: no watch, though the display opens.
    OwnerInputGuard waylandGuard(injector->record(), clock);
    EXPECT_FALSE(waylandGuard.watchClicks(server->display()));
    EXPECT_FALSE(waylandGuard.watchingClicks());
    home.set(variable, std::nullopt);
  }
}

}  // namespace
}  // namespace ombrel
