#include "tools/ombrel-client/host_pins.h"

#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "OmbrelKit/device_identity.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

TEST(HostPinsTest, DefaultPathIgnoresARelativeConfigHome) {
  test::TempHome home;
  const std::filesystem::path fallback = home.root() / "home" / ".config";
  const std::pair<std::optional<std::string>, std::filesystem::path> cases[] = {
      {home.configHome().string(), home.configHome()},
      {std::nullopt, fallback},
      {"", fallback},
      {"relative/config", fallback},
  };
  for (const auto& [value, base] : cases) {
    home.set("XDG_CONFIG_HOME", value);
    EXPECT_EQ(HostPins::defaultPath(), base / "Ombrel Remote Client" / "pins.json")
        << value.value_or("(unset)");
  }
}

// Two clients pinning at once (two windows of the reference client) each save their own list;
// whichever lands last must be a whole, readable list, and neither save may fail.
TEST(HostPinsTest, ClientsSavingAtOnceNeverCorruptThePins) {
  test::TempHome home;
  const std::filesystem::path file = home.configHome() / "Ombrel Remote Client" / "pins.json";
  constexpr int kClients = 3;
  std::vector<pid_t> children;
  for (int c = 0; c < kClients; ++c) {
    HostPins pins(file);  // read before any client saves: each list is its own 40 pins
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        for (int i = 0; i < 40; ++i) {
          const Bytes key(32, static_cast<std::uint8_t>(c * 64 + i));
          pins.pin(key, "host" + std::to_string(c) + ":" + std::to_string(i));
        }
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
  }
  // The last save of some client: all its 40 pins, each matching its key.
  HostPins pins(file);
  ASSERT_EQ(pins.pins().size(), 40u);
  for (const auto& pin : pins.pins()) {
    EXPECT_EQ(pin.hostID, DeviceIdentity::deviceID(pin.publicKey));
  }
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::set<std::string>{"pins.json"});
}

}  // namespace
}  // namespace ombrel
