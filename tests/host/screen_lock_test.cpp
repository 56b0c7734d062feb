#include "Ombrel_Remote_Host/linux/dbus/linux_screen_lock.h"

#include <gtest/gtest.h>

#include <fstream>

#include "Ombrel_Remote_Host/platform/fake/fake_screen_lock.h"
#include "host/desktop_bus_fixture.h"

namespace ombrel {
namespace {

using test::DesktopBusFixture;

class ScreenLockTest : public DesktopBusFixture {
 protected:
  // A stand-in for xdg-screensaver that records its arguments and exits with `status`.
  std::string lockCommand(int status) {
    auto script = dir_.path() / ("xdg-screensaver-" + std::to_string(status));
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> '" << commandLog().string() << "'\nexit "
                          << status << "\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return script.string();
  }
  std::filesystem::path commandLog() const { return dir_.path() / "command.log"; }
  std::string commandCalls() const {
    std::ifstream in(commandLog());
    return {std::istreambuf_iterator<char>(in), {}};
  }

  LinuxScreenLock::Config config(std::string command = "xdg-screensaver-absent") const {
    return {.buses = buses(), .sessionID = "c1", .xdgScreensaverCommand = std::move(command)};
  }
};

TEST_F(ScreenLockTest, LockedWhenLogindOrTheScreenSaverSaysSo) {
  struct Case {
    const char* label;
    bool logind;
    std::optional<bool> lockedHint;   // absent: no session c1
    std::optional<bool> screenSaver;  // GetActive; absent: no service
    bool expected;
  };
  const Case cases[] = {
      {"LockedHint true", true, true, std::nullopt, true},
      {"LockedHint false, screensaver inactive", true, false, false, false},
      {"LockedHint false, screensaver active", true, false, true, true},
      {"no session, screensaver active", true, std::nullopt, true, true},
      {"no logind, screensaver inactive", false, std::nullopt, false, false},
      {"nothing answers", false, std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    logind_.reset();
    screenSaver_.reset();
    if (c.logind) startLogind();
    if (c.lockedHint) {
      ASSERT_FALSE(addSession("c1", *c.lockedHint).empty());
    }
    if (c.screenSaver) startScreenSaver(*c.screenSaver);
    LinuxScreenLock lock(config());
    EXPECT_EQ(lock.isLocked(), c.expected);
  }
}

TEST_F(ScreenLockTest, LockTakesTheFirstRouteThatAnswers) {
  struct Case {
    const char* label;
    bool logind;
    bool session;
    bool screenSaver;
    int commandStatus;
    ScreenLockMethod expected;
    std::vector<std::string> sessionCalls;      // on the logind session object
    std::vector<std::string> screenSaverCalls;  // on the screensaver object
    std::string commandCalls;
  };
  const Case cases[] = {
      {"logind session", true, true, true, 0, ScreenLockMethod::logind, {"Lock"}, {}, ""},
      {"logind without our session",
       true,
       false,
       true,
       0,
       ScreenLockMethod::screenSaver,
       {},
       {"Lock"},
       ""},
      {"screensaver only", false, false, true, 0, ScreenLockMethod::screenSaver, {}, {"Lock"}, ""},
      {"only the command",
       false,
       false,
       false,
       0,
       ScreenLockMethod::xdgScreensaver,
       {},
       {},
       "lock\n"},
      {"the command fails too", false, false, false, 1, ScreenLockMethod::none, {}, {}, "lock\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    logind_.reset();
    screenSaver_.reset();
    std::filesystem::remove(commandLog());
    std::string sessionPath;
    if (c.logind) startLogind();
    if (c.session) {
      sessionPath = addSession("c1", false);
      ASSERT_FALSE(sessionPath.empty());
    }
    if (c.screenSaver) startScreenSaver(false);

    LinuxScreenLock lock(config(lockCommand(c.commandStatus)));
    EXPECT_EQ(lock.lock(), c.expected);

    if (c.session) {
      auto calls = test::mockCalls(system_->address(), logindName, sessionPath.c_str());
      std::erase(calls, "SetLockedHint");
      EXPECT_EQ(calls, c.sessionCalls);
    }
    if (c.screenSaver) {
      EXPECT_EQ(screenSaverCalls(), c.screenSaverCalls);
    }
    EXPECT_EQ(commandCalls(), c.commandCalls);
  }
}

TEST_F(ScreenLockTest, MissingLockCommandIsNoRoute) {
  LinuxScreenLock lock(config((dir_.path() / "absent").string()));
  EXPECT_EQ(lock.lock(), ScreenLockMethod::none);
  EXPECT_FALSE(lock.isLocked());
}

TEST(FakeScreenLockTest, LockingMarksTheScreenLockedUnlessScriptedToFail) {
  FakeScreenLock locks;
  EXPECT_EQ(locks.lock(), ScreenLockMethod::logind);
  EXPECT_TRUE(locks.isLocked());
  FakeScreenLock refuses({.method = ScreenLockMethod::none});
  EXPECT_EQ(refuses.lock(), ScreenLockMethod::none);
  EXPECT_FALSE(refuses.isLocked());
  EXPECT_EQ(refuses.lockCount(), 1);
}

}  // namespace
}  // namespace ombrel
