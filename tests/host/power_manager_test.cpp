#include "Ombrel_Remote_Host/linux/dbus/linux_power_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
// Xlib's macros (None, Bool, Status) break GoogleTest: X comes after it.
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>
// clang-format on

#include <algorithm>

#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "host/desktop_bus_fixture.h"
#include "support/xvfb_server.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::DesktopBusFixture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Inhibitor {
  std::string what, who, why, mode;
  bool operator==(const Inhibitor&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Inhibitor& i) {
    return out << i.what << "/" << i.mode << " by " << i.who << ": " << i.why;
  }
};

class PowerManagerTest : public DesktopBusFixture {
 protected:
  std::vector<Inhibitor> inhibitors() const {
    std::vector<Inhibitor> list;
    auto reply =
        test::callOn(system_->address(),
                     {logindName, logindPath, "org.freedesktop.login1.Manager", "ListInhibitors"});
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(ssssuu)") < 0) return list;
    const char *what, *who, *why, *mode;
    std::uint32_t uid, pid;
    while (sd_bus_message_read(reply.get(), "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
      list.push_back({what, who, why, mode});
    }
    return list;
  }

  // The X display stays out of the bus tests: the environment's $DISPLAY may be anyone's.
  LinuxPowerManager::Config config() const { return {.buses = buses(), .xDisplay = ""}; }

  const std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
};

TEST_F(PowerManagerTest, KeepAwakeHoldsLogindIdleLockUntilReleased) {
  startLogind();
  LinuxPowerManager power(config(), clock_);
  std::uint32_t id =
      power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(power.status(), "");
  EXPECT_THAT(inhibitors(), ElementsAre(Inhibitor{"idle", "Ombrel Remote",
                                                  std::string(keepAwakeAssertionName), "block"}));

  power.releaseAssertion(id);
  EXPECT_TRUE(test::waitUntil([&] { return inhibitors().empty(); }))
      << "logind still lists the inhibitor after release";
  // A second release of the same id, or of 0, touches nothing.
  power.releaseAssertion(id);
  power.releaseAssertion(0);
}

TEST_F(PowerManagerTest, DestroyingTheManagerReleasesWhatItHolds) {
  startLogind();
  {
    LinuxPowerManager power(config(), clock_);
    ASSERT_NE(power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName),
              0u);
    ASSERT_NE(power.createAssertion(PowerAssertionType::systemSleep, sessionAssertionName), 0u);
    EXPECT_EQ(inhibitors().size(), 2u);
  }
  EXPECT_TRUE(test::waitUntil([&] { return inhibitors().empty(); }));
}

// The streaming session's assertion: display sleep through every desktop service that answers
// (GNOME's session manager with its idle flag, the screensaver service), else logind "idle";
// limited sessions keep the machine up only while idle: logind "idle", never a lock that would
// also refuse the owner's own suspend.
TEST_F(PowerManagerTest, SessionAssertionFollowsTheSessionKind) {
  struct Case {
    const char* label;
    bool limited;
    bool screenSaver;
    bool gnome;
    std::vector<Inhibitor> expectedInhibitors;
    std::vector<std::string> expectedScreenSaverCalls;  // after release
    std::vector<MockCall> expectedGnomeCalls;           // after release
  };
  const std::string why(sessionAssertionName);
  const Inhibitor idle{"idle", "Ombrel Remote", why, "block"};
  const std::vector<MockCall> gnomeIdleInhibit{{"Inhibit", {0, 8}},
                                               {"Uninhibit", {gnomeInhibitCookie}}};
  const Case cases[] = {
      {"ordinary, screensaver", false, true, false, {}, {"Inhibit", "UnInhibit"}, {}},
      {"ordinary, GNOME", false, false, true, {}, {}, gnomeIdleInhibit},
      {"ordinary, both", false, true, true, {}, {"Inhibit", "UnInhibit"}, gnomeIdleInhibit},
      {"ordinary, neither", false, false, false, {idle}, {}, {}},
      {"limited, both", true, true, true, {idle}, {}, {}},
      {"limited, neither", true, false, false, {idle}, {}, {}},
  };
  startLogind();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    screenSaver_.reset();
    gnomeSession_.reset();
    if (c.screenSaver) startScreenSaver(false);
    if (c.gnome) startGnomeSession();
    LinuxPowerManager power(config(), clock_);
    std::uint32_t id = power.createAssertion(sessionAssertionType(c.limited), sessionAssertionName);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(inhibitors(), c.expectedInhibitors);
    power.releaseAssertion(id);
    EXPECT_TRUE(test::waitUntil([&] { return inhibitors().empty(); }));
    if (c.screenSaver) {
      EXPECT_EQ(screenSaverCalls(), c.expectedScreenSaverCalls);
    }
    if (c.gnome) {
      EXPECT_EQ(gnomeSessionCalls(), c.expectedGnomeCalls);
    }
  }
}

TEST_F(PowerManagerTest, WithoutLogindNothingIsHeldAndTheStatusSaysWhy) {
  struct Case {
    const char* label;
    std::optional<std::string> systemBus;
  };
  const Case cases[] = {
      {"bus without logind", system_->address()},
      {"no system bus at all", "unix:path=" + (dir_.path() / "absent.socket").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LinuxPowerManager power({.buses = {c.systemBus, session_->address()}, .xDisplay = ""}, clock_);
    EXPECT_EQ(power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName),
              0u);
    EXPECT_EQ(power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName), 0u);
    EXPECT_EQ(power.status(),
              "無法保持喚醒：系統的 systemd-logind 沒有回應，電腦閒置時可能進入睡眠");
    power.declareUserActivity(remoteInputActivityName);
    power.releaseAssertion(0);
  }
  // Once logind answers, the next assertion is held and the status clears.
  startLogind();
  LinuxPowerManager power(config(), clock_);
  power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName);
  EXPECT_EQ(power.status(), "");
}

TEST_F(PowerManagerTest, ReconnectsAfterTheSystemBusRestarts) {
  startLogind();
  // As a real bus address: no server guid, so a restarted daemon on the same socket is accepted.
  std::string address = system_->address().substr(0, system_->address().find(",guid="));
  LinuxPowerManager power({.buses = {address, session_->address()}, .xDisplay = ""}, clock_);
  ASSERT_NE(power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName), 0u);

  logind_.reset();
  system_.reset();
  system_.emplace(dir_.path(), "system");
  ASSERT_TRUE(system_->running());
  startLogind();
  EXPECT_NE(power.createAssertion(PowerAssertionType::systemSleep, sessionAssertionName), 0u);
  EXPECT_EQ(power.status(), "");
  EXPECT_EQ(inhibitors().size(), 1u);
}

TEST_F(PowerManagerTest, UserActivityReachesTheScreenSaverAtMostOncePerInterval) {
  startScreenSaver(false);
  LinuxPowerManager power(config(), clock_);
  power.declareUserActivity(trustedClientActivityName);
  power.declareUserActivity(remoteInputActivityName);
  clock_->advance(0.999);
  power.declareUserActivity(remoteInputActivityName);
  clock_->advance(0.001);
  power.declareUserActivity(remoteInputActivityName);
  // A call on the same connection: the declarations before it have been handled when it returns.
  ASSERT_NE(power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName), 0u);
  auto calls = screenSaverCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SimulateUserActivity"), 2);
}

// A private Xvfb and a connection of the test's own that watches its screensaver and DPMS.
class PowerManagerXTest : public PowerManagerTest {
 protected:
  void SetUp() override {
    PowerManagerTest::SetUp();
    if (IsSkipped()) return;
    if (!test::programExists("Xvfb")) GTEST_SKIP() << "needs Xvfb (scripts/packages/x11.txt)";
    xvfb_.emplace("640x480x24");
    ASSERT_TRUE(xvfb_->ok()) << "Xvfb did not start";
    display_ = XOpenDisplay(xvfb_->display().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }

  LinuxPowerManager::Config xConfig() const {
    auto c = config();
    c.xDisplay = xvfb_->display();
    return c;
  }
  int screenSaverState() {
    XScreenSaverInfo info{};
    XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), &info);
    return info.state;
  }
  bool screenSaverComesOn(std::chrono::milliseconds within) {
    return test::waitUntil([&] { return screenSaverState() == ScreenSaverOn; }, within);
  }
  bool dpmsEnabled() {
    CARD16 level = 0;
    BOOL enabled = False;
    DPMSInfo(display_, &level, &enabled);
    return enabled;
  }

  std::optional<test::XvfbServer> xvfb_;
  ::Display* display_ = nullptr;
};

TEST_F(PowerManagerXTest, DisplayAssertionsKeepTheXScreenSaverOff) {
  startLogind();
  // A one-second idle timeout: without a display assertion the screen blanks almost at once.
  XSetScreenSaver(display_, 1, 0, DontPreferBlanking, DefaultExposures);
  XSync(display_, False);
  LinuxPowerManager power(xConfig(), clock_);
  // A limited session lets the display sleep.
  std::uint32_t limited =
      power.createAssertion(PowerAssertionType::systemSleep, sessionAssertionName);
  ASSERT_NE(limited, 0u);
  ASSERT_TRUE(screenSaverComesOn(10s)) << "the screensaver never came on by itself";

  std::uint32_t first =
      power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName);
  std::uint32_t second =
      power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(screenSaverState(), ScreenSaverOff) << "a blanked screen is woken for the viewer";
  // One display assertion still held: idle for three timeouts and the screen stays on.
  power.releaseAssertion(first);
  EXPECT_FALSE(screenSaverComesOn(3s));

  power.releaseAssertion(second);
  EXPECT_TRUE(screenSaverComesOn(10s)) << "the screensaver stayed suspended after release";
  power.releaseAssertion(limited);
}

// Xlib's default answer to a connection that broke is to end the process.
TEST_F(PowerManagerXTest, AnXServerThatWentAwayEndsNothing) {
  startLogind();
  LinuxPowerManager power(xConfig(), clock_);
  std::uint32_t before =
      power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName);
  ASSERT_NE(before, 0u);
  XCloseDisplay(display_);
  display_ = nullptr;
  xvfb_.reset();

  // The X part is gone; logind still holds the machine up.
  std::uint32_t after =
      power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName);
  EXPECT_NE(after, 0u);
  power.releaseAssertion(before);
  power.releaseAssertion(after);
  EXPECT_TRUE(test::waitUntil([&] { return inhibitors().empty(); }));
}

TEST_F(PowerManagerXTest, DisplayAssertionTurnsDpmsOffAndRestoresItsState) {
  int eventBase = 0;
  int errorBase = 0;
  if (!DPMSQueryExtension(display_, &eventBase, &errorBase) || !DPMSCapable(display_)) {
    GTEST_SKIP() << "this X server has no DPMS; the screensaver test covers what remains";
  }
  for (bool before : {true, false}) {
    SCOPED_TRACE(before ? "DPMS was on" : "DPMS was off");
    before ? DPMSEnable(display_) : DPMSDisable(display_);
    XSync(display_, False);
    LinuxPowerManager power(xConfig(), clock_);
    std::uint32_t id =
        power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName);
    ASSERT_NE(id, 0u);
    EXPECT_FALSE(dpmsEnabled());
    power.releaseAssertion(id);
    EXPECT_EQ(dpmsEnabled(), before);
  }
}

TEST(FakePowerManagerTest, RecordsAssertionsAndScriptsUnavailability) {
  FakePowerManager power;
  std::uint32_t id = power.createAssertion(PowerAssertionType::systemSleep, sessionAssertionName);
  ASSERT_EQ(power.held().size(), 1u);
  EXPECT_EQ(power.held().at(id).type, PowerAssertionType::systemSleep);
  power.releaseAssertion(id);
  EXPECT_THAT(power.held(), IsEmpty());
  power.setAvailable(false);
  EXPECT_EQ(power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName), 0u);
  EXPECT_NE(power.status(), "");
}

}  // namespace
}  // namespace ombrel
