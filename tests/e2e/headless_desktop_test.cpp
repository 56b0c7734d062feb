// The host program on a desktop of its own (Xvfb): a paired client watches the stream, drives
// the pointer and asks the AI channel through the real ombrel-host.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "Ombrel_Remote_Host/screen/png_encoder.h"
#include "e2e/paired_desktop.h"
#include "host/accessibility_bus.h"

#include "support/x_pointer.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

using HeadlessDesktopTest = test::PairedDesktopTest;

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

TEST_F(HeadlessDesktopTest, AgentAsksForAScreenshotTheDisplaysAndTheTree) {
  const auto png = home.root() / "agent.png";
  auto shot = owner({"--ai", "screenshot", "--ai-max-size", "640", "--out", png.string()});
  auto answer = shot.waitFor("aiResponse", 30s);
  ASSERT_TRUE(answer) << "no answer";
  ASSERT_EQ((*answer)["ok"], true) << answer->dump();
  EXPECT_EQ((*answer)["width"], 640);
  EXPECT_EQ((*answer)["height"], 360);
  EXPECT_EQ((*answer)["pointWidth"], 1280);
  EXPECT_EQ((*answer)["pointHeight"], 720);
  EXPECT_EQ(shot.finish(), 0);
  std::ifstream file(png, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto picture = decodeRGBAPNG(bytes, 640 * 360);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 640);

  auto displays = owner({"--ai", "displays"});
  answer = displays.waitFor("aiResponse");
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["ok"], true);
  ASSERT_EQ((*answer)["displays"].size(), 1u);
  EXPECT_EQ((*answer)["displays"][0]["pixelWidth"], 1280);
  EXPECT_EQ(displays.finish(), 0);

  // The host runs without an accessibility bus here.
  auto tree = owner({"--ai", "tree"});
  answer = tree.waitFor("aiResponse");
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["ok"], false);
  EXPECT_EQ((*answer)["error"], "無法讀取介面（需要「輔助使用」權限）");
  EXPECT_EQ(tree.finish(), 1);
}

// The same desktop with an accessibility bus, on which a focused GTK window answers.
class AgentTreeTest : public HeadlessDesktopTest {
 protected:
  void SetUp() override {
    if (!test::accessibilityBusInstalled()) GTEST_SKIP() << "at-spi2-core is not installed";
    if (std::system((test::systemPython() +
                     " -c \"import gi; gi.require_version('Gtk', '3.0')\" 2>/dev/null")
                        .c_str()) != 0) {
      GTEST_SKIP() << "python3-gi and gir1.2-gtk-3.0 are not installed";
    }
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon could not start a session bus";
    // The host and the window find the test's accessibility bus through its session bus.
    for (const char* name : {"AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "GTK_A11Y"}) unsetenv(name);
    HeadlessDesktopTest::SetUp();
  }
  std::map<std::string, std::string> hostEnv() override {
    return {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
  }

  test::SessionBus bus;
};

TEST_F(AgentTreeTest, AgentReadsTheFocusedWindowsTree) {
  constexpr const char* script = R"(
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import GLib, Gdk, Gtk
GLib.set_prgname('ombrel-agent-probe')
window = Gtk.Window(title='Agent Probe')
window.add(Gtk.Button(label='OK'))
window.connect('map-event', lambda *_: window.get_window().focus(Gdk.CURRENT_TIME))
window.connect('notify::is-active', lambda *_: window.is_active() and print('ready', flush=True))
window.show_all()
Gtk.main()
)";
  test::ChildProcess window({test::systemPython(), "-c", script},
                            {.env = {{"DISPLAY", xvfb.display()},
                                     {"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                                     {"HOME", bus.dir()},
                                     {"XDG_RUNTIME_DIR", bus.dir()},
                                     {"GSETTINGS_BACKEND", "memory"}},
                             .captureStdout = true});
  ASSERT_EQ(window.readLine(60s), "ready") << "the GTK window did not come up focused";

  auto tree = owner({"--ai", "tree"});
  auto answer = tree.waitFor("aiResponse", 60s);
  ASSERT_TRUE(answer);
  ASSERT_EQ((*answer)["ok"], true) << answer->dump();
  EXPECT_EQ((*answer)["app"], "ombrel-agent-probe");
  const auto& root = (*answer)["tree"];
  ASSERT_TRUE(root.contains("children")) << root.dump();
  EXPECT_EQ(root["children"][0]["role"], "Window");
  EXPECT_EQ(root["children"][0]["title"], "Agent Probe");
  EXPECT_EQ(tree.finish(), 0);
}

}  // namespace
}  // namespace ombrel
