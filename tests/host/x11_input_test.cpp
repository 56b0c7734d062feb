// The injector on a real X server: what a plain Xlib client receives.
// GoogleTest before Xlib: Xlib's macros (None, Bool, Status) would break its templates.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/keysym.h>
// clang-format on

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "OmbrelKit/mac_key_map.h"
#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/linux/x11/linux_key_map.h"
#include "Ombrel_Remote_Host/linux/x11/spare_keycode_pool.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"
#include "base/log.h"
#include "host/x_test_server.h"

namespace ombrel {
namespace {

using xtest::SeenEvent;

class X11InputTest : public xtest::InjectorOnXvfbTest {
 protected:
  void SetUp() override {
    InjectorOnXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    window = std::make_unique<xtest::XTestWindow>(server->display());
    ASSERT_TRUE(window->display());
    injector->onPost = [this](const PostedEvent& e) { posted.push_back(e); };
  }

  // True when nothing reached the window before a marker key sent now (the a key).
  bool nothingArrives() {
    sink->key(0x04, true);
    sink->key(0x04, false);
    sink->flush();
    const auto keys = window->collect({KeyPress, ButtonPress}, 1);
    return keys.size() == 1 && keys[0].keycode == 38;
  }

  std::unique_ptr<xtest::XTestWindow> window;
  std::vector<PostedEvent> posted;
};

TEST_F(X11InputTest, UsagesPressTheKeysOfTheEvdevKeymap) {
  struct Case {
    uint16_t usage;
    std::optional<unsigned> keycode;
    KeySym keysym = NoSymbol;
  };
  const Case cases[] = {
      {0x04, 38, XK_a},
      {0x1E, 10, XK_1},
      {0x28, 36, XK_Return},
      {0x2A, 22, XK_BackSpace},
      // US backslash and the non-US hash key are one key.
      {0x31, 51, XK_backslash},
      {0x32, 51, XK_backslash},
      {0x3A, 67, XK_F1},
      {0x4F, 114, XK_Right},
      {0xE0, 37, XK_Control_L},
      {0xE7, 134, XK_Super_R},
      // Print screen has no key, nor do usages outside the keyboard's table.
      {0x46, std::nullopt},
      {0x00, std::nullopt},
      {0xE8, std::nullopt},
  };
  for (const Case& c : cases) {
    window->clear();
    const auto reported = sink->key(c.usage, true);
    sink->key(c.usage, false);
    sink->flush();
    EXPECT_EQ(reported, c.keycode) << std::hex << c.usage;
    if (!c.keycode) {
      EXPECT_TRUE(nothingArrives()) << std::hex << c.usage;
      continue;
    }
    const auto keys = window->collect({KeyPress}, 1);
    ASSERT_EQ(keys.size(), 1u) << std::hex << c.usage;
    EXPECT_EQ(keys[0].keycode, *c.keycode) << std::hex << c.usage;
    EXPECT_EQ(keys[0].keysym, c.keysym) << std::hex << c.usage;
  }
}

TEST_F(X11InputTest, ButtonsAndWheelTurnsArriveAsCoreButtonNumbers) {
  struct Case {
    std::optional<PointerButton> button;  // else a wheel turn
    WheelAxis axis = WheelAxis::vertical;
    int steps = 0;
    unsigned expected = 0;
  };
  const Case cases[] = {
      {PointerButton::left, {}, 0, 1},
      {PointerButton::middle, {}, 0, 2},
      {PointerButton::right, {}, 0, 3},
      {std::nullopt, WheelAxis::vertical, 2, 4},
      {std::nullopt, WheelAxis::vertical, -1, 5},
      {std::nullopt, WheelAxis::horizontal, 1, 6},
      {std::nullopt, WheelAxis::horizontal, -3, 7},
  };
  injector->moveTo(0.5, 0.5);
  for (const Case& c : cases) {
    window->clear();
    std::optional<ReportedCode> reported;
    if (c.button) {
      reported = sink->button(*c.button, true);
      sink->button(*c.button, false);
    } else {
      reported = sink->wheel(c.axis, c.steps);
    }
    sink->flush();
    EXPECT_EQ(reported, c.expected);
    const std::size_t presses = c.button ? 1 : std::abs(c.steps);
    const auto seen = window->collect({ButtonPress, ButtonRelease}, 2 * presses);
    ASSERT_EQ(seen.size(), 2 * presses) << c.expected;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].type, i % 2 ? ButtonRelease : ButtonPress) << c.expected;
      EXPECT_EQ(seen[i].button, c.expected);
    }
  }
  window->clear();
  EXPECT_FALSE(sink->wheel(WheelAxis::vertical, 0));
  EXPECT_TRUE(nothingArrives());
}

TEST_F(X11InputTest, CharactersTypeTheirKeysymWhateverTheLayout) {
  struct Case {
    char32_t codePoint;
    KeySym keysym;  // NoSymbol: nothing to type
  };
  const Case cases[] = {
      {U'a', 0x1000061},  {U'\u20AC', 0x10020AC}, {U'\n', XK_Return},
      {U'\r', XK_Return}, {U'\t', XK_Tab},        {0x01, NoSymbol},
      {0x7F, NoSymbol},   {0x9F, NoSymbol},       {U'\u00A0', 0x10000A0},
  };
  for (const Case& c : cases) {
    window->clear();
    const auto reported = sink->character(c.codePoint);
    sink->flush();
    if (c.keysym == NoSymbol) {
      EXPECT_FALSE(reported) << std::hex << static_cast<unsigned>(c.codePoint);
      EXPECT_TRUE(nothingArrives()) << std::hex << static_cast<unsigned>(c.codePoint);
      continue;
    }
    const auto keys = window->collect({KeyPress, KeyRelease}, 2);
    ASSERT_EQ(keys.size(), 2u) << std::hex << static_cast<unsigned>(c.codePoint);
    EXPECT_EQ(keys[0].type, KeyPress);
    EXPECT_EQ(keys[0].keysym, c.keysym) << std::hex << static_cast<unsigned>(c.codePoint);
    EXPECT_EQ(reported, keys[0].keycode);
    EXPECT_EQ(keys[1].type, KeyRelease);
    EXPECT_EQ(keys[1].keycode, keys[0].keycode);
  }
}

TEST_F(X11InputTest, MoveToTheFarCornerLandsOnTheLastPixel) {
  injector->moveTo(1.0, 1.0);
  const auto requested = injector->requestedCursor();
  ASSERT_TRUE(requested);
  EXPECT_DOUBLE_EQ(requested->x, 0.9999 * 1920);  // 1919.808: short of the edge
  EXPECT_DOUBLE_EQ(requested->y, 0.9999 * 1080);
  const auto moves = window->collect({MotionNotify}, 1);
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(moves.back().x, 1919);
  EXPECT_EQ(moves.back().y, 1079);
  EXPECT_EQ(sink->pointerLocation(), (InputPoint{1919, 1079}));
}

TEST_F(X11InputTest, ClicksArriveWhereTheyWereMadeAndCountAsTheDesktopWould) {
  struct Step {
    double x;
    MouseButton button;
    int clickState;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"double click", {{400, MouseButton::left, 1}, {407, MouseButton::left, 2}}},
      {"right between",
       {{400, MouseButton::left, 1}, {403, MouseButton::right, 1}, {407, MouseButton::left, 1}}},
  };
  for (const Case& c : cases) {
    injector->setDisplayBounds({0, 0, 1920, 1080});
    window->clear();
    posted.clear();
    for (const Step& s : c.steps) {
      clock.advance(0.1);
      injector->moveTo(s.x / 1920, 0.5);
      injector->button(s.button, true);
      injector->button(s.button, false);
      EXPECT_EQ(posted.back().clickState, s.clickState) << c.name << " at " << s.x;
    }
    const auto presses = window->collect({ButtonPress}, c.steps.size());
    ASSERT_EQ(presses.size(), c.steps.size()) << c.name;
    for (std::size_t i = 0; i < presses.size(); ++i) {
      EXPECT_EQ(presses[i].x, static_cast<int>(c.steps[i].x)) << c.name;
      EXPECT_EQ(presses[i].y, 540) << c.name;
      EXPECT_EQ(presses[i].button, c.steps[i].button == MouseButton::left ? 1u : 3u);
    }
    // Move on so the next case starts a fresh click sequence.
    injector->setDisplayBounds({0, 0, 1920, 1079});
  }
}

TEST_F(X11InputTest, ShiftAndAArriveAsCapitalA) {
  injector->key(0xE1, true);
  injector->key(0x04, true);
  injector->key(0x04, false);
  injector->key(0xE1, false);
  const auto keys = window->collect({KeyPress}, 2);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].keysym, static_cast<KeySym>(XK_Shift_L));
  EXPECT_EQ(keys[1].keysym, static_cast<KeySym>(XK_A));
  EXPECT_TRUE(keys[1].state & ShiftMask);
}

TEST_F(X11InputTest, UnicodeTextArrivesIntact) {
  // 中文é😀, then more of the same so keycodes are reused from the pool.
  const std::string text = "\xE4\xB8\xAD\xE6\x96\x87\xC3\xA9\xF0\x9F\x98\x80";
  injector->text(text);
  injector->text(text);
  const auto keys = window->collect({KeyPress}, 8);
  std::vector<KeySym> received;
  for (const SeenEvent& e : keys) received.push_back(e.keysym);
  const std::vector<KeySym> one = {0x1004E2D, 0x1006587, 0x10000E9, 0x101F600};
  std::vector<KeySym> expected = one;
  expected.insert(expected.end(), one.begin(), one.end());
  EXPECT_EQ(received, expected);
}

TEST_F(X11InputTest, ReleaseAllLetsGoOfAHeldButtonAndCommand) {
  injector->moveTo(0.5, 0.5);
  injector->button(MouseButton::left, true);
  injector->key(0xE3, true);  // command: the Super key
  window->collect({ButtonPress, KeyPress}, 2);
  window->clear();
  injector->releaseAll();
  const auto releases = window->collect({ButtonRelease, KeyRelease}, 2);
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(releases[0].type, ButtonRelease);
  EXPECT_EQ(releases[0].button, 1u);
  EXPECT_EQ(releases[1].type, KeyRelease);
  EXPECT_EQ(releases[1].keycode, 133u);
  // The server agrees that nothing is held any more.
  Window root, child;
  int rx, ry, wx, wy;
  unsigned mask = 0;
  XQueryPointer(window->display(), DefaultRootWindow(window->display()), &root, &child, &rx, &ry,
                &wx, &wy, &mask);
  EXPECT_EQ(mask & (Button1Mask | Mod4Mask), 0u);
}

TEST_F(X11InputTest, SlowScrollingStillTurnsTheWheel) {
  injector->moveTo(0.5, 0.5);
  injector->scroll(0, 20, ScrollPhase::began);
  injector->scroll(0, 20, ScrollPhase::changed);
  injector->scroll(0, 20, ScrollPhase::changed);   // 60 pixels: one click up
  injector->scroll(-60, 0, ScrollPhase::changed);  // one click right
  const auto presses = window->collect({ButtonPress}, 2);
  ASSERT_EQ(presses.size(), 2u);
  EXPECT_EQ(presses[0].button, 4u);
  EXPECT_EQ(presses[1].button, 7u);
}

TEST_F(X11InputTest, DoubleClickTimeComesFromTheXSettingsManager) {
  EXPECT_FALSE(sink->doubleClickInterval());
  // Become the XSETTINGS manager with Net/DoubleClickTime = 250 (little-endian layout).
  Display* d = window->display();
  const Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom settings = XInternAtom(d, "_XSETTINGS_SETTINGS", False);
  const std::string name = "Net/DoubleClickTime";
  std::vector<unsigned char> data = {0, 0, 0,
                                     0, 1, 0,
                                     0, 0, 1,
                                     0, 0, 0,  // order, serial, count
                                     0, 0, static_cast<unsigned char>(name.size()),
                                     0};
  data.insert(data.end(), name.begin(), name.end());
  data.resize(data.size() + (4 - name.size() % 4) % 4);
  for (unsigned char b : {0, 0, 0, 0, 250, 0, 0, 0}) data.push_back(b);
  XChangeProperty(d, owner, settings, settings, 8, PropModeReplace, data.data(),
                  static_cast<int>(data.size()));
  XSetSelectionOwner(d, XInternAtom(d, "_XSETTINGS_S0", False), owner, CurrentTime);
  XSync(d, False);
  EXPECT_EQ(sink->doubleClickInterval(), 0.25);
  XDestroyWindow(d, owner);  // the selection goes with it
  XSync(d, False);
  EXPECT_FALSE(sink->doubleClickInterval());
}

TEST_F(X11InputTest, LentKeycodesAreClearedWhenTheSinkGoesAway) {
  injector->text("\xE2\x82\xAC");  // €
  const auto keys = window->collect({KeyPress}, 1);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].keysym, 0x10020ACu);
  injector.reset();
  sink.reset();
  int perKeycode = 0;
  KeySym* syms = XGetKeyboardMapping(window->display(), keys[0].keycode, 1, &perKeycode);
  ASSERT_TRUE(syms);
  for (int i = 0; i < perKeycode; ++i) EXPECT_EQ(syms[i], static_cast<KeySym>(NoSymbol));
  XFree(syms);
}

TEST(SpareKeycodePoolTest, KeepsKeysymsMappedAndRecyclesTheLeastRecentlyUsed) {
  SpareKeycodePool pool({100, 101});
  auto assign = [&](uint32_t keysym) {
    auto a = pool.assign(keysym);
    return a ? std::pair{a->keycode, a->remap} : std::pair{0u, false};
  };
  EXPECT_EQ(assign('a'), std::pair(100u, true));
  EXPECT_EQ(assign('b'), std::pair(101u, true));
  EXPECT_EQ(assign('a'), std::pair(100u, false));  // still mapped: no change, now most recent
  EXPECT_EQ(assign('c'), std::pair(101u, true));   // 'b' was used least recently
  EXPECT_EQ(assign('a'), std::pair(100u, false));
  EXPECT_EQ(pool.lentKeycodes(), (std::vector<unsigned>{100, 101}));
  EXPECT_FALSE(SpareKeycodePool().assign('a').has_value());
}

TEST(LinuxKeyMapTest, CoversTheClientsKeysWithDistinctCodesSaveTheBackslashTwins) {
  // Exactly the keys of the protocol's reference table: a key works here iff it has a key
  // code there.
  std::vector<uint16_t> reference;
  for (const auto& entry : MacKeyMap::entries()) reference.push_back(entry.hid);
  std::sort(reference.begin(), reference.end());
  EXPECT_EQ(std::vector<uint16_t>(LinuxKeyMap::usagesBegin(), LinuxKeyMap::usagesEnd()), reference);
  std::map<uint16_t, uint16_t> seen;
  for (auto u = LinuxKeyMap::usagesBegin(); u != LinuxKeyMap::usagesEnd(); ++u) {
    const auto code = LinuxKeyMap::evdevCode(*u);
    ASSERT_TRUE(code);
    auto [it, fresh] = seen.emplace(*code, *u);
    // US backslash and the non-US hash key are the same key on every layout we serve.
    if (!fresh) {
      EXPECT_TRUE(it->second == 0x31 && *u == 0x32) << std::hex << *u;
    }
  }
  EXPECT_EQ(LinuxKeyMap::xKeycode(0x04), 38u);   // a
  EXPECT_EQ(LinuxKeyMap::xKeycode(0x28), 36u);   // return
  EXPECT_EQ(LinuxKeyMap::xKeycode(0xE7), 134u);  // right GUI
}

}  // namespace
}  // namespace ombrel
