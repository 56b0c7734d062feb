#include "Ombrel_Remote_Host/platform/linux/linux_power_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "host/desktop_bus_fixture.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::DesktopBusFixture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Inhibitor {
  std::string what, who, why, mode;
  bool operator==(const Inhibitor&) const = default;
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

  LinuxPowerManager::Config config() const { return {.buses = buses()}; }
};

TEST_F(PowerManagerTest, KeepAwakeHoldsLogindIdleLockUntilReleased) {
  startLogind();
  LinuxPowerManager power(config());
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
    LinuxPowerManager power(config());
    ASSERT_NE(power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName),
              0u);
    ASSERT_NE(power.createAssertion(PowerAssertionType::systemSleep, sessionAssertionName), 0u);
    EXPECT_EQ(inhibitors().size(), 2u);
  }
  EXPECT_TRUE(test::waitUntil([&] { return inhibitors().empty(); }));
}

// The streaming session's assertion: display sleep through the screensaver service where one
// answers, else logind "idle"; limited sessions keep the machine up only while idle: logind
// "idle", never a lock that would also refuse the owner's own suspend.
TEST_F(PowerManagerTest, SessionAssertionFollowsTheSessionKind) {
  struct Case {
    const char* label;
    bool limited;
    bool screenSaver;
    std::vector<Inhibitor> expectedInhibitors;
    std::vector<std::string> expectedScreenSaverCalls;  // after release
  };
  const std::string why(sessionAssertionName);
  const Case cases[] = {
      {"ordinary, screensaver present", false, true, {}, {"Inhibit", "UnInhibit"}},
      {"ordinary, no screensaver", false, false, {{"idle", "Ombrel Remote", why, "block"}}, {}},
      {"limited", true, true, {{"idle", "Ombrel Remote", why, "block"}}, {}},
  };
  startLogind();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    screenSaver_.reset();
    if (c.screenSaver) startScreenSaver(false);
    LinuxPowerManager power(config());
    std::uint32_t id = power.createAssertion(sessionAssertionType(c.limited), sessionAssertionName);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(inhibitors(), c.expectedInhibitors);
    power.releaseAssertion(id);
    EXPECT_TRUE(test::waitUntil([&] { return inhibitors().empty(); }));
    if (c.screenSaver) {
      EXPECT_EQ(screenSaverCalls(), c.expectedScreenSaverCalls);
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
    LinuxPowerManager power({.buses = {c.systemBus, session_->address()}});
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
  LinuxPowerManager power(config());
  power.createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName);
  EXPECT_EQ(power.status(), "");
}

TEST_F(PowerManagerTest, ReconnectsAfterTheSystemBusRestarts) {
  startLogind();
  // As a real bus address: no server guid, so a restarted daemon on the same socket is accepted.
  std::string address = system_->address().substr(0, system_->address().find(",guid="));
  LinuxPowerManager power({.buses = {address, session_->address()}});
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
  auto now = std::chrono::steady_clock::time_point{};
  LinuxPowerManager power({.buses = buses(), .now = [&] { return now; }});
  power.declareUserActivity(trustedClientActivityName);
  power.declareUserActivity(remoteInputActivityName);
  now += 999ms;
  power.declareUserActivity(remoteInputActivityName);
  now += 1ms;
  power.declareUserActivity(remoteInputActivityName);
  // A call on the same connection: the declarations before it have been handled when it returns.
  ASSERT_NE(power.createAssertion(PowerAssertionType::displaySleep, sessionAssertionName), 0u);
  auto calls = screenSaverCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SimulateUserActivity"), 2);
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
