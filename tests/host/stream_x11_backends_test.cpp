// The streaming control's X11 backends on a private Xvfb: the display list with desktop bounds
// and virtual displays (ScreenStreamDisplays), and the pointer and its image (X11CursorSource).

#include "host/x11_test_client.h"
// After the test client: it brings GoogleTest in before Xlib's macros.
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "Ombrel_Remote_Host/linux/x11/x11_cursor_source.h"
#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "Ombrel_Remote_Host/stream/screen_stream_displays.h"
#include "host/xvfb_desktop_fixture.h"

namespace ombrel {
namespace {

// Waiting for the virtual display sleeps on this clock instead of the real one.
struct ScriptedTime {
  const std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  VirtualDisplayTiming timing() {
    return {.clock = clock,
            .sleep = [this](double s) { clock->advance(s); },
            .schedule = [](double, std::function<void()> work) { work(); }};
  }
};

class StreamBackendsOnXvfb : public test::XvfbDesktopTest {
 protected:
  ScriptedTime time_;
};

TEST_F(StreamBackendsOnXvfb, DisplaysCarryTheirDesktopBoundsAndVirtualDisplaysComeAndGo) {
  client_->setOutputMode(1920, 1080);
  client_->setMonitor("SIDE", 1920, 0, 1280, 720);
  ScreenStreamDisplays displays([this] { return configuration_; }, time_.timing());

  const auto side = static_cast<std::uint32_t>(client_->atom("SIDE"));
  auto find = [&](std::uint32_t id) -> std::optional<StreamDisplay> {
    for (auto& d : displays.all()) {
      if (d.info.id == id) return d;
    }
    return std::nullopt;
  };
  auto all = displays.all();
  ASSERT_EQ(all.size(), 2u);
  const std::uint32_t screen = all[0].info.id == side ? all[1].info.id : all[0].info.id;
  EXPECT_EQ(find(screen)->bounds, (DisplayBounds{0, 0, 1920, 1080}));
  EXPECT_EQ(find(side)->bounds, (DisplayBounds{1920, 0, 1280, 720}));
  EXPECT_FALSE(all[0].builtIn || all[1].builtIn);

  auto virtualDisplay = displays.createVirtualDisplay({1280, 800, "Ombrel iPad"});
  ASSERT_TRUE(virtualDisplay);
  ASSERT_TRUE(virtualDisplay->waitUntilActive(4.0));
  virtualDisplay->takeOverDesktop();
  auto listed = find(virtualDisplay->displayID());
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->bounds, (DisplayBounds{0, 0, 1280, 800}));
  EXPECT_TRUE(listed->info.isMain);
  // The others moved into a row to its right, in RandR's order.
  EXPECT_GE(find(screen)->bounds.x, 1280);
  EXPECT_GE(find(side)->bounds.x, 1280);

  virtualDisplay->restore();
  virtualDisplay.reset();
  EXPECT_EQ(displays.all().size(), 2u);
  EXPECT_EQ(find(screen)->bounds, (DisplayBounds{0, 0, 1920, 1080}));

  // No desktop at all: nothing to list and no virtual display.
  ScreenStreamDisplays none([] { return std::shared_ptr<DisplayConfiguration>(); }, time_.timing());
  EXPECT_TRUE(none.all().empty());
  EXPECT_EQ(none.createVirtualDisplay({1280, 800, "x"}), nullptr);
}

// The IHDR size of a PNG.
std::pair<std::uint32_t, std::uint32_t> pngSize(const Bytes& png) {
  auto u32 = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 |
           std::uint32_t{png[at + 2]} << 8 | png[at + 3];
  };
  if (png.size() < 24) return {0, 0};
  return {u32(16), u32(20)};
}

// The image is the picture the server itself shows under the pointer.
void expectTheServersCursor(::Display* d, const std::optional<CursorImage>& image) {
  ASSERT_TRUE(image);
  XFixesCursorImage* truth = XFixesGetCursorImage(d);
  ASSERT_NE(truth, nullptr);
  EXPECT_EQ(image->width, truth->width);
  EXPECT_EQ(image->height, truth->height);
  EXPECT_EQ(image->hotX, truth->xhot);
  EXPECT_EQ(image->hotY, truth->yhot);
  EXPECT_EQ(pngSize(image->png),
            std::make_pair(std::uint32_t{truth->width}, std::uint32_t{truth->height}));
  XFree(truth);
}

TEST_F(StreamBackendsOnXvfb, CursorSourceReadsThePointerAndFingerprintsItsPicture) {
  auto cursor = X11CursorSource::open(server_.display());
  ASSERT_TRUE(cursor);
  ::Display* d = client_->display();
  // Three windows side by side: a crosshair, a watch, and another crosshair made on its own.
  ::Window cross = client_->window(0, 0, 300, 300, 0x101010);
  ::Window watch = client_->window(400, 0, 300, 300, 0x202020);
  ::Window cross2 = client_->window(800, 0, 300, 300, 0x303030);
  XDefineCursor(d, cross, XCreateFontCursor(d, XC_crosshair));
  XDefineCursor(d, watch, XCreateFontCursor(d, XC_watch));
  XDefineCursor(d, cross2, XCreateFontCursor(d, XC_crosshair));
  auto pointAt = [&](int x, int y) {
    XWarpPointer(d, None, client_->root(), 0, 0, 0, 0, x, y);
    XSync(d, False);
  };

  pointAt(150, 120);
  auto location = cursor->location();
  ASSERT_TRUE(location);
  EXPECT_EQ(location->x, 150);
  EXPECT_EQ(location->y, 120);
  auto crossHash = cursor->imageHash();
  ASSERT_TRUE(crossHash);
  expectTheServersCursor(d, cursor->image());

  pointAt(550, 120);
  auto watchHash = cursor->imageHash();
  ASSERT_TRUE(watchHash);
  EXPECT_NE(*watchHash, *crossHash);
  // Another cursor object with the same picture needs no new image.
  pointAt(950, 120);
  EXPECT_EQ(cursor->imageHash(), crossHash);
}

// One tick of the streaming control's cursor timer: the location, then the picture's fingerprint.
std::optional<std::uint64_t> tick(X11CursorSource& cursor) {
  EXPECT_TRUE(cursor.location());
  return cursor.imageHash();
}

TEST_F(StreamBackendsOnXvfb, CursorSourceReadsThePictureOnlyAfterTheServerSaysTheCursorChanged) {
  auto cursor = X11CursorSource::open(server_.display());
  ASSERT_TRUE(cursor);
  ::Display* d = client_->display();
  auto show = [&](unsigned shape) {
    XDefineCursor(d, client_->root(), XCreateFontCursor(d, shape));
    XSync(d, False);
  };
  show(XC_crosshair);
  const auto crossHash = tick(*cursor);
  ASSERT_TRUE(crossHash);
  ASSERT_EQ(cursor->imageReads(), 1u);

  constexpr unsigned unchanged = ~0u;
  struct Step {
    const char* what;
    unsigned shape;  // a cursor font glyph the client puts on the root window, or unchanged
    bool crosshair;  // the fingerprint is the crosshair's
    bool read;       // the picture is read from the server
  };
  const Step steps[] = {
      {"nothing changed", unchanged, true, false},
      {"nothing changed again", unchanged, true, false},
      {"a new cursor with the same picture", XC_crosshair, true, true},
      {"another picture", XC_watch, false, true},
      {"nothing changed since", unchanged, false, false},
      {"the crosshair again", XC_crosshair, true, true},
  };
  auto previous = crossHash;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.shape != unchanged) show(step.shape);
    const auto reads = cursor->imageReads();
    const auto hash = tick(*cursor);
    ASSERT_TRUE(hash);
    EXPECT_EQ(*hash == *crossHash, step.crosshair);
    if (step.shape == unchanged) {
      EXPECT_EQ(hash, previous);
    }
    EXPECT_EQ(cursor->imageReads() - reads, step.read ? 1u : 0u);
    previous = hash;
  }
  // The picture sent is the one last compared: the crosshair the server shows.
  expectTheServersCursor(d, cursor->image());
}

TEST(CursorSourceOnXvfb, FollowsTheCursorAgainOnARestartedXServer) {
  // A display number far above those servers pick for themselves (from :0 up), so none of the
  // tests running alongside takes it while this server is down.
  auto serverAt = [](const std::string& display) {
    return std::make_unique<test::XvfbServer>("1280x800x24", std::vector<std::string>{display});
  };
  std::unique_ptr<test::XvfbServer> server;
  std::string display;
  for (int attempt = 0; attempt < 20 && !(server && server->ok()); ++attempt) {
    display = ":" + std::to_string(600 + (getpid() + attempt * 17) % 300);
    server = serverAt(display);
  }
  ASSERT_TRUE(server->ok());
  auto cursor = X11CursorSource::open(display);
  ASSERT_TRUE(cursor);
  // A client of the server running at the time, showing a cursor font glyph on the root window.
  auto show = [&](unsigned shape) {
    auto client = std::make_unique<test::X11TestClient>(display);
    ::Display* d = client->display();
    XDefineCursor(d, client->root(), XCreateFontCursor(d, shape));
    XWarpPointer(d, None, client->root(), 0, 0, 0, 0, 100, 100);
    XSync(d, False);
    return client;
  };
  auto client = show(XC_crosshair);
  const auto crossHash = tick(*cursor);
  ASSERT_TRUE(crossHash);

  client.reset();
  server.reset();
  EXPECT_EQ(cursor->imageHash(), std::nullopt);
  // The same display number again, as when the X server restarts.
  server = serverAt(display);
  ASSERT_TRUE(server->ok());
  // The source opens a new connection at most once a second.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!cursor->location() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The new server shows its own default cursor, not the crosshair of the old one.
  const auto freshHash = tick(*cursor);
  ASSERT_TRUE(freshHash);
  EXPECT_NE(*freshHash, *crossHash);
  // And changes on the new server are noticed.
  client = show(XC_crosshair);
  EXPECT_EQ(tick(*cursor), crossHash);
}

}  // namespace
}  // namespace ombrel
