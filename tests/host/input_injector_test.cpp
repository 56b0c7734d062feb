// The injector's rules against a recording sink and a hand-driven clock.
#include "Ombrel_Remote_Host/input/input_injector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "OmbrelKit/nv_json.h"
#include "Ombrel_Remote_Host/input/fake/fake_caret_locator.h"
#include "Ombrel_Remote_Host/input/fake/fake_input_sink.h"
#include "base/bytes.h"
#include "base/log.h"

namespace ombrel {
namespace {

using Call = FakeInputSink::Call;
using Kind = InjectedEvent::Kind;
using T = PostedEvent::Type;

constexpr InputRect kBounds{100, 50, 1920, 1080};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class InjectorTest : public ::testing::Test {
 protected:
  InjectorTest() {
    log::setSink([](std::string_view) {});
    clock.advance(1000);
    make({});
  }
  ~InjectorTest() override { log::setSink({}); }

  void make(FakeInputSink::Config config) {
    sink = std::make_shared<FakeInputSink>(config);
    injector = std::make_unique<InputInjector>(sink, kBounds, clock);
    injector->onPost = [this](const PostedEvent& e) { posted.push_back(e); };
    posted.clear();
  }

  std::vector<PostedEvent> ofType(T type) const {
    std::vector<PostedEvent> out;
    for (const auto& e : posted) {
      if (e.type == type) out.push_back(e);
    }
    return out;
  }

  ManualClock clock;
  std::shared_ptr<FakeInputSink> sink;
  std::unique_ptr<InputInjector> injector;
  std::vector<PostedEvent> posted;
};

TEST_F(InjectorTest, NormalisedCoordinatesMapOntoTheDisplayAndStayOnIt) {
  struct Case {
    double x, y;
    InputPoint expected;
  };
  const Case cases[] = {
      {0, 0, {100, 50}},
      {0.5, 0.25, {100 + 960, 50 + 270}},
      // The far edges: one ten-thousandth short, never the next display's first pixel.
      {1.0, 1.0, {100 + 0.9999 * 1920, 50 + 0.9999 * 1080}},
      {-3, 7, {100, 50 + 0.9999 * 1080}},
      {kNaN, kInf, {100, 50 + 0.9999 * 1080}},
      {-kInf, kNaN, {100, 50}},
  };
  for (const Case& c : cases) {
    posted.clear();
    injector->moveTo(c.x, c.y);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, T::mouseMoved);
    EXPECT_DOUBLE_EQ(posted[0].location.x, c.expected.x) << c.x;
    EXPECT_DOUBLE_EQ(posted[0].location.y, c.expected.y) << c.y;
    EXPECT_LT(posted[0].location.x, kBounds.maxX());
    EXPECT_LT(posted[0].location.y, kBounds.maxY());
    EXPECT_EQ(sink->callsOf(Call::Kind::move).back().point, c.expected);
  }
}

TEST_F(InjectorTest, OnlyAbsoluteMovesAtTheTopEdgeCarryAnUpwardDelta) {
  injector->moveTo(0.5, 0);
  EXPECT_EQ(posted.back().delta, (InputPoint{0, -8}));
  EXPECT_EQ(sink->callsOf(Call::Kind::move).back().delta, (InputPoint{0, -8}));
  injector->moveTo(0.5, 0.0005);  // 0.54 points below the top: still within one point
  EXPECT_EQ(posted.back().delta, (InputPoint{0, -8}));
  injector->moveTo(0.5, 0.01);
  EXPECT_FALSE(posted.back().delta);
}

TEST_F(InjectorTest, RelativeMovesClampToTheDisplayAndCarryTheRoundedDelta) {
  injector->moveTo(0.5, 0.5);  // (1060, 590)
  injector->moveBy(10.4, -20.6);
  EXPECT_EQ(posted.back().location, (InputPoint{1070.4, 569.4}));
  EXPECT_EQ(posted.back().delta, (InputPoint{10, -21}));
  injector->moveBy(-5000, 5000);
  EXPECT_EQ(posted.back().location, (InputPoint{kBounds.minX(), kBounds.maxY() - 1}));
  injector->moveBy(5000, -5000);
  EXPECT_EQ(posted.back().location, (InputPoint{kBounds.maxX() - 1, kBounds.minY()}));
  injector->moveBy(kNaN, kInf);
  EXPECT_EQ(posted.back().location, (InputPoint{kBounds.maxX() - 1, kBounds.minY()}));
}

TEST_F(InjectorTest, CurrentPointerPrefersARecentRequestThenTheRealPointer) {
  struct Case {
    const char* name;
    bool requested;
    double age;
    bool pointerKnown;
    InputPoint expected;
  };
  const InputPoint real{700, 400};
  const InputPoint requested{100 + 960, 50 + 540};
  const Case cases[] = {
      {"recent request wins over a lagging pointer", true, 0.49, true, requested},
      {"an old request yields to the real pointer", true, 0.5, true, real},
      {"no real pointer: the old request", true, 3, false, requested},
      {"nothing known: the display's origin", false, 0, false, {100, 50}},
  };
  for (const Case& c : cases) {
    make({.pointerKnown = c.pointerKnown, .pointerLocation = real});
    if (c.requested) injector->moveTo(0.5, 0.5);
    clock.advance(c.age);
    injector->moveBy(0, 0);
    EXPECT_EQ(posted.back().location, c.expected) << c.name;
  }
}

TEST_F(InjectorTest, DragsFollowTheHeldButtonInOrderLeftRightMiddle) {
  injector->button(MouseButton::middle, true);
  injector->moveTo(0.1, 0.1);
  EXPECT_EQ(posted.back().type, T::otherMouseDragged);
  injector->button(MouseButton::right, true);
  injector->moveTo(0.2, 0.1);
  EXPECT_EQ(posted.back().type, T::rightMouseDragged);
  injector->button(MouseButton::left, true);
  injector->moveTo(0.3, 0.1);
  EXPECT_EQ(posted.back().type, T::leftMouseDragged);
}

TEST_F(InjectorTest, ClickCountingNeedsTheSameButtonSoonAndClose) {
  struct Press {
    MouseButton button;
    double dx;    // points right of the first press
    double wait;  // seconds since the previous press
    int expected;
  };
  struct Case {
    const char* name;
    std::vector<Press> presses;
  };
  const Case cases[] = {
      {"double then triple",
       {{MouseButton::left, 0, 0, 1},
        {MouseButton::left, 7, 0.2, 2},
        {MouseButton::left, 3, 0.2, 3}}},
      {"another button resets",
       {{MouseButton::left, 0, 0, 1},
        {MouseButton::right, 0, 0.1, 1},
        {MouseButton::left, 7, 0.1, 1}}},
      {"too slow", {{MouseButton::left, 0, 0, 1}, {MouseButton::left, 0, 0.401, 1}}},
      {"too far", {{MouseButton::left, 0, 0, 1}, {MouseButton::left, 9, 0.1, 1}}},
  };
  for (const Case& c : cases) {
    make({});
    for (const Press& p : c.presses) {
      clock.advance(p.wait);
      injector->moveTo((400 + p.dx) / kBounds.width, 0.5);
      injector->button(p.button, true);
      EXPECT_EQ(posted.back().clickState, p.expected) << c.name;
      injector->button(p.button, false);
      EXPECT_EQ(posted.back().clickState, p.expected) << c.name << " (release)";
    }
  }
}

TEST_F(InjectorTest, DoubleClickIntervalComesFromTheDesktopWhenItHasOne) {
  make({.doubleClickInterval = 0.25});
  injector->button(MouseButton::left, true);
  injector->button(MouseButton::left, false);
  clock.advance(0.3);  // within the default 0.4 s, beyond the desktop's 0.25 s
  injector->button(MouseButton::left, true);
  EXPECT_EQ(posted.back().clickState, 1);
}

TEST_F(InjectorTest, ButtonsActWhereTheEventIsAndLogTheClick) {
  std::vector<std::string> lines;
  log::setSink([&](std::string_view l) { lines.emplace_back(l); });
  injector->isScreenLocked = [] { return true; };
  injector->moveTo(0.5, 0.5);
  injector->setRequestedCursor(InputPoint{300.5, 200.25});  // the pointer is elsewhere now
  injector->button(MouseButton::right, true);
  const auto moves = sink->callsOf(Call::Kind::move);
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[1].point, (InputPoint{300.5, 200.25}));
  const auto buttons = sink->callsOf(Call::Kind::button);
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(buttons[0].button, PointerButton::right);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Ombrel Remote: Remote click x=300.500000 y=200.250000 accessibility=true "
            "locked=true");
  EXPECT_EQ(injector->record()->snapshot().back(),
            (InjectedEvent{Kind::buttonPress, FakeInputSink::buttonCode(PointerButton::right),
                           clock.now()}));
}

TEST_F(InjectorTest, ShiftThenAPostsFlagsChangedThenAWithTheShiftFlag) {
  injector->key(0xE1, true);
  injector->key(0x04, true);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].type, T::flagsChanged);
  EXPECT_EQ(posted[0].hidUsage, 0xE1);
  EXPECT_EQ(posted[0].flags, ModifierFlag::shift);
  EXPECT_EQ(posted[1].type, T::keyDown);
  EXPECT_EQ(posted[1].hidUsage, 0x04);
  EXPECT_EQ(posted[1].flags, ModifierFlag::shift);
  const auto keys = sink->callsOf(Call::Kind::key);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_TRUE(keys[0].usage == 0xE1 && keys[0].down && keys[1].usage == 0x04 && keys[1].down);
}

TEST_F(InjectorTest, ModifierFlagsAreTheUnionOfHeldModifiers) {
  const std::pair<uint16_t, uint32_t> cases[] = {
      {0xE0, ModifierFlag::control},   {0xE4, ModifierFlag::control},
      {0xE1, ModifierFlag::shift},     {0xE5, ModifierFlag::shift},
      {0xE2, ModifierFlag::alternate}, {0xE6, ModifierFlag::alternate},
      {0xE3, ModifierFlag::command},   {0xE7, ModifierFlag::command},
  };
  for (auto [usage, flag] : cases) {
    injector->key(usage, true);
    EXPECT_EQ(injector->modifierFlags(), flag) << std::hex << usage;
    injector->key(usage, false);
  }
  injector->key(0xE0, true);
  injector->key(0xE7, true);
  EXPECT_EQ(injector->modifierFlags(), ModifierFlag::control | ModifierFlag::command);
}

TEST_F(InjectorTest, KeysWithoutAKeyPostNothingAndAreNotHeld) {
  const std::set<uint16_t> keyless = {0x46, 0x47, 0x48, 0x00, 0x65, 0xFF, 0xE8};
  make({.keyless = keyless});
  for (uint16_t usage : keyless) injector->key(usage, true);
  EXPECT_TRUE(injector->keysDown().empty());
  injector->releaseAll();
  for (uint16_t usage : keyless) injector->key(usage, false);
  EXPECT_TRUE(posted.empty());
  EXPECT_TRUE(sink->callsOf(Call::Kind::key).empty());
  EXPECT_TRUE(injector->record()->snapshot().empty());
}

TEST_F(InjectorTest, TextGoesOutInChunksOfSixteenUnitsNeverSplittingACharacter) {
  struct Case {
    std::string text;
    std::vector<std::size_t> chunks;
    std::size_t characters;
  };
  const Case cases[] = {
      {std::string(40, 'x'), {16, 16, 8}, 40},
      // 15 letters and an emoji: a 16-unit piece would end inside the emoji.
      {std::string(15, 'x') + "\xF0\x9F\x98\x80", {15, 2}, 16},
      {"\xE4\xB8\xAD\xE6\x96\x87\xC3\xA9\xF0\x9F\x98\x80", {5}, 4},
  };
  for (const Case& c : cases) {
    make({});
    injector->text(c.text);
    std::vector<std::size_t> downs;
    for (const auto& e : ofType(T::keyDown)) {
      downs.push_back(e.text.size());
      EXPECT_EQ(e.flags, 0u);
    }
    EXPECT_EQ(downs, c.chunks) << c.text;
    EXPECT_EQ(ofType(T::keyUp).size(), c.chunks.size());
    EXPECT_EQ(sink->callsOf(Call::Kind::character).size(), c.characters);
  }
}

TEST_F(InjectorTest, TextTypesEachCharacterOnceWithEveryLineBreakANewline) {
  struct Case {
    std::string text;
    std::u32string typed;
  };
  const Case cases[] = {
      {"a\xC3\xA9\xF0\x9F\x98\x80", U"a\u00E9\U0001F600"},
      // CR LF is one line break, a lone CR or LF is one too.
      {"a\r\nb\rc\nd\n\n", U"a\nb\nc\nd\n\n"},
      // Tabs type; other control characters (C0, DEL, C1) have nothing to type.
      {"\t\x01\x1B\x7F\xC2\x80\xC2\x9F\xC2\xA0x", U"\t\u00A0x"},
  };
  for (const Case& c : cases) {
    make({});
    injector->text(c.text);
    std::u32string typed;
    for (const Call& k : sink->callsOf(Call::Kind::character)) typed.push_back(k.codePoint);
    EXPECT_EQ(typed, c.typed) << c.text;
  }
}

TEST_F(InjectorTest, TextLetsHeldModifiersGoWhileTyping) {
  injector->key(0xE0, true);  // control
  sink->calls.clear();
  injector->text("c");
  std::vector<Call> keys;
  for (const Call& k : sink->calls) {
    if (k.kind == Call::Kind::key || k.kind == Call::Kind::character) keys.push_back(k);
  }
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_TRUE(keys[0].kind == Call::Kind::key && keys[0].usage == 0xE0 && !keys[0].down);
  EXPECT_TRUE(keys[1].kind == Call::Kind::character && keys[1].codePoint == U'c');
  EXPECT_TRUE(keys[2].kind == Call::Kind::key && keys[2].usage == 0xE0 && keys[2].down);
  EXPECT_EQ(injector->modifiersDown(), (std::set<uint16_t>{0xE0}));
}

TEST_F(InjectorTest, TextThatCannotBeTypedTypesNothingAndSurvives) {
  make({.typesCharacters = false});
  injector->text("abc");
  EXPECT_TRUE(sink->callsOf(Call::Kind::character).empty());
  EXPECT_TRUE(injector->record()->snapshot().empty());
  EXPECT_EQ(ofType(T::keyDown).size(), 1u);
}

TEST_F(InjectorTest, ScrollPhasesAreRecordedAndPixelsBecomeWheelClicks) {
  struct Case {
    ScrollPhase phase;
    int scrollPhase, momentumPhase;
  };
  const Case cases[] = {{ScrollPhase::none, 0, 0},
                        {ScrollPhase::began, 1, 0},
                        {ScrollPhase::changed, 2, 0},
                        {ScrollPhase::ended, 4, 0},
                        {ScrollPhase::momentum, 0, 2}};
  for (const Case& c : cases) {
    injector->scroll(-2.6, 3.5, c.phase);
    EXPECT_EQ(posted.back().type, T::scrollWheel);
    EXPECT_EQ(posted.back().wheel1, 4);
    EXPECT_EQ(posted.back().wheel2, -3);
    EXPECT_TRUE(posted.back().continuous);
    EXPECT_EQ(posted.back().scrollPhase, c.scrollPhase);
    EXPECT_EQ(posted.back().momentumPhase, c.momentumPhase);
  }
  injector->scroll(kInf, -1e300, ScrollPhase::none);
  EXPECT_EQ(posted.back().wheel1, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(posted.back().wheel2, 0);
}

TEST_F(InjectorTest, SlowScrollsAccumulateIntoClicksAndGesturesDropTheirRemainder) {
  // The steps of every wheel call on one axis (positive: up, left).
  auto turns = [&](WheelAxis axis) {
    std::vector<int> out;
    for (const Call& w : sink->callsOf(Call::Kind::wheel)) {
      if (w.axis == axis) out.push_back(w.steps);
    }
    return out;
  };
  const auto V = WheelAxis::vertical, H = WheelAxis::horizontal;
  injector->scroll(0, 10, ScrollPhase::began);
  for (int i = 0; i < 9; ++i) injector->scroll(0, 10, ScrollPhase::changed);
  EXPECT_EQ(turns(V), std::vector<int>{1});  // 100 pixels
  injector->scroll(0, 10, ScrollPhase::ended);
  injector->scroll(0, 10, ScrollPhase::began);  // 110 then 10: the old remainder is gone
  EXPECT_EQ(turns(V), (std::vector<int>{1, 1}));
  sink->calls.clear();
  injector->scroll(0, 50, ScrollPhase::began);
  injector->scroll(0, -110, ScrollPhase::changed);  // 50 - 110 = -60: one click down
  injector->scroll(-60, 0, ScrollPhase::changed);   // right
  EXPECT_EQ(turns(V), std::vector<int>{-1});
  EXPECT_EQ(turns(H), std::vector<int>{-1});
  sink->calls.clear();
  injector->scroll(1e9, -1e12, ScrollPhase::none);  // a hostile delta is bounded
  EXPECT_EQ(turns(V), std::vector<int>{-WheelAccumulator::maxClicksPerEvent});
  EXPECT_EQ(turns(H), std::vector<int>{WheelAccumulator::maxClicksPerEvent});
  sink->calls.clear();
  injector->scroll(0, 1, ScrollPhase::none);
  EXPECT_TRUE(sink->callsOf(Call::Kind::wheel).empty());
}

TEST_F(InjectorTest, TheRecordKeepsTheCodesTheDesktopReportsInOrder) {
  injector->moveTo(0.5, 0.5);
  injector->key(0x04, true);
  injector->key(0x04, false);
  injector->text("\xC3\xA9");
  injector->scroll(0, 60, ScrollPhase::began);
  injector->button(MouseButton::middle, true);
  std::vector<std::pair<Kind, unsigned>> recorded;
  for (const InjectedEvent& e : injector->record()->snapshot()) {
    EXPECT_EQ(e.time, clock.now());
    recorded.emplace_back(e.kind, e.detail);
  }
  const unsigned a = FakeInputSink::keyCode(0x04), e = FakeInputSink::characterCode(U'\u00E9');
  const unsigned up = FakeInputSink::wheelCode(WheelAxis::vertical, 1);
  const unsigned middle = FakeInputSink::buttonCode(PointerButton::middle);
  EXPECT_EQ(recorded, (std::vector<std::pair<Kind, unsigned>>{{Kind::motion, 0},
                                                              {Kind::keyPress, a},
                                                              {Kind::keyRelease, a},
                                                              {Kind::keyPress, e},
                                                              {Kind::keyRelease, e},
                                                              {Kind::buttonPress, up},
                                                              {Kind::buttonRelease, up},
                                                              {Kind::buttonPress, middle}}));
}

// The owner's guard reads "typing" from the record: a wheel step is remote input, but it puts
// no text anywhere, whatever code the desktop reports it under; a middle click can paste.
TEST_F(InjectorTest, AWheelStepIsRemoteInputButNotTyping) {
  injector->scroll(0, 60, ScrollPhase::began);
  injector->scroll(-60, 0, ScrollPhase::changed);
  const InjectionRecord::Activity scrolled = injector->record()->activity();
  EXPECT_EQ(scrolled.lastEvent, clock.now());
  EXPECT_EQ(scrolled.lastTyping, std::nullopt);
  clock.advance(1.0);
  injector->button(MouseButton::middle, true);
  EXPECT_EQ(injector->record()->activity().lastTyping, clock.now());
}

TEST_F(InjectorTest, PenStrokesPressMoveAndReleaseTheLeftButton) {
  injector->pen(0.5, 0.5, 0.7, 2, -0.5, 1);
  injector->pen(0.6, 0.5, 1.8, -3, 0.25, 2);
  injector->pen(0.6, 0.5, 0.7, 0, 0, 3);
  injector->pen(0.7, 0.5, -1, 0, 0, 2);
  ASSERT_EQ(posted.size(), 4u);
  const PostedEvent& down = posted[0];
  EXPECT_EQ(down.type, T::leftMouseDown);
  EXPECT_TRUE(down.tabletPoint);
  EXPECT_EQ(down.clickState, 1);
  EXPECT_DOUBLE_EQ(down.pressure, 0.7);
  EXPECT_DOUBLE_EQ(down.tiltX, 1);
  EXPECT_DOUBLE_EQ(down.tiltY, -0.5);
  EXPECT_EQ(posted[1].type, T::leftMouseDragged);
  EXPECT_DOUBLE_EQ(posted[1].pressure, 1);
  EXPECT_DOUBLE_EQ(posted[1].tiltX, -1);
  EXPECT_EQ(posted[2].type, T::leftMouseUp);
  EXPECT_DOUBLE_EQ(posted[2].pressure, 0);
  EXPECT_EQ(posted[3].type, T::mouseMoved);
  EXPECT_DOUBLE_EQ(posted[3].pressure, 0);
  const auto buttons = sink->callsOf(Call::Kind::button);
  ASSERT_EQ(buttons.size(), 2u);
  EXPECT_TRUE(buttons[0].down && !buttons[1].down && buttons[0].button == PointerButton::left);
  EXPECT_EQ(sink->callsOf(Call::Kind::move).back().point, (InputPoint{100 + 0.7 * 1920, 590}));
}

TEST_F(InjectorTest, ReleaseAllLetsGoOfHeldButtonsKeysAndModifiers) {
  injector->button(MouseButton::left, true);
  injector->key(0xE3, true);  // command
  injector->key(0x05, true);  // b, released by the client
  injector->key(0x05, false);
  injector->key(0x04, true);  // a, still held: X would repeat it forever
  posted.clear();
  sink->calls.clear();
  injector->releaseAll();
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0].type, T::leftMouseUp);
  EXPECT_EQ(posted[0].clickState, 1);
  EXPECT_EQ(posted[0].flags, ModifierFlag::command);  // still held while the button goes up
  EXPECT_EQ(posted[1].type, T::keyUp);
  EXPECT_EQ(posted[1].hidUsage, 0x04);
  EXPECT_EQ(posted[2].type, T::flagsChanged);
  EXPECT_EQ(posted[2].hidUsage, 0xE3);
  EXPECT_EQ(posted[2].flags, 0u);
  const auto keys = sink->callsOf(Call::Kind::key);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_FALSE(keys[0].down || keys[1].down);
  EXPECT_TRUE(keys[0].usage == 0x04 && keys[1].usage == 0xE3);
  EXPECT_TRUE(injector->buttonsDown().empty());
  EXPECT_TRUE(injector->modifiersDown().empty());
  EXPECT_TRUE(injector->keysDown().empty());
  injector->releaseAll();
  EXPECT_EQ(posted.size(), 3u);
}

TEST_F(InjectorTest, ReleaseAllLetsGoOfEachHeldKeyOnceInTheDesktopsOrder) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint16_t, bool>> keys;
    std::vector<uint16_t> released;
  };
  // US backslash and non-US hash are one key (0x20); c comes after them on the desktop.
  const Case cases[] = {
      {"the twin's release lets go of the one key",
       {{0x31, true}, {0x32, true}, {0x06, true}, {0x32, false}},
       {0x06}},
      {"by the desktop's codes, not the usages", {{0x06, true}, {0x31, true}}, {0x31, 0x06}},
  };
  for (const Case& c : cases) {
    make({.keyCodes = {{0x31, 0x20}, {0x32, 0x20}, {0x06, 0x30}}});
    for (auto [usage, down] : c.keys) injector->key(usage, down);
    sink->calls.clear();
    injector->releaseAll();
    std::vector<uint16_t> released;
    for (const Call& k : sink->callsOf(Call::Kind::key)) {
      EXPECT_FALSE(k.down) << c.name;
      released.push_back(k.usage);
    }
    EXPECT_EQ(released, c.released) << c.name;
    EXPECT_TRUE(injector->keysDown().empty()) << c.name;
  }
}

TEST_F(InjectorTest, EveryEventDeclaresUserActivityFirst) {
  int activity = 0;
  injector->onUserActivity = [&] {
    ++activity;
    EXPECT_EQ(posted.size(), static_cast<std::size_t>(activity - 1));
  };
  injector->moveTo(0.1, 0.1);
  injector->key(0x04, true);
  injector->releaseAll();
  EXPECT_EQ(activity, 3);
  EXPECT_EQ(sink->callsOf(Call::Kind::resetIdle).size(), 3u);
}

TEST_F(InjectorTest, NewDisplayBoundsForgetTheRequestedPointerAndClicks) {
  injector->moveTo(0.5, 0.5);
  injector->button(MouseButton::left, true);
  injector->button(MouseButton::left, false);
  injector->setDisplayBounds(kBounds);
  EXPECT_TRUE(injector->requestedCursor());
  injector->setDisplayBounds({0, 0, 800, 600});
  EXPECT_FALSE(injector->requestedCursor());
  injector->setRequestedCursor(InputPoint{1060, 590});
  injector->button(MouseButton::left, true);
  EXPECT_EQ(posted.back().clickState, 1);
}

TEST_F(InjectorTest, CaretNeedsInputControlAndALocator) {
  EXPECT_FALSE(injector->caretRect());
  auto locator = std::make_shared<FakeCaretLocator>();
  locator->caret = InputRect{10, 20, 1, 18};
  injector->setCaretLocator(locator);
  EXPECT_EQ(injector->caretRect(), locator->caret);
  sink->config.canInject = false;
  EXPECT_FALSE(injector->caretRect());
  EXPECT_EQ(locator->queries, 1);
}

TEST_F(InjectorTest, HandleDispatchesEveryCaseOfTheWireMessage) {
  struct Case {
    const char* json;
    std::vector<T> posted;
  };
  const Case cases[] = {
      {R"({"moveTo":{"x":0.5,"y":0.5}})", {T::mouseMoved}},
      {R"({"moveBy":{"dx":3,"dy":-2}})", {T::mouseMoved}},
      {R"({"button":{"_0":2,"down":true}})", {T::otherMouseDown}},
      {R"({"button":{"_0":2,"down":false}})", {T::otherMouseUp}},
      {R"({"scroll":{"dx":0,"dy":-4,"phase":1}})", {T::scrollWheel}},
      {R"({"key":{"hid":225,"down":true}})", {T::flagsChanged}},
      {R"({"text":{"_0":"hi"}})", {T::keyDown, T::keyUp}},
      {R"({"magnify":{"_0":1.5}})", {}},
      {R"({"pen":{"x":0.1,"y":0.1,"pressure":0.5,"tiltX":0,"tiltY":0,"phase":1}})",
       {T::leftMouseDown}},
      {R"({"releaseAll":{}})", {T::leftMouseUp, T::flagsChanged}},
  };
  int activity = 0;
  injector->onUserActivity = [&] { ++activity; };
  for (const Case& c : cases) {
    posted.clear();
    injector->handle(NVJSON::decode<InputEvent>(toBytes(c.json)));
    std::vector<T> types;
    for (const auto& e : posted) types.push_back(e.type);
    EXPECT_EQ(types, c.posted) << c.json;
  }
  EXPECT_EQ(activity, static_cast<int>(std::size(cases)));
  EXPECT_EQ(posted[0].mouseButton, 0);
  EXPECT_EQ(posted[0].flags, ModifierFlag::shift);
}

TEST(InjectionRecordTest, ClaimMatchesTheOldestFreshEntryAndDropsWhatCameBefore) {
  using K = InjectedEvent::Kind;
  InjectionRecord record(4);
  record.add({K::motion, 0, 10.0});
  record.add({K::buttonPress, 1, 10.1});
  record.add({K::buttonRelease, 1, 10.2});
  EXPECT_FALSE(record.claim(K::buttonPress, 3, 10.3));  // another button
  EXPECT_TRUE(record.claim(K::buttonPress, 1, 10.3));
  EXPECT_EQ(record.snapshot(), (std::vector<InjectedEvent>{{K::buttonRelease, 1, 10.2}}));
  EXPECT_FALSE(record.claim(K::buttonRelease, 1, 10.71));  // older than half a second
  EXPECT_TRUE(record.snapshot().empty());
  for (int i = 0; i < 6; ++i) record.add({K::keyPress, static_cast<unsigned>(i), 20.0});
  EXPECT_EQ(record.snapshot().size(), 4u);
  EXPECT_FALSE(record.claim(K::keyPress, 1, 20.0));  // fell off the front
  EXPECT_TRUE(record.claim(K::keyPress, 5, 20.0));
}

}  // namespace
}  // namespace ombrel
