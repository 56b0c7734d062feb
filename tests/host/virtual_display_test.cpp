#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>

#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "Ombrel_Remote_Host/screen/fake/fake_display_configuration.h"
#include "Ombrel_Remote_Host/screen/virtual_display.h"
#include "base/clock.h"
#include "base/runtime.h"
#include "host/x11_test_client.h"

namespace ombrel {
namespace {

using Calls = std::vector<std::string>;

// A clock that only moves when the display sleeps, and a main queue the test drains by hand.
// It starts away from zero, so a deadline taken as absolute time shows.
struct ScriptedTime {
  ScriptedTime() { clock->advance(100.0); }
  double now() const { return clock->now(); }

  const std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::vector<double> sleeps;
  std::vector<std::pair<double, std::function<void()>>> scheduled;

  VirtualDisplayTiming timing() {
    return {
        .clock = clock,
        .sleep =
            [this](double s) {
              sleeps.push_back(s);
              clock->advance(s);
            },
        .schedule = [this](double delay,
                           std::function<void()> work) { scheduled.emplace_back(delay, work); }};
  }
  void runScheduled() {
    for (auto& [delay, work] : std::exchange(scheduled, {})) work();
  }
};

std::uint32_t mainDisplay(DisplayConfiguration& configuration) {
  for (auto& d : configuration.displays()) {
    if (d.isMain) return d.id;
  }
  return 0;
}

TEST(VirtualDisplay, ClampsTheRequestedSize) {
  struct Case {
    std::int64_t w, h, wantW, wantH;
  } cases[] = {{320, 240, 640, 400},  {5000, 3000, 3000, 2000}, {1280, 800, 1280, 800},
               {640, 400, 640, 400},  {3000, 2000, 3000, 2000}, {-5, 0, 640, 400},
               {3001, 399, 3000, 400}};
  for (auto& c : cases) {
    auto fake = std::make_shared<FakeDisplayConfiguration>();
    ScriptedTime time;
    auto display = VirtualDisplay::create({c.w, c.h, "iPad"}, fake, time.timing());
    ASSERT_TRUE(display);
    EXPECT_EQ(display->pointSize(), std::make_pair(c.wantW, c.wantH)) << c.w << "x" << c.h;
    EXPECT_EQ(fake->calls().front(),
              "create " + std::to_string(c.wantW) + "x" + std::to_string(c.wantH));
    EXPECT_EQ(fake->lastVirtualName(), "iPad");
  }
}

TEST(VirtualDisplay, RefusedByThePlatformYieldsNothing) {
  auto fake = std::make_shared<FakeDisplayConfiguration>(
      FakeDisplayConfiguration::Config{.refuseCreate = true});
  ScriptedTime time;
  EXPECT_EQ(VirtualDisplay::create({1280, 800, "iPad"}, fake, time.timing()), nullptr);
  EXPECT_EQ(VirtualDisplay::create({1280, 800, "iPad"}, nullptr, time.timing()), nullptr);
}

TEST(VirtualDisplay, WaitsForTheListingThenForThreeGoodModeChecksInARow) {
  auto fake = std::make_shared<FakeDisplayConfiguration>(FakeDisplayConfiguration::Config{
      .listDelay = 3, .modeResults = {true, false, true, true, true}});
  ScriptedTime time;
  auto display = VirtualDisplay::create({1280, 800, "iPad"}, fake, time.timing());
  ASSERT_TRUE(display);
  EXPECT_TRUE(display->waitUntilActive(4.0));
  EXPECT_EQ(time.sleeps, (std::vector<double>{0.1, 0.1, 0.1, 0.15, 0.15, 0.15, 0.15, 0.15}));
  EXPECT_EQ(fake->selectModeCalls(), 5);

  // Listed only after the deadline: false, and the clock went no further than needed.
  auto late = std::make_shared<FakeDisplayConfiguration>(
      FakeDisplayConfiguration::Config{.listDelay = 1000});
  ScriptedTime lateTime;
  auto never = VirtualDisplay::create({1280, 800, "iPad"}, late, lateTime.timing());
  EXPECT_FALSE(never->waitUntilActive(4.0));
  EXPECT_NEAR(lateTime.now(), 104.0, 0.11);

  // Listed, but the mode never settles: still active once the deadline comes.
  auto unsettled = std::make_shared<FakeDisplayConfiguration>(
      FakeDisplayConfiguration::Config{.modeResults = std::deque<bool>(100, false)});
  ScriptedTime unsettledTime;
  auto stubborn = VirtualDisplay::create({1280, 800, "iPad"}, unsettled, unsettledTime.timing());
  EXPECT_TRUE(stubborn->waitUntilActive(1.0));
  EXPECT_GE(unsettledTime.now(), 101.0);
}

TEST(VirtualDisplay, TakesOverTheDesktopAndPutsEverythingBack) {
  auto fake = std::make_shared<FakeDisplayConfiguration>();
  fake->addDisplay(1, 0, 0, 1512, 982);
  fake->addDisplay(2, 1512, -200, 1920, 1080);
  fake->addWindow({.window = 10, .x = 100, .y = 100, .width = 400, .height = 300});
  fake->addWindow({.window = 11, .x = 1600, .y = 0, .width = 3000, .height = 2000});
  fake->addWindow({.window = 12, .x = 5, .y = 5, .width = 1280, .height = 770});
  ScriptedTime time;
  auto display = VirtualDisplay::create({1280, 800, "iPad"}, fake, time.timing());
  ASSERT_TRUE(display);
  std::uint32_t id = display->displayID();
  std::string self = std::to_string(id);

  display->takeOverDesktop();
  EXPECT_EQ(mainDisplay(*fake), id);
  EXPECT_EQ(time.sleeps, (std::vector<double>{0.3}));
  Calls calls = fake->calls();
  ASSERT_GE(calls.size(), 2u);
  // Virtual at the origin, the others in list order in a row to its right.
  EXPECT_EQ(calls[1], "origins 1@1280,0 2@2792,0 " + self + "@0,0");
  // Centred below the 30-point margin; the big one shrunk to fit; a window that already fits
  // exactly is only moved.
  EXPECT_EQ(Calls(calls.begin() + 2, calls.end()),
            (Calls{"move 10 440,265", "move 11 0,30", "size 11 1280x770", "move 12 0,30"}));

  display->restore();
  EXPECT_EQ(mainDisplay(*fake), 1u);
  calls = fake->calls();
  EXPECT_EQ(calls[6], "origins 1@0,0 2@1512,-200 " + self + "@3432,0");
  // Windows go back later, twice: size first, then position.
  ASSERT_EQ(time.scheduled.size(), 2u);
  EXPECT_EQ(time.scheduled[0].first, 0.8);
  EXPECT_EQ(time.scheduled[1].first, 2.0);
  EXPECT_EQ(calls.size(), 7u);
  time.runScheduled();
  EXPECT_EQ(fake->windows()[1], (WindowFrame{11, 1600, 0, 3000, 2000}));
  calls = fake->calls();
  EXPECT_EQ(Calls(calls.begin() + 7, calls.begin() + 9),
            (Calls{"size 10 400x300", "move 10 100,100"}));
  EXPECT_EQ(calls.size(), 7u + 2 * 6);

  // A second restore has nothing left to do; destruction removes the display.
  display->restore();
  EXPECT_TRUE(time.scheduled.empty());
  display.reset();
  EXPECT_EQ(fake->calls().back(), "remove " + self);
  EXPECT_EQ(mainDisplay(*fake), 1u);
}

TEST(VirtualDisplay, SecondTakeOverKeepsTheFirstRecord) {
  auto fake = std::make_shared<FakeDisplayConfiguration>();
  fake->addDisplay(1, 0, 0, 1920, 1080);
  fake->addWindow({.window = 10, .x = 100, .y = 100, .width = 400, .height = 300});
  ScriptedTime time;
  auto display = VirtualDisplay::create({1280, 800, "iPad"}, fake, time.timing());
  std::string self = std::to_string(display->displayID());
  display->takeOverDesktop();
  display->takeOverDesktop();
  display->restore();
  EXPECT_EQ(fake->calls().back(), "origins 1@0,0 " + self + "@1920,0");
  time.runScheduled();
  EXPECT_EQ(fake->windows()[0], (WindowFrame{10, 100, 100, 400, 300}));
}

TEST(VirtualDisplay, PutsWindowsBackOnTheRuntimesMainQueue) {
  auto clock = std::make_shared<ManualClock>();
  Runtime runtime(Runtime::Options{.threads = 2, .clock = clock});
  auto timing = VirtualDisplayTiming::onRuntime(runtime);
  timing.sleep = [](double) {};
  auto fake = std::make_shared<FakeDisplayConfiguration>();
  fake->addDisplay(1, 0, 0, 1920, 1080);
  fake->addWindow({.window = 10, .x = 100, .y = 100, .width = 400, .height = 300});
  auto display = VirtualDisplay::create({1280, 800, "iPad"}, fake, timing);
  display->takeOverDesktop();
  display.reset();
  auto moves = [&] {
    auto calls = fake->calls();
    return std::count(calls.begin(), calls.end(), "move 10 100,100");
  };
  EXPECT_EQ(moves(), 0);
  clock->advance(0.79);
  EXPECT_EQ(moves(), 0);
  clock->advance(0.01);
  EXPECT_EQ(moves(), 1);
  clock->advance(1.2);
  EXPECT_EQ(moves(), 2);
}

TEST(VirtualDisplay, RefusedLayoutMovesNoWindow) {
  auto fake = std::make_shared<FakeDisplayConfiguration>(
      FakeDisplayConfiguration::Config{.refuseOrigins = true});
  fake->addDisplay(1, 0, 0, 1920, 1080);
  fake->addWindow({.window = 10, .x = 100, .y = 100, .width = 400, .height = 300});
  ScriptedTime time;
  auto display = VirtualDisplay::create({1280, 800, "iPad"}, fake, time.timing());
  display->takeOverDesktop();
  EXPECT_EQ(fake->calls().size(), 2u);
  EXPECT_TRUE(time.sleeps.empty());
  display->restore();
  EXPECT_TRUE(time.scheduled.empty());
}

class VirtualDisplayOnXvfb : public ::testing::Test {
 protected:
  void start(const std::string& screen) {
    server_ = std::make_unique<test::XvfbServer>(screen);
    ASSERT_TRUE(server_->ok());
    client_ = std::make_unique<test::X11TestClient>(server_->display());
    configuration_ = X11DisplayConfiguration::open(server_->display());
    ASSERT_TRUE(configuration_);
  }

  DisplayRect rectOf(const char* name) {
    auto id = static_cast<std::uint32_t>(client_->atom(name));
    for (auto& r : configuration_->layout()) {
      if (r.id == id) return r;
    }
    return {};
  }

  std::unique_ptr<test::XvfbServer> server_;
  std::unique_ptr<test::X11TestClient> client_;
  std::shared_ptr<X11DisplayConfiguration> configuration_;
  ScriptedTime time_;
};

TEST_F(VirtualDisplayOnXvfb, CreatesTakesOverRestoresAndRemoves) {
  start("5120x2880x24");
  // A 1512-pixel "physical" display, the primary one, and a second 1920-pixel one right of it.
  client_->setOutputMode(1512, 982);
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(client_->display(), client_->root());
  XRRSetOutputPrimary(client_->display(), client_->root(), resources->outputs[0]);
  XRRFreeScreenResources(resources);
  client_->setMonitor("SIDE", 1512, 0, 1920, 1080);
  ::Window small = client_->window(100, 100, 400, 300, 0xFF0000);
  ::Window big = client_->window(1600, 50, 2500, 1500, 0x00FF00);
  ::Window own = client_->window(200, 500, 100, 100, 0x0000FF);
  ::Window hidden = client_->window(300, 600, 100, 100, 0x0000FF);
  client_->setLongs(own, "_NET_WM_PID", XA_CARDINAL, {static_cast<long>(getpid())});
  client_->setLongs(hidden, "_NET_WM_STATE", XA_ATOM,
                    {static_cast<long>(client_->atom("_NET_WM_STATE_HIDDEN"))});
  client_->setLongs(client_->root(), "_NET_CLIENT_LIST", XA_WINDOW,
                    {static_cast<long>(small), static_cast<long>(big), static_cast<long>(own),
                     static_cast<long>(hidden)});

  auto display = VirtualDisplay::create({1280, 800, "Ombrel iPad"}, configuration_, time_.timing());
  ASSERT_TRUE(display);
  EXPECT_EQ(display->displayID(), static_cast<std::uint32_t>(client_->atom("Ombrel iPad")));
  EXPECT_EQ(rectOf("Ombrel iPad"), (DisplayRect{display->displayID(), 3432, 0, 1280, 800}));
  EXPECT_TRUE(display->waitUntilActive(4.0));
  auto listed = configuration_->displays();
  for (auto& d : listed) EXPECT_EQ(d.isMain, d.name == "screen") << d.name;
  auto info = std::find_if(listed.begin(), listed.end(),
                           [&](auto& d) { return d.id == display->displayID(); });
  ASSERT_NE(info, listed.end());
  EXPECT_EQ(info->name, "Ombrel iPad");
  EXPECT_EQ(info->refreshRate, 60.0);

  display->takeOverDesktop();
  EXPECT_EQ(rectOf("Ombrel iPad"), (DisplayRect{display->displayID(), 0, 0, 1280, 800}));
  // In RandR's order, which lists the primary monitor first.
  EXPECT_EQ(rectOf("screen").x, 1280);
  EXPECT_EQ(rectOf("screen").y, 0);
  EXPECT_EQ(rectOf("SIDE").x, 1280 + 1512);
  // The virtual display now sits at the origin: it is the main display.
  listed = configuration_->displays();
  for (auto& d : listed) EXPECT_EQ(d.isMain, d.id == display->displayID()) << d.name;

  using G = test::X11TestClient::Geometry;
  EXPECT_EQ(client_->geometry(small), (G{440, 265, 400, 300}));
  EXPECT_EQ(client_->geometry(big), (G{0, 30, 1280, 770}));
  EXPECT_EQ(client_->geometry(own), (G{200, 500, 100, 100}));
  EXPECT_EQ(client_->geometry(hidden), (G{300, 600, 100, 100}));

  display->restore();
  EXPECT_EQ(rectOf("screen").x, 0);
  EXPECT_EQ(rectOf("SIDE").x, 1512);
  EXPECT_EQ(rectOf("Ombrel iPad").x, 3432);
  listed = configuration_->displays();
  for (auto& d : listed) EXPECT_EQ(d.isMain, d.name == "screen") << d.name;
  ASSERT_EQ(time_.scheduled.size(), 2u);
  time_.runScheduled();
  EXPECT_EQ(client_->geometry(small), (G{100, 100, 400, 300}));
  EXPECT_EQ(client_->geometry(big), (G{1600, 50, 2500, 1500}));

  std::uint32_t id = display->displayID();
  display.reset();
  listed = configuration_->displays();
  EXPECT_TRUE(std::none_of(listed.begin(), listed.end(), [&](auto& d) { return d.id == id; }));
  EXPECT_EQ(listed.size(), 2u);
}

TEST_F(VirtualDisplayOnXvfb, LeavesNoTraceOfScreenGrowthOrOfItsTimeAsPrimary) {
  start("5120x2880x24");
  // A desktop exactly as large as its one output, with a monitor of the user's own marked
  // primary (as `xrandr --setmonitor DESK ... --primary` would).
  client_->setOutputMode(1512, 982);
  XRRSetScreenSize(client_->display(), client_->root(), 1512, 982, 400, 260);
  client_->setMonitor("DESK", 0, 0, 1512, 982, true);
  using Size = std::pair<unsigned, unsigned>;
  ASSERT_EQ(client_->screenSize(), (Size{1512, 982}));
  ASSERT_EQ(client_->primaryMonitor(), "DESK");

  auto display = VirtualDisplay::create({1280, 800, "iPad"}, configuration_, time_.timing());
  ASSERT_TRUE(display);
  // No room beside the output: the screen grew for it.
  EXPECT_EQ(rectOf("iPad"), (DisplayRect{display->displayID(), 1512, 0, 1280, 800}));
  EXPECT_EQ(client_->screenSize(), (Size{2792, 982}));
  display->takeOverDesktop();
  EXPECT_EQ(rectOf("iPad").x, 0);
  EXPECT_EQ(client_->primaryMonitor(), "iPad");
  auto listed = configuration_->displays();
  for (auto& d : listed) EXPECT_EQ(d.isMain, d.id == display->displayID()) << d.name;

  display.reset();
  EXPECT_EQ(client_->screenSize(), (Size{1512, 982}));
  EXPECT_EQ(client_->primaryMonitor(), "DESK");
  listed = configuration_->displays();
  ASSERT_EQ(listed.size(), 2u);
  for (auto& d : listed) EXPECT_EQ(d.isMain, d.name == "DESK") << d.name;
  EXPECT_EQ(rectOf("DESK"),
            (DisplayRect{static_cast<std::uint32_t>(client_->atom("DESK")), 0, 0, 1512, 982}));
  EXPECT_EQ(rectOf("screen").x, 0);
}

TEST_F(VirtualDisplayOnXvfb, RefusedWhenTheScreenHasNoRoomAndCannotGrow) {
  // Xvfb's one output covers its whole screen, which never grows past its start size.
  start("1024x768x24");
  EXPECT_EQ(VirtualDisplay::create({1280, 800, "iPad"}, configuration_, time_.timing()), nullptr);
  EXPECT_EQ(configuration_->displays().size(), 1u);
}

TEST_F(VirtualDisplayOnXvfb, LayoutThatCannotFitChangesNothing) {
  // Room for the virtual display below the output, but not for the row the take-over wants.
  start("2000x2000x24");
  client_->setOutputMode(1900, 1000);
  auto display = VirtualDisplay::create({1000, 800, "iPad"}, configuration_, time_.timing());
  ASSERT_TRUE(display);
  EXPECT_EQ(rectOf("iPad"), (DisplayRect{display->displayID(), 0, 1000, 1000, 800}));
  display->takeOverDesktop();
  EXPECT_EQ(rectOf("iPad"), (DisplayRect{display->displayID(), 0, 1000, 1000, 800}));
  EXPECT_EQ(rectOf("screen").x, 0);
  EXPECT_TRUE(time_.sleeps.empty());
}

}  // namespace
}  // namespace ombrel
