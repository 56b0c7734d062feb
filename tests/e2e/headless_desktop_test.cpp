// The host program on a desktop of its own (Xvfb): a paired client watches the stream and
// drives the pointer through the real ombrel-host.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "e2e/host_process.h"
#include "support/temp_home.h"
#include "support/xvfb_server.h"

#include "support/x_pointer.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

class HeadlessDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << "Xvfb did not start";
    host.emplace(home.root() / "host",
                 std::map<std::string, std::string>{{"DISPLAY", xvfb.display()}});
    ASSERT_NE(host->port(), 0);
    test::ClientRun pairing(home.root() / "owner", host->port(), {"--pair", "--name", "Owner"});
    ASSERT_TRUE(host->waitFor("[Owner "));
    std::this_thread::sleep_for(3200ms);
    host->answer("o");
    ASSERT_EQ(pairing.finish(), 0);
  }

  test::ClientRun owner(std::vector<std::string> args) {
    return test::ClientRun(home.root() / "owner", host->port(), std::move(args));
  }

  test::XvfbServer xvfb{"1280x720x24"};
  test::TempHome home;
  std::optional<test::HostProcess> host;
};

TEST_F(HeadlessDesktopTest, PairedClientDecodesTheDesktopAndMovesThePointer) {
  const auto png = home.root() / "frame.png";
  auto watcher = owner({"--stream", "--codec", "h264", "--seconds", "2", "--png", png.string()});
  auto hello = watcher.waitFor("hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["authorized"], true);
  EXPECT_GE((*hello)["displays"].get<int>(), 1);
  auto summary = watcher.waitFor("streamSummary", 30s);
  ASSERT_TRUE(summary) << "no stream summary";
  EXPECT_GE((*summary)["decoded"].get<int>(), 1);
  EXPECT_EQ((*summary)["layoutErrors"], 0);
  auto picture = std::find_if(watcher.events().begin(), watcher.events().end(),
                              [](const auto& event) { return event["event"] == "png"; });
  ASSERT_NE(picture, watcher.events().end());
  EXPECT_EQ((*picture)["width"], 1280);
  EXPECT_EQ((*picture)["height"], 720);
  EXPECT_TRUE(std::filesystem::file_size(png) > 0);
  EXPECT_EQ(watcher.finish(), 0);

  const auto script = home.root() / "move.txt";
  std::ofstream(script) << "move 0.25 0.75\n";
  auto driver = owner({"--input", script.string(), "--linger", "0.5"});
  ASSERT_TRUE(driver.waitFor("inputSent"));
  EXPECT_EQ(driver.finish(), 0);

  auto pointer = test::pointerPosition(xvfb.display());
  ASSERT_TRUE(pointer);
  EXPECT_NEAR(pointer->first, 320, 1);
  EXPECT_NEAR(pointer->second, 540, 1);
}

}  // namespace
}  // namespace ombrel
