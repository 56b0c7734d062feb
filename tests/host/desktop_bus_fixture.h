#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "host/desktop_peers.h"

namespace ombrel::test {

// Two private buses standing in for the system and the session bus, and the services a test
// starts on them: logind (python-dbusmock's template), an org.freedesktop.ScreenSaver object and
// an org.gnome.SessionManager object.
class DesktopBusFixture : public ::testing::Test {
 protected:
  static constexpr const char* logindName = "org.freedesktop.login1";
  static constexpr const char* logindPath = "/org/freedesktop/login1";
  static constexpr const char* screenSaverName = "org.freedesktop.ScreenSaver";
  static constexpr const char* screenSaverPath = "/org/freedesktop/ScreenSaver";
  static constexpr const char* gnomeSessionName = "org.gnome.SessionManager";
  static constexpr const char* gnomeSessionPath = "/org/gnome/SessionManager";
  static constexpr std::uint32_t gnomeInhibitCookie = 42;

  struct MockMethod {
    const char* name;
    const char* in;
    const char* out;
    const char* code;
  };
  // A method call a mock object saw: its name and its unsigned 32-bit arguments, in order.
  struct MockCall {
    std::string name;
    std::vector<std::uint32_t> uints;
    bool operator==(const MockCall&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const MockCall& call) {
      out << call.name << "(";
      for (std::uint32_t value : call.uints) out << " " << value;
      return out << " )";
    }
  };

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
    startSessionMock(screenSaver_, screenSaverName, screenSaverPath,
                     {
                         {"Inhibit", "ss", "u", "ret = 7"},
                         {"UnInhibit", "u", "", ""},
                         {"SimulateUserActivity", "", "", ""},
                         {"GetActive", "", "b", active ? "ret = True" : "ret = False"},
                         {"Lock", "", "", ""},
                     });
  }

  void startGnomeSession() {
    std::string inhibit = "ret = " + std::to_string(gnomeInhibitCookie);
    startSessionMock(gnomeSession_, gnomeSessionName, gnomeSessionPath,
                     {
                         {"Inhibit", "susu", "u", inhibit.c_str()},
                         {"Uninhibit", "u", "", ""},
                     });
  }

  // An object of its own name on the session bus, answering `methods`.
  void startSessionMock(std::optional<DBusMock>& mock, const char* name, const char* path,
                        const std::vector<MockMethod>& methods) {
    mock.emplace(std::vector<std::string>{name, path, name}, *session_, name, false);
    ASSERT_TRUE(mock->ready()) << name << " mock did not appear";
    for (const auto& m : methods) {
      ASSERT_TRUE(
          addMockMethod(session_->address(), name, path, name, m.name, m.in, m.out, m.code));
    }
  }

  std::vector<MockCall> gnomeSessionCalls() const {
    std::vector<MockCall> calls;
    auto reply = callOn(session_->address(), {gnomeSessionName, gnomeSessionPath,
                                              "org.freedesktop.DBus.Mock", "GetCalls"});
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(tsav)") < 0) return calls;
    while (sd_bus_message_enter_container(reply.get(), 'r', "tsav") > 0) {
      std::uint64_t time = 0;
      const char* name = nullptr;
      sd_bus_message_read(reply.get(), "ts", &time, &name);
      MockCall call{name ? name : "", {}};
      sd_bus_message_enter_container(reply.get(), 'a', "v");
      char type = 0;
      const char* contents = nullptr;
      while (sd_bus_message_peek_type(reply.get(), &type, &contents) > 0) {
        std::uint32_t value = 0;
        if (contents && std::string_view(contents) == "u" &&
            sd_bus_message_read(reply.get(), "v", "u", &value) > 0) {
          call.uints.push_back(value);
        } else {
          sd_bus_message_skip(reply.get(), "v");
        }
      }
      sd_bus_message_exit_container(reply.get());
      sd_bus_message_exit_container(reply.get());
      calls.push_back(std::move(call));
    }
    return calls;
  }

  std::vector<std::string> screenSaverCalls() const {
    return mockCalls(session_->address(), screenSaverName, screenSaverPath);
  }

  TempDir dir_;
  std::optional<PrivateBus> system_;
  std::optional<PrivateBus> session_;
  std::optional<DBusMock> logind_;
  std::optional<DBusMock> screenSaver_;
  std::optional<DBusMock> gnomeSession_;
};

}  // namespace ombrel::test
