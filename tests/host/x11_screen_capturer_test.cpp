#include <gtest/gtest.h>

#include <spng.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <system_error>

#include "Ombrel_Remote_Host/controller/desktop_permissions.h"
#include "Ombrel_Remote_Host/linux/x11/x11_cursor_source.h"
#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"
#include "Ombrel_Remote_Host/screen/screen_backends.h"
#include "Ombrel_Remote_Host/video/bgrx_converter.h"
#include "host/x11_test_client.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::TempHome;
using test::X11TestClient;
using test::XvfbServer;

// Long enough for the server's damage report to reach the capturer; a capture that has
// something to report returns as soon as it arrives.
constexpr auto changeWait = 5000ms;
// How long "nothing changed" is given to prove itself.
constexpr auto idleWait = 150ms;

// The pixel at (x, y) of a captured picture as 0xRRGGBB.
std::uint32_t rgbAt(const CapturedFrame& frame, std::int64_t x, std::int64_t y) {
  const std::uint8_t* p = frame.data + y * frame.stride + x * 4;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

struct DecodedPNG {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Bytes rgba;
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const {
    return rgba.data() + (y * width + x) * 4;
  }
};

// The desktop is the test's Xvfb, even when the tests run in a Wayland session.
void x11Session(TempHome& home) {
  home.set("WAYLAND_DISPLAY", std::nullopt);
  home.set("XDG_SESSION_TYPE", std::nullopt);
}

std::optional<DecodedPNG> decode(const Bytes& png) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0), &spng_ctx_free);
  spng_ihdr ihdr{};
  std::size_t length = 0;
  if (spng_set_png_buffer(ctx.get(), png.data(), png.size()) != 0 ||
      spng_get_ihdr(ctx.get(), &ihdr) != 0 ||
      spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &length) != 0) {
    return std::nullopt;
  }
  DecodedPNG out{ihdr.width, ihdr.height, Bytes(length)};
  if (spng_decode_image(ctx.get(), out.rgba.data(), length, SPNG_FMT_RGBA8, 0) != 0) {
    return std::nullopt;
  }
  return out;
}

class X11ScreenCapturerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    client_ = std::make_unique<X11TestClient>(server_.display());
    ASSERT_NE(client_->display(), nullptr);
  }

  std::unique_ptr<X11ScreenCapturer> open(const char* monitor = "screen") {
    return X11ScreenCapturer::open(static_cast<std::uint32_t>(client_->atom(monitor)),
                                   server_.display());
  }

  XvfbServer server_;
  std::unique_ptr<X11TestClient> client_;
};

TEST_F(X11ScreenCapturerTest, GrabsDrawnPixelsAndReportsOnlyRealChanges) {
  client_->window(100, 200, 300, 150, 0xFF0000);
  ::Window green = client_->window(1000, 50, 64, 64, 0x00FF00);
  auto capturer = open();
  ASSERT_TRUE(capturer);
  EXPECT_TRUE(capturer->usesSharedMemory());
  EXPECT_EQ(capturer->bounds(), (DisplayRect{capturer->bounds().id, 0, 0, 5120, 2880}));

  // The first capture always delivers a picture.
  ASSERT_EQ(capturer->capture(idleWait), CaptureResult::ok);
  CapturedFrame frame = capturer->frame();
  EXPECT_EQ(frame.width, 5120);
  EXPECT_EQ(frame.height, 2880);
  EXPECT_GE(frame.stride, 5120 * 4);
  EXPECT_EQ(rgbAt(frame, 100, 200), 0xFF0000u);
  EXPECT_EQ(rgbAt(frame, 399, 349), 0xFF0000u);
  EXPECT_EQ(rgbAt(frame, 400, 349), 0x000000u);
  EXPECT_EQ(rgbAt(frame, 1063, 113), 0x00FF00u);

  // Nothing drawn: nothing new, also not from the damage that existed before the capturer.
  EXPECT_EQ(capturer->capture(idleWait), CaptureResult::timeout);

  client_->fill(green, 10, 10, 20, 20, 0x0000FF);
  ASSERT_EQ(capturer->capture(changeWait), CaptureResult::ok);
  frame = capturer->frame();
  EXPECT_EQ(rgbAt(frame, 1015, 65), 0x0000FFu);
  EXPECT_EQ(rgbAt(frame, 1005, 55), 0x00FF00u);
  EXPECT_EQ(capturer->capture(idleWait), CaptureResult::timeout);

  // A screenshot grabs whether or not anything changed.
  EXPECT_EQ(capturer->grab(), CaptureResult::ok);
  EXPECT_EQ(rgbAt(capturer->frame(), 1015, 65), 0x0000FFu);

  // The output changes its mode: the picture size is stale.
  client_->setOutputMode(1920, 1080);
  EXPECT_EQ(capturer->capture(changeWait), CaptureResult::reinit);
}

TEST_F(X11ScreenCapturerTest, CapturesOneMonitorAndIgnoresChangesElsewhere) {
  client_->setMonitor("SIDE", 2000, 1000, 800, 600);
  ::Window inside = client_->window(2100, 1100, 50, 40, 0x123456);
  ::Window outside = client_->window(10, 10, 50, 40, 0x654321);
  auto capturer = open("SIDE");
  ASSERT_TRUE(capturer);
  ASSERT_EQ(capturer->capture(idleWait), CaptureResult::ok);
  CapturedFrame frame = capturer->frame();
  EXPECT_EQ(frame.width, 800);
  EXPECT_EQ(frame.height, 600);
  EXPECT_EQ(rgbAt(frame, 100, 100), 0x123456u);
  EXPECT_EQ(rgbAt(frame, 149, 139), 0x123456u);
  EXPECT_EQ(rgbAt(frame, 150, 100), 0x000000u);

  client_->fill(outside, 0, 0, 10, 10, 0xFFFFFF);
  EXPECT_EQ(capturer->capture(idleWait), CaptureResult::timeout);
  client_->fill(inside, 0, 0, 10, 10, 0xFFFFFF);
  ASSERT_EQ(capturer->capture(changeWait), CaptureResult::ok);
  EXPECT_EQ(rgbAt(capturer->frame(), 100, 100), 0xFFFFFFu);

  // The monitor moves: the capturer must be rebuilt.
  client_->setMonitor("SIDE", 2100, 1000, 800, 600);
  EXPECT_EQ(capturer->capture(changeWait), CaptureResult::reinit);
  EXPECT_FALSE(open("NO-SUCH-MONITOR"));
}

TEST_F(X11ScreenCapturerTest, PaintsTheHostsOwnWindowsBlackWithOrWithoutSharedMemory) {
  // A small monitor keeps the grabs quick.
  client_->setMonitor("SMALL", 0, 0, 800, 600);
  for (bool sharedMemory : {true, false}) {
    SCOPED_TRACE(sharedMemory ? "shared memory" : "XGetImage");
    client_->window(0, 0, 600, 400, 0xFFFFFF);
    ::Window own = client_->window(50, 60, 100, 80, 0xFF00FF);
    ::Window hidden = client_->window(300, 60, 100, 80, 0xFF00FF);
    XUnmapWindow(client_->display(), hidden);
    XSync(client_->display(), False);
    auto capturer = open("SMALL");
    ASSERT_TRUE(capturer);
    if (!sharedMemory) capturer->disableSharedMemoryForTest();
    EXPECT_EQ(capturer->usesSharedMemory(), sharedMemory);
    // A window that no longer exists is skipped, not an error.
    capturer->setExcludedWindows({own, hidden, 0x7FFFFF});
    ASSERT_EQ(capturer->capture(idleWait), CaptureResult::ok);
    CapturedFrame frame = capturer->frame();
    EXPECT_EQ(rgbAt(frame, 50, 60), 0x000000u);
    EXPECT_EQ(rgbAt(frame, 149, 139), 0x000000u);
    EXPECT_EQ(rgbAt(frame, 150, 139), 0xFFFFFFu);
    EXPECT_EQ(rgbAt(frame, 49, 60), 0xFFFFFFu);
    EXPECT_EQ(rgbAt(frame, 320, 70), 0xFFFFFFu);  // unmapped: not on screen
    ASSERT_EQ(capturer->grab(), CaptureResult::ok);
    EXPECT_EQ(rgbAt(capturer->frame(), 100, 100), 0x000000u);
  }
}

// The I420 conversion of a picture, whole or brought up to date from an earlier one.
struct I420 {
  std::int64_t width, height;
  std::vector<std::uint8_t> y, u, v;
  I420(std::int64_t w, std::int64_t h)
      : width(w),
        height(h),
        y(static_cast<std::size_t>(w * h)),
        u(static_cast<std::size_t>((w + 1) / 2 * ((h + 1) / 2))),
        v(u.size()) {}
  bool convert(BgrxConverter& converter, const PixelBuffer& picture,
               const std::vector<PixelRect>* only) {
    BgrxConverter::Planes planes;
    planes.data[0] = y.data();
    planes.data[1] = u.data();
    planes.data[2] = v.data();
    planes.stride[0] = static_cast<int>(width);
    planes.stride[1] = planes.stride[2] = static_cast<int>((width + 1) / 2);
    planes.width = static_cast<int>(width);
    planes.height = static_cast<int>(height);
    return converter.convert(picture, BgrxConverter::Layout::i420, planes, only);
  }
  bool operator==(const I420&) const = default;
};

// The first row where two pictures of the same size differ, or -1.
std::int64_t firstDifferentRow(const PixelBuffer& a, const PixelBuffer& b) {
  for (std::int64_t row = 0; row < a.height; ++row) {
    if (std::memcmp(a.data + row * static_cast<std::int64_t>(a.stride),
                    b.data + row * static_cast<std::int64_t>(b.stride),
                    static_cast<std::size_t>(a.width) * 4) != 0) {
      return row;
    }
  }
  return -1;
}

// A streamer's capturer grabs only what changed into whichever pooled image is free and the
// encoder converts only what changed since the picture it converted last (which skips pictures
// the in-flight gate dropped): both must still come out exactly as a whole grab and a whole
// conversion would, also where the host's own window is painted black, moves or goes away.
TEST_F(X11ScreenCapturerTest, DamageOnlyGrabsAndConversionsMatchWholeOnes) {
  client_->setMonitor("SMALL", 0, 0, 641, 479);  // odd sizes: chroma blocks cut at the edge
  for (bool sharedMemory : {true, false}) {
    SCOPED_TRACE(sharedMemory ? "shared memory" : "XGetImage");
    ::Window page = client_->window(0, 0, 641, 479, 0xFFFFFF);
    ::Window own = client_->window(200, 150, 90, 70, 0xFF00FF);
    auto capturer = open("SMALL");
    ASSERT_TRUE(capturer);
    if (!sharedMemory) capturer->disableSharedMemoryForTest();
    capturer->setExcludedWindows({own});

    struct Step {
      const char* what;
      std::function<void()> act;
      bool ownShown = true;
      bool excluded = true;
    };
    const Step steps[] = {
        {"first picture", [] {}},
        {"a small odd rectangle", [&] { client_->fill(page, 13, 7, 5, 3, 0x102030); }},
        {"two far apart",
         [&] {
           client_->fill(page, 600, 400, 41, 79, 0x00FF00);
           client_->fill(page, 1, 1, 3, 2, 0x0000FF);
         }},
        {"in the own window", [&] { client_->fill(own, 10, 10, 20, 20, 0x123456); }},
        {"partly under it", [&] { client_->fill(page, 180, 140, 40, 40, 0x654321); }},
        {"elsewhere only", [&] { client_->fill(page, 400, 50, 31, 9, 0xABCDEF); }},
        {"the own window moves",
         [&] {
           XMoveWindow(client_->display(), own, 401, 301);
           XSync(client_->display(), False);
         }},
        {"next to it", [&] { client_->fill(page, 380, 290, 30, 30, 0x777777); }},
        {"the own window goes",
         [&] {
           XUnmapWindow(client_->display(), own);
           XSync(client_->display(), False);
         },
         false},
        {"and comes back",
         [&] {
           XMoveWindow(client_->display(), own, 0, 0);
           XMapWindow(client_->display(), own);
           XSync(client_->display(), False);
         }},
        {"the edge", [&] { client_->fill(page, 639, 477, 2, 2, 0xFF0000); }},
        // Enough pictures for every pooled image to hold the own window black...
        {"far below 1", [&] { client_->fill(page, 500, 300, 8, 8, 0x111111); }},
        {"far below 2", [&] { client_->fill(page, 500, 320, 8, 8, 0x222222); }},
        {"far below 3", [&] { client_->fill(page, 500, 340, 8, 8, 0x333333); }},
        // ...when nothing on screen changes where it was: only the list does.
        {"no longer excluded",
         [&] {
           capturer->setExcludedWindows({});
           client_->fill(page, 600, 10, 5, 5, 0x00FFFF);
         },
         false, false},
    };
    // As a streamer holds them: the picture in the encoder and the one kept for refinement.
    std::deque<PixelBufferRef> held;
    BgrxConverter converter;
    std::optional<I420> converted;
    std::uint64_t convertedGeneration = 0;
    int step = 0;
    for (const Step& s : steps) {
      SCOPED_TRACE(s.what);
      s.act();
      ASSERT_EQ(capturer->capture(changeWait), CaptureResult::ok);
      // Damage the server reported late belongs to this step too.
      while (capturer->capture(idleWait) == CaptureResult::ok) {
      }
      PixelBufferRef picture = capturer->picture();
      ASSERT_TRUE(picture);
      held.push_back(picture);
      if (held.size() > 2) held.pop_front();

      auto reference = open("SMALL");
      ASSERT_TRUE(reference);
      if (s.excluded) reference->setExcludedWindows({own});
      ASSERT_EQ(reference->grab(), CaptureResult::ok);
      PixelBufferRef whole = reference->picture();
      EXPECT_EQ(firstDifferentRow(*picture, *whole), -1);
      if (s.ownShown) {
        auto where = client_->geometry(own);
        EXPECT_EQ(rgbAt(capturer->frame(), where.x + 1, where.y + 1), 0x000000u);
      }

      // Every other picture reaches the encoder.
      if (step++ % 2 != 0) continue;
      if (!converted) converted.emplace(picture->width, picture->height);
      auto changed = picture->changes->between(convertedGeneration, picture->generation);
      EXPECT_EQ(changed.has_value(), convertedGeneration != 0);
      ASSERT_TRUE(converted->convert(converter, *picture, changed ? &*changed : nullptr));
      convertedGeneration = picture->generation;
      I420 full(whole->width, whole->height);
      ASSERT_TRUE(full.convert(converter, *whole, nullptr));
      EXPECT_TRUE(*converted == full);
    }
    XDestroyWindow(client_->display(), own);
    XDestroyWindow(client_->display(), page);
    XSync(client_->display(), False);
  }
}

TEST_F(X11ScreenCapturerTest, APooledImageIsNeverReusedWhileItsPictureIsHeld) {
  client_->setMonitor("SMALL", 0, 0, 320, 200);
  ::Window page = client_->window(0, 0, 320, 200, 0xFFFFFF);
  auto capturer = open("SMALL");
  ASSERT_TRUE(capturer);
  ASSERT_EQ(capturer->capture(idleWait), CaptureResult::ok);
  PixelBufferRef kept = capturer->picture();
  const std::vector<std::uint8_t> before(kept->data, kept->data + kept->stride * 200);

  std::set<const std::uint8_t*> seen;
  for (int i = 0; i < 6; ++i) {
    client_->fill(page, 0, 0, 320, 200, 0x010101u * static_cast<unsigned>(i + 1));
    ASSERT_EQ(capturer->capture(changeWait), CaptureResult::ok);
    const std::uint8_t* data = capturer->picture()->data;
    EXPECT_NE(data, kept->data);
    seen.insert(data);
  }
  EXPECT_EQ(std::vector<std::uint8_t>(kept->data, kept->data + kept->stride * 200), before);
  // The held one, the capturer's newest, and one more to grab into.
  EXPECT_EQ(capturer->pooledImages(), 3u);
  EXPECT_EQ(seen.size(), 2u);

  // Let go, its image is used again once the others are held, brought up to date across all
  // the pictures it missed.
  const std::uint8_t* released = kept->data;
  kept.reset();
  PixelBufferRef first = capturer->picture();
  client_->fill(page, 5, 5, 10, 10, 0xFF0000);
  ASSERT_EQ(capturer->capture(changeWait), CaptureResult::ok);
  PixelBufferRef second = capturer->picture();
  client_->fill(page, 50, 50, 10, 10, 0x00FF00);
  ASSERT_EQ(capturer->capture(changeWait), CaptureResult::ok);
  EXPECT_EQ(capturer->picture()->data, released);
  EXPECT_EQ(capturer->pooledImages(), 3u);
  EXPECT_EQ(rgbAt(capturer->frame(), 100, 100), 0x060606u);
  EXPECT_EQ(rgbAt(capturer->frame(), 7, 7), 0xFF0000u);
  EXPECT_EQ(rgbAt(capturer->frame(), 55, 55), 0x00FF00u);

  // A picture outlives its capturer.
  kept = capturer->picture();
  capturer.reset();
  EXPECT_EQ(rgbAt({kept->data, kept->width, kept->height, std::int64_t(kept->stride)}, 55, 55),
            0x00FF00u);
}

TEST_F(X11ScreenCapturerTest, CursorImageAndPointerPosition) {
  // A 16 x 16 cursor: opaque red where the left half of the mask is set, transparent elsewhere.
  constexpr int size = 16;
  std::vector<char> bits(size * size / 8, 0);
  for (int y = 0; y < size; ++y) bits[static_cast<std::size_t>(y * 2)] = static_cast<char>(0xFF);
  Pixmap source =
      XCreateBitmapFromData(client_->display(), client_->root(), bits.data(), size, size);
  Pixmap mask = XCreateBitmapFromData(client_->display(), client_->root(), bits.data(), size, size);
  XColor red{.pixel = 0, .red = 0xFFFF, .green = 0, .blue = 0, .flags = DoRed | DoGreen | DoBlue};
  XColor black{};
  Cursor cursor = XCreatePixmapCursor(client_->display(), source, mask, &red, &black, 3, 5);
  XDefineCursor(client_->display(), client_->root(), cursor);
  XWarpPointer(client_->display(), None, client_->root(), 0, 0, 0, 0, 1234, 567);
  XSync(client_->display(), False);

  auto reader = X11CursorSource::open(server_.display());
  ASSERT_TRUE(reader);
  auto location = reader->location();
  ASSERT_TRUE(location);
  EXPECT_EQ(location->x, 1234);
  EXPECT_EQ(location->y, 567);
  auto hash = reader->imageHash();
  ASSERT_TRUE(hash);
  auto shape = reader->image();
  ASSERT_TRUE(shape);
  EXPECT_EQ(shape->width, size);
  EXPECT_EQ(shape->height, size);
  EXPECT_EQ(shape->hotX, 3);
  EXPECT_EQ(shape->hotY, 5);

  auto png = decode(shape->png);
  ASSERT_TRUE(png);
  ASSERT_EQ(png->width, std::uint32_t{size});
  ASSERT_EQ(png->height, std::uint32_t{size});
  EXPECT_EQ(Bytes(png->at(2, 7), png->at(2, 7) + 4), (Bytes{255, 0, 0, 255}));
  EXPECT_EQ(png->at(12, 7)[3], 0);

  EXPECT_EQ(reader->imageHash(), hash);
  XFreeCursor(client_->display(), cursor);
}

TEST(X11ScreenCapturer, SurvivesTheEndOfTheXServer) {
  auto server = std::make_unique<XvfbServer>();
  ASSERT_TRUE(server->ok());
  std::uint32_t screen = 0;
  {
    X11TestClient client(server->display());
    screen = static_cast<std::uint32_t>(client.atom("screen"));
  }
  auto capturer = X11ScreenCapturer::open(screen, server->display());
  auto configuration = X11DisplayConfiguration::open(server->display());
  auto cursor = X11CursorSource::open(server->display());
  ASSERT_TRUE(capturer);
  ASSERT_TRUE(configuration);
  ASSERT_TRUE(cursor);
  ASSERT_TRUE(cursor->location());
  ASSERT_EQ(capturer->capture(idleWait), CaptureResult::ok);
  EXPECT_TRUE(configuration->isConnected());
  EXPECT_EQ(configuration->displays().size(), 1u);
  server.reset();
  // Xlib's default would end the process here.
  EXPECT_EQ(capturer->capture(changeWait), CaptureResult::error);
  EXPECT_EQ(capturer->grab(), CaptureResult::error);
  EXPECT_FALSE(cursor->location());
  EXPECT_EQ(cursor->imageHash(), std::nullopt);
  EXPECT_EQ(cursor->image(), std::nullopt);
  EXPECT_TRUE(configuration->displays().empty());
  EXPECT_FALSE(configuration->isConnected());
}

TEST_F(X11ScreenCapturerTest, ScreenshotPNGOfTheDisplayNamedByDollarDisplay) {
  client_->setMonitor("SHOT", 100, 100, 64, 48);
  client_->window(110, 120, 20, 10, 0x3366CC);
  setenv("DISPLAY", server_.display().c_str(), 1);
  TempHome home;
  x11Session(home);
  auto png = screenshotPNG(static_cast<std::uint32_t>(client_->atom("SHOT")));
  ASSERT_TRUE(png);
  auto picture = decode(*png);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 64u);
  EXPECT_EQ(picture->height, 48u);
  // Opaque although the grab's fourth byte is padding.
  EXPECT_EQ(Bytes(picture->at(10, 20), picture->at(10, 20) + 4), (Bytes{0x33, 0x66, 0xCC, 255}));
  EXPECT_EQ(Bytes(picture->at(0, 0), picture->at(0, 0) + 4), (Bytes{0, 0, 0, 255}));
  EXPECT_EQ(screenshotPNG(12345), std::nullopt);
}

// An X authority file with one MIT-MAGIC-COOKIE-1 that matches any display.
void writeCookie(const std::filesystem::path& file) {
  auto field = [](std::string& out, const std::string& bytes) {
    out.push_back(static_cast<char>(bytes.size() >> 8));
    out.push_back(static_cast<char>(bytes.size() & 0xFF));
    out += bytes;
  };
  std::string entry = {'\xFF', '\xFF'};  // FamilyWild
  field(entry, "");
  field(entry, "");
  field(entry, "MIT-MAGIC-COOKIE-1");
  field(entry, "0123456789abcdef");
  std::ofstream(file, std::ios::binary) << entry;
}

bool isPermissionDenied(const std::optional<NVError>& problem) {
  return problem && problem->kind() == NVError::Kind::system &&
         problem->code() == std::make_error_code(std::errc::permission_denied);
}

TEST(ScreenCaptureProblem, NamesTheExtensionTheServerLacksAndDoesWithoutSharedMemory) {
  struct Case {
    const char* extension;
    std::optional<std::string> problem;
  };
  const Case cases[] = {
      {"DAMAGE", "X 伺服器缺少 DAMAGE 擴充功能"},
      {"XFIXES", "X 伺服器缺少 XFIXES 擴充功能"},
      {"RANDR", "X 伺服器缺少 RANDR 擴充功能"},
      {"MIT-SHM", std::nullopt},
  };
  TempHome home;
  x11Session(home);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    XvfbServer server("640x480x24", {"-extension", c.extension});
    ASSERT_TRUE(server.ok());
    auto problem = screenCaptureProblem(server.display());
    EXPECT_EQ(problem ? std::optional(problem->errorDescription()) : std::nullopt, c.problem);
    home.set("DISPLAY", server.display());
    EXPECT_EQ(probeDesktopPermissions().screen, !c.problem);
    if (c.problem) continue;
    // Without shared memory the pictures come through XGetImage.
    X11TestClient client(server.display());
    client.window(10, 10, 20, 20, 0x3366CC);
    auto capturer = X11ScreenCapturer::open(static_cast<std::uint32_t>(client.atom("screen")),
                                            server.display());
    ASSERT_TRUE(capturer);
    EXPECT_FALSE(capturer->usesSharedMemory());
    ASSERT_EQ(capturer->grab(), CaptureResult::ok);
    EXPECT_EQ(rgbAt(capturer->frame(), 15, 15), 0x3366CCu);
  }
}

TEST(ScreenCaptureProblem, ADisplayThatRefusesUsIsTheScreenPermission) {
  TempHome home;
  x11Session(home);
  auto cookie = home.root() / "cookie";
  writeCookie(cookie);
  XvfbServer guarded("640x480x24", {"-auth", cookie.string()});
  ASSERT_TRUE(guarded.ok());
  std::string gone;
  {
    XvfbServer ended("640x480x24");
    ASSERT_TRUE(ended.ok());
    gone = ended.display();
  }
  home.set("XAUTHORITY", (home.root() / "no-cookies").string());
  for (const std::string& display : {guarded.display(), gone}) {
    SCOPED_TRACE(display);
    EXPECT_TRUE(isPermissionDenied(screenCaptureProblem(display)));
    home.set("DISPLAY", display);
    EXPECT_FALSE(probeDesktopPermissions().screen);
  }
  // With the cookie the same server lets us in.
  home.set("XAUTHORITY", cookie.string());
  EXPECT_EQ(screenCaptureProblem(guarded.display()), std::nullopt);
}

TEST(ScreenCaptureProblem, AWaylandSessionSaysSoInsteadOfCapturingXWayland) {
  XvfbServer server("640x480x24");
  ASSERT_TRUE(server.ok());
  struct Case {
    const char* variable;
    const char* value;
    bool wayland;
  };
  const Case cases[] = {
      {"WAYLAND_DISPLAY", "wayland-0", true},
      {"XDG_SESSION_TYPE", "wayland", true},
      {"XDG_SESSION_TYPE", "x11", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    TempHome home;
    x11Session(home);
    home.set("DISPLAY", server.display());
    home.set(c.variable, c.value);
    auto problem = screenCaptureProblem();
    // The pointer is the desktop's too: XWayland's would be wherever X clients last saw it.
    EXPECT_EQ(openCursorSource() != nullptr, !c.wayland);
    if (!c.wayland) {
      EXPECT_EQ(problem, std::nullopt);
      continue;
    }
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->errorDescription(), "這是 Wayland 工作階段，目前只能擷取 X11 桌面的畫面");
    EXPECT_FALSE(probeDesktopPermissions().screen);
    X11TestClient client(server.display());
    EXPECT_EQ(openScreenCapturer(static_cast<std::uint32_t>(client.atom("screen"))), nullptr);
  }
}

}  // namespace
}  // namespace ombrel
