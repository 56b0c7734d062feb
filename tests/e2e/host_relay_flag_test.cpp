// The host program registers with the relays of its "relayAddress" setting, and `--relay LIST`
// takes their place for one run without touching the setting.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "e2e/host_process.h"
#include "support/scripted_relay.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::HostProcess;
using test::ScriptedRelay;

class HostRelayFlagTest : public ::testing::Test {
 protected:
  HostRelayFlagTest() {
    std::filesystem::create_directories(settingsFile.parent_path());
    std::ofstream(settingsFile) << nlohmann::json{{"relayAddress", stored.address()}}.dump();
  }

  // Runs the host with `extraArgs`, answers its registration on `relay` and returns the
  // registration line once the host shows it is registered.
  std::optional<nlohmann::json> registerOnce(const std::vector<std::string>& extraArgs,
                                             ScriptedRelay& relay) {
    std::vector<std::string> argv = {test::hostProgram(), "--headless", "--port", "0"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    test::ChildProcess host(argv, {.env = HostProcess::hermetic(root),
                                   .captureStdout = true,
                                   .quiet = false,
                                   .pipeStdin = true});
    std::vector<std::string> lines;
    const auto printedID = HostProcess::waitForLine(host, lines, "主機 ID：", 20s);
    auto [control, line] = relay.acceptRegistration();
    if (!printedID || !control.valid()) return std::nullopt;
    control.send("{\"type\":\"registered\"}\n");
    const std::string hostID = printedID->substr(printedID->find("：") + std::string("：").size());
    EXPECT_TRUE(HostProcess::waitForLine(host, lines, "relay: 已上線（ID " + hostID + "）", 20s));
    host.stop();
    auto registration = nlohmann::json::parse(line, nullptr, false);
    EXPECT_EQ(registration.value("id", ""), hostID);
    return registration;
  }

  test::TempHome home;
  const std::filesystem::path root = home.root() / "host";
  const std::filesystem::path settingsFile =
      root / "config" / "Ombrel Remote" / "com.tamsovern.ombrel.host.json";
  ScriptedRelay stored;
};

TEST_F(HostRelayFlagTest, TheFlagOverridesTheSettingForOneRun) {
  ScriptedRelay flagged;
  ASSERT_TRUE(registerOnce({"--relay", "  " + flagged.address() + " "}, flagged));
  EXPECT_FALSE(stored.accept(300ms).valid()) << "the stored relay was used despite --relay";
  std::ifstream file(settingsFile);
  EXPECT_EQ(nlohmann::json::parse(file, nullptr, false).value("relayAddress", ""),
            stored.address());

  // Without the flag the setting holds again.
  ASSERT_TRUE(registerOnce({}, stored));
}

}  // namespace
}  // namespace ombrel
