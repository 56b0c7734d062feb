// The CLIPBOARD selection on a private Xvfb, with real X clients (xclip, small XCB owners and
// requestors) as the other applications.
#include "Ombrel_Remote_Host/linux/x11/x11_pasteboard.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <spng.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Ombrel_Remote_Host/clipboard/clipboard_backends.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"
#include "support/xvfb_server.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

test::XvfbServer* xvfb = nullptr;

class X11PasteboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb = new test::XvfbServer("640x480x24"); }
  static void TearDownTestSuite() {
    delete xvfb;
    xvfb = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(xvfb->ok());
    ASSERT_EQ(std::system("command -v xclip >/dev/null"), 0) << "xclip is not installed";
  }

  static std::string display() { return xvfb->display(); }

  // xclip takes the clipboard with `data` as `type`; it stays the owner, in the background,
  // until another application takes the clipboard.
  static void copyWithXclip(const Bytes& data, const std::string& type = "UTF8_STRING") {
    std::string path = testing::TempDir() + "/xclip_in_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    std::string command = "DISPLAY=" + display() + " timeout 120 xclip -selection clipboard -t '" +
                          type + "' -i < '" + path + "' 2>/dev/null";
    int status = std::system(command.c_str());
    std::remove(path.c_str());  // xclip read it all before it went to the background
    ASSERT_EQ(status, 0);
  }

  // What xclip reads from the clipboard as `type`; nothing when the owner refuses it.
  static std::optional<Bytes> pasteWithXclip(const std::string& type) {
    std::string command = "DISPLAY=" + display() +
                          " timeout 120 xclip -selection clipboard -o -t '" + type +
                          "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    Bytes out;
    std::uint8_t buffer[65536];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.insert(out.end(), buffer, buffer + n);
    if (pclose(pipe) != 0) return std::nullopt;
    return out;
  }

  // The read's result; a failure (and nothing) when it never completes.
  static std::optional<ClipboardContents> readNow(Pasteboard& pasteboard,
                                                  Pasteboard::ReadLimits limits = {}) {
    auto promise = std::make_shared<std::promise<std::optional<ClipboardContents>>>();
    auto result = promise->get_future();
    pasteboard.read(limits, [promise](std::optional<ClipboardContents> contents) {
      promise->set_value(std::move(contents));
    });
    if (result.wait_for(60s) != std::future_status::ready) {
      ADD_FAILURE() << "the read never completed";
      return std::nullopt;
    }
    return result.get();
  }

  // Waits (generously) for an external copy to reach the pasteboard.
  static bool waitForCount(const Pasteboard& pasteboard, std::int64_t count) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (pasteboard.changeCount() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  static std::shared_ptr<X11Pasteboard> open(X11Pasteboard::Options options = {}) {
    auto pasteboard = X11Pasteboard::open(display(), std::move(options));
    EXPECT_NE(pasteboard, nullptr);
    return pasteboard;
  }
};

// A picture of noise, so the PNG stays big: just under the 16 MiB limit.
const Bytes& bigPNG() {
  static const Bytes png = [] {
    constexpr std::uint32_t side = 1980;
    Bytes rgba(std::size_t{side} * side * 4);
    std::mt19937 random(7);
    for (auto& byte : rgba) byte = static_cast<std::uint8_t>(random());
    return encodeRGBAPNG(rgba.data(), side, side, side * 4);
  }();
  return png;
}

// Size and pixels of a PNG, decoded by libspng.
struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Bytes rgba;
};
std::optional<Picture> decodePNG(const Bytes& png) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0), spng_ctx_free);
  spng_set_png_buffer(ctx.get(), png.data(), png.size());
  spng_ihdr ihdr{};
  std::size_t size = 0;
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0 ||
      spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size) != 0) {
    return std::nullopt;
  }
  Picture picture{ihdr.width, ihdr.height, Bytes(size)};
  if (spng_decode_image(ctx.get(), picture.rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) {
    return std::nullopt;
  }
  return picture;
}

// A 3 x 2 24-bit BMP, stored bottom row first in B, G, R order: red, green, blue over white,
// black, grey.
Bytes smallBMP() {
  Bytes bmp;
  auto u16 = [&](std::uint16_t v) {
    bmp.insert(bmp.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
  };
  auto u32 = [&](std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
  };
  const std::uint32_t rowBytes = 12, pixelBytes = rowBytes * 2;
  bmp.insert(bmp.end(), {'B', 'M'});
  u32(54 + pixelBytes), u32(0), u32(54);
  u32(40), u32(3), u32(2), u16(1), u16(24), u32(0), u32(pixelBytes), u32(2835), u32(2835);
  u32(0), u32(0);
  bmp.insert(bmp.end(), {0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80, 0x80, 0x80, 0, 0, 0});
  bmp.insert(bmp.end(), {0, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0, 0, 0, 0});
  return bmp;
}

// Another application owning the clipboard through XCB, offering `targets` (name, value) and
// TARGETS; or, with `answers` false, never answering at all.
class TestOwner {
 public:
  TestOwner(const std::string& display, std::vector<std::pair<std::string, Bytes>> targets,
            bool answers = true)
      : c_(xcb_connect(display.c_str(), nullptr)), answers_(answers) {
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    clipboard_ = atom("CLIPBOARD");
    targetsAtom_ = atom("TARGETS");
    for (auto& [name, value] : targets) targets_.emplace_back(atom(name), std::move(value));
    xcb_set_selection_owner(c_, window_, clipboard_, XCB_CURRENT_TIME);
    auto* owner =
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr);
    owns_ = owner != nullptr && owner->owner == window_;
    std::free(owner);
    thread_ = std::thread([this] { run(); });
  }
  ~TestOwner() {
    stop_ = true;
    thread_.join();
    xcb_disconnect(c_);
  }
  bool owns() const { return owns_; }

 private:
  xcb_atom_t atom(const std::string& name) {
    auto* r = xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    xcb_atom_t a = r->atom;
    std::free(r);
    return a;
  }

  void run() {
    while (!stop_) {
      pollfd p{.fd = xcb_get_file_descriptor(c_), .events = POLLIN, .revents = 0};
      ::poll(&p, 1, 50);
      while (auto* event = xcb_poll_for_event(c_)) {
        if ((event->response_type & 0x7F) == XCB_SELECTION_REQUEST && answers_) {
          answer(*reinterpret_cast<xcb_selection_request_event_t*>(event));
        }
        std::free(event);
      }
    }
  }

  void answer(const xcb_selection_request_event_t& e) {
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = e.time;
    notify.requestor = e.requestor;
    notify.selection = e.selection;
    notify.target = e.target;
    if (e.target == targetsAtom_) {
      std::vector<xcb_atom_t> list{targetsAtom_};
      for (auto& target : targets_) list.push_back(target.first);
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, e.requestor, e.property, XCB_ATOM_ATOM, 32,
                          list.size(), list.data());
      notify.property = e.property;
    }
    for (auto& [target, value] : targets_) {
      if (target != e.target) continue;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, e.requestor, e.property, target, 8,
                          value.size(), value.data());
      notify.property = e.property;
    }
    xcb_send_event(c_, 0, e.requestor, 0, reinterpret_cast<const char*>(&notify));
    xcb_flush(c_);
  }

  xcb_connection_t* c_;
  xcb_window_t window_ = 0;
  xcb_atom_t clipboard_ = 0;
  xcb_atom_t targetsAtom_ = 0;
  std::vector<std::pair<xcb_atom_t, Bytes>> targets_;
  bool answers_;
  bool owns_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(X11PasteboardTest, TextBothWaysWithXclip) {
  auto pasteboard = open();
  ASSERT_TRUE(pasteboard);

  std::int64_t before = pasteboard->changeCount();
  const std::string copied = "héllo wörld ✓ 中文";
  copyWithXclip(toBytes(copied));
  ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
  auto contents = readNow(*pasteboard);
  ASSERT_TRUE(contents);
  EXPECT_FALSE(contents->concealed);
  EXPECT_EQ(contents->text, copied);
  EXPECT_FALSE(contents->png);

  ASSERT_TRUE(pasteboard->writeText("café ✓"));
  EXPECT_EQ(pasteWithXclip("UTF8_STRING"), toBytes("café ✓"));
  EXPECT_EQ(pasteWithXclip("text/plain;charset=utf-8"), toBytes("café ✓"));
  EXPECT_EQ(pasteWithXclip("STRING"), toBytes("caf\xe9 ?"));
  auto targets = pasteWithXclip("TARGETS");
  ASSERT_TRUE(targets);
  std::string names = toString(*targets);
  for (const char* name : {"TARGETS", "TIMESTAMP", "UTF8_STRING", "STRING"}) {
    EXPECT_NE(names.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(names.find("image/png"), std::string::npos);
  EXPECT_FALSE(pasteWithXclip("image/png")) << "a text owner refuses images";
  // Reading our own contents answers them without a round trip through another application.
  EXPECT_EQ(readNow(*pasteboard)->text, "café ✓");
}

TEST_F(X11PasteboardTest, ChangeCountMovesOncePerCopy) {
  auto pasteboard = open();
  ASSERT_TRUE(pasteboard);
  std::int64_t start = pasteboard->changeCount();
  copyWithXclip(toBytes("one"));
  ASSERT_TRUE(waitForCount(*pasteboard, start + 1));

  auto written = pasteboard->writeText("two");
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, start + 2);
  // xclip's read runs after the notice of our ownership reached the server; our own read after
  // that has seen the notice too.
  EXPECT_EQ(pasteWithXclip("UTF8_STRING"), toBytes("two"));
  readNow(*pasteboard);
  EXPECT_EQ(pasteboard->changeCount(), start + 2) << "our own ownership counted twice";

  copyWithXclip(toBytes("three"));
  ASSERT_TRUE(waitForCount(*pasteboard, start + 3));
  EXPECT_EQ(readNow(*pasteboard)->text, "three");
  EXPECT_EQ(pasteboard->changeCount(), start + 3);
}

TEST_F(X11PasteboardTest, TextLimits) {
  auto pasteboard = open();
  ASSERT_TRUE(pasteboard);
  struct Case {
    std::size_t length;
    std::size_t limit;
    bool tooLong;
  };
  // The last one is larger than xclip's largest single property: it comes by INCR and is cut
  // off part way.
  for (Case c : {Case{999'999, 999'999, false}, Case{1'000'000, 999'999, true},
                 Case{3'000'000, 999'999, true}}) {
    SCOPED_TRACE(c.length);
    std::int64_t before = pasteboard->changeCount();
    copyWithXclip(Bytes(c.length, 'x'));
    ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
    auto contents = readNow(*pasteboard, {.maxTextBytes = c.limit});
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->textTooLong, c.tooLong);
    EXPECT_EQ(contents->text.has_value(), !c.tooLong);
    if (contents->text) {
      EXPECT_EQ(contents->text->size(), c.length);
    }
  }
}

TEST_F(X11PasteboardTest, BigPNGBothWaysThroughINCR) {
  const Bytes& png = bigPNG();
  ASSERT_GT(png.size(), 15'000'000u);
  ASSERT_LE(png.size(), 16'777'216u);
  auto pasteboard = open();
  ASSERT_TRUE(pasteboard);

  std::int64_t before = pasteboard->changeCount();
  copyWithXclip(png, "image/png");
  ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
  auto contents = readNow(*pasteboard);
  ASSERT_TRUE(contents);
  EXPECT_FALSE(contents->text);
  ASSERT_TRUE(contents->png);
  EXPECT_TRUE(*contents->png == png);

  // One byte over the limit is no image at all.
  contents = readNow(*pasteboard, {.maxPNGBytes = png.size() - 1});
  ASSERT_TRUE(contents);
  EXPECT_FALSE(contents->png);

  ASSERT_TRUE(pasteboard->writePNG(png));
  auto pasted = pasteWithXclip("image/png");
  ASSERT_TRUE(pasted);
  EXPECT_TRUE(*pasted == png);
  EXPECT_FALSE(pasteWithXclip("UTF8_STRING")) << "an image owner refuses text";
  EXPECT_EQ(pasteboard->transfersInFlight(), 0u);
}

TEST_F(X11PasteboardTest, ConcealedMarkers) {
  auto pasteboard = open();
  ASSERT_TRUE(pasteboard);
  struct Case {
    std::string marker;
    std::string value;
    bool concealed;
  };
  for (const Case& c : {Case{"x-kde-passwordManagerHint", "secret", true},
                        Case{"org.nspasteboard.ConcealedType", "", true},
                        Case{"org.nspasteboard.TransientType", "", true},
                        Case{"org.nspasteboard.AutoGeneratedType", "", true},
                        Case{"x-kde-passwordManagerHint", "public", false}}) {
    SCOPED_TRACE(c.marker + "=" + c.value);
    std::int64_t before = pasteboard->changeCount();
    TestOwner owner(display(), {{c.marker, toBytes(c.value)}, {"UTF8_STRING", toBytes("hunter2")}});
    ASSERT_TRUE(owner.owns());
    ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
    auto contents = readNow(*pasteboard);
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->concealed, c.concealed);
    EXPECT_EQ(contents->text.has_value(), !c.concealed);
  }
}

TEST_F(X11PasteboardTest, SilentOwnerTimesOutAndTheReaderRecovers) {
  auto pasteboard = open();
  ASSERT_TRUE(pasteboard);
  {
    TestOwner silent(display(), {{"UTF8_STRING", toBytes("never sent")}}, false);
    ASSERT_TRUE(silent.owns());
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(readNow(*pasteboard));
    EXPECT_GE(std::chrono::steady_clock::now() - started, X11Pasteboard::defaultReadTimeout);

    std::int64_t before = pasteboard->changeCount();
    copyWithXclip(toBytes("after the silence"));
    ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
    auto contents = readNow(*pasteboard);
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->text, "after the silence");
  }
}

TEST_F(X11PasteboardTest, OtherImageFormatBecomesPNG) {
  // Through the chooser, which gives the X11 pasteboard libavcodec's decoders.
  auto pasteboard = openPasteboard(display());
  ASSERT_TRUE(pasteboard);
  {
    std::int64_t before = pasteboard->changeCount();
    TestOwner owner(display(), {{"image/bmp", smallBMP()}});
    ASSERT_TRUE(owner.owns());
    ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
    auto contents = readNow(*pasteboard);
    ASSERT_TRUE(contents && contents->png);
    auto picture = decodePNG(*contents->png);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 3u);
    EXPECT_EQ(picture->height, 2u);
    auto pixel = [&](int x, int y) {
      auto at = picture->rgba.begin() + (y * 3 + x) * 4;
      return Bytes(at, at + 4);
    };
    EXPECT_EQ(pixel(0, 0), (Bytes{0xFF, 0, 0, 0xFF}));
    EXPECT_EQ(pixel(2, 0), (Bytes{0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(pixel(0, 1), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(pixel(2, 1), (Bytes{0x80, 0x80, 0x80, 0xFF}));
  }
  {
    // Text wins: the image is not even read.
    std::int64_t before = pasteboard->changeCount();
    TestOwner owner(display(), {{"image/bmp", smallBMP()}, {"UTF8_STRING", toBytes("words")}});
    ASSERT_TRUE(owner.owns());
    ASSERT_TRUE(waitForCount(*pasteboard, before + 1));
    auto contents = readNow(*pasteboard);
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->text, "words");
    EXPECT_FALSE(contents->png);
  }
}

// A requestor that asks for a big image and disconnects after the first INCR step.
void vanishingRequestor(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t window = xcb_generate_id(c);
  std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  auto atom = [&](const char* name) {
    auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    xcb_atom_t a = r->atom;
    std::free(r);
    return a;
  };
  xcb_atom_t property = atom("TEST_INTO");
  xcb_convert_selection(c, window, atom("CLIPBOARD"), atom("image/png"), property,
                        XCB_CURRENT_TIME);
  xcb_flush(c);
  while (auto* event = xcb_wait_for_event(c)) {
    bool notified = (event->response_type & 0x7F) == XCB_SELECTION_NOTIFY;
    std::free(event);
    if (notified) break;
  }
  auto* value = xcb_get_property_reply(
      c, xcb_get_property(c, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr);
  EXPECT_TRUE(value != nullptr && value->type == atom("INCR"));
  std::free(value);
  xcb_disconnect(c);
}

TEST_F(X11PasteboardTest, AbandonedINCRTransferIsDropped) {
  auto pasteboard = open({.transferTimeout = 2s});
  ASSERT_TRUE(pasteboard);
  ASSERT_TRUE(pasteboard->writePNG(Bytes(2'000'000, 0x5A)));
  vanishingRequestor(display());
  ASSERT_EQ(pasteboard->transfersInFlight(), 1u);
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (pasteboard->transfersInFlight() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(pasteboard->transfersInFlight(), 0u);
  EXPECT_EQ(pasteWithXclip("image/png"), Bytes(2'000'000, 0x5A));
}

}  // namespace
}  // namespace ombrel
