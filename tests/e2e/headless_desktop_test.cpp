// The host program on a desktop of its own (Xvfb): a paired client watches the stream and
// drives the pointer through the real ombrel-host.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "e2e/paired_desktop.h"

// Xlib's macros (None, Bool, ...) clash with gtest's names: it comes last.
#include <X11/Xlib.h>

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

  Display* display = XOpenDisplay(xvfb.display().c_str());
  ASSERT_NE(display, nullptr);
  Window root, child;
  int x = 0, y = 0, winX, winY;
  unsigned mask;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &winX, &winY, &mask);
  XCloseDisplay(display);
  EXPECT_NEAR(x, 320, 1);
  EXPECT_NEAR(y, 540, 1);
}

}  // namespace
}  // namespace ombrel
