#pragma once

#include <gtest/gtest.h>

#include "host/desktop_peers.h"

namespace ombrel::test {

// Two private buses standing in for the system and the session bus, and the services a test
// starts on them: logind (python-dbusmock's template) and an org.freedesktop.ScreenSaver object.
class DesktopBusFixture : public ::testing::Test {
 protected:
  static constexpr const char* logindName = "org.freedesktop.login1";
  static constexpr const char* logindPath = "/org/freedesktop/login1";
  static constexpr const char* screenSaverName = "org.freedesktop.ScreenSaver";
  static constexpr const char* screenSaverPath = "/org/freedesktop/ScreenSaver";

  void SetUp() override {
    if (!dbusmockAvailable()) {
      GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (scripts/packages/desktop.txt)";
    }
    system_.emplace(dir_.path(), "system");
    session_.emplace(dir_.path(), "session");
    ASSERT_TRUE(system_->running() && session_->running()) << "dbus-daemon did not start";
  }

  DesktopBusConfig buses() const { return {system_->address(), session_->address()}; }

  void startLogind() {
    logind_.emplace(std::vector<std::string>{"--template", "logind"}, *system_, logindName, true);
    ASSERT_TRUE(logind_->ready()) << "dbusmock logind did not appear";
  }

  // Adds a login session `id` to the logind mock; returns its object path.
  std::string addSession(const std::string& id, bool lockedHint) {
    auto reply = callOn(
        system_->address(), {logindName, logindPath, "org.freedesktop.DBus.Mock", "AddSession"},
        [&](sd_bus_message* m) {
          return sd_bus_message_append(m, "ssusb", id.c_str(), "seat0", 1000u, "owner", 1);
        });
    const char* path = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "s", &path) < 0) return {};
    std::string sessionPath = path;
    callOn(system_->address(),
           {logindName, sessionPath.c_str(), "org.freedesktop.login1.Session", "SetLockedHint"},
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "b", lockedHint); });
    return sessionPath;
  }

  void startScreenSaver(bool active) {
    screenSaver_.emplace(
        std::vector<std::string>{screenSaverName, screenSaverPath, screenSaverName}, *session_,
        screenSaverName, false);
    ASSERT_TRUE(screenSaver_->ready()) << "dbusmock screensaver did not appear";
    struct Method {
      const char* name;
      const char* in;
      const char* out;
      const char* code;
    };
    const Method methods[] = {
        {"Inhibit", "ss", "u", "ret = 7"},
        {"UnInhibit", "u", "", ""},
        {"SimulateUserActivity", "", "", ""},
        {"GetActive", "", "b", active ? "ret = True" : "ret = False"},
        {"Lock", "", "", ""},
    };
    for (const auto& m : methods) {
      ASSERT_TRUE(addMockMethod(session_->address(), screenSaverName, screenSaverPath,
                                screenSaverName, m.name, m.in, m.out, m.code));
    }
  }

  std::vector<std::string> screenSaverCalls() const {
    return mockCalls(session_->address(), screenSaverName, screenSaverPath);
  }

  TempDir dir_;
  std::optional<PrivateBus> system_;
  std::optional<PrivateBus> session_;
  std::optional<DBusMock> logind_;
  std::optional<DBusMock> screenSaver_;
};

}  // namespace ombrel::test
