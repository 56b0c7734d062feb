#include "OmbrelKit/input_event.h"

#include <gtest/gtest.h>

#include "OmbrelKit/nv_json.h"

namespace ombrel {
namespace {

using E = InputEvent;

struct Form {
  InputEvent event;
  const char* json;
};

class InputEventFormTest : public testing::TestWithParam<Form> {};

TEST_P(InputEventFormTest, EncodesAndDecodes) {
  const auto& [event, json] = GetParam();
  EXPECT_EQ(NVJSON::parse(NVJSON::encode(event)), NVJSON::parse(view(json)));
  auto decoded = NVJSON::tryDecode<InputEvent>(view(json));
  ASSERT_TRUE(decoded.has_value()) << json;
  EXPECT_EQ(*decoded, event) << json;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCase, InputEventFormTest,
    testing::Values(
        Form{{E::MoveTo{0.25, 1}}, R"({"moveTo":{"x":0.25,"y":1.0}})"},
        Form{{E::MoveBy{-3, 4.5}}, R"({"moveBy":{"dx":-3.0,"dy":4.5}})"},
        Form{{E::Button{MouseButton::left, true}}, R"({"button":{"_0":0,"down":true}})"},
        Form{{E::Button{MouseButton::middle, false}}, R"({"button":{"_0":2,"down":false}})"},
        Form{{E::Scroll{0, -12, ScrollPhase::momentum}},
             R"({"scroll":{"dx":0.0,"dy":-12.0,"phase":4}})"},
        Form{{E::Key{0xE1, true}}, R"({"key":{"hid":225,"down":true}})"},
        Form{{E::Text{"中文 ok"}}, R"({"text":{"_0":"中文 ok"}})"},
        Form{{E::Magnify{0.5}}, R"({"magnify":{"_0":0.5}})"},
        Form{{E::Pen{0.5, 0.5, 0.8, -0.2, 0.3, 1}},
             R"({"pen":{"x":0.5,"y":0.5,"pressure":0.8,"tiltX":-0.2,"tiltY":0.3,"phase":1}})"},
        Form{{E::ReleaseAll{}}, R"({"releaseAll":{}})"}));

TEST(InputEventTest, ReleaseAllIsOneKeyWithEmptyObject) {
  auto j = NVJSON::parse(NVJSON::encode(InputEvent{E::ReleaseAll{}}));
  ASSERT_EQ(j.size(), 1u);
  EXPECT_EQ(j["releaseAll"], NVJSON::Json::object());
}

TEST(InputEventTest, WrongNumberOfKeysFailsWithItsText) {
  for (const char* json : {
           R"({})",
           R"({"moveTo":{"x":0,"y":0},"moveBy":{"dx":0,"dy":0}})",
       }) {
    try {
      NVJSON::decode<InputEvent>(view(json));
      ADD_FAILURE() << json;
    } catch (const NVError& e) {
      EXPECT_EQ(e, NVError::invalid("Invalid number of keys found, expected one.")) << json;
    }
  }
}

TEST(InputEventTest, MalformedEventsFail) {
  for (const char* json : {
           R"({"teleport":{"x":0,"y":0}})",       // unknown case
           R"({"button":{"_0":3,"down":true}})",  // no such button
           R"({"button":{"_0":-1,"down":true}})",
           R"({"scroll":{"dx":0,"dy":0,"phase":5}})",  // no such phase
           R"({"key":{"hid":65536,"down":true}})",     // beyond UInt16
           R"({"key":{"hid":4}})",                     // missing field
           R"({"moveTo":{"x":"0","y":0}})",            // mistyped
           R"({"pen":{"x":0,"y":0,"pressure":1,"tiltX":0,"tiltY":0,"phase":0.5}})",
           R"({"releaseAll":[]})",  // value must be an object
           R"({"text":"hello"})",
           R"(["moveTo"])",
       }) {
    EXPECT_FALSE(NVJSON::tryDecode<InputEvent>(view(json))) << json;
  }
  // Extra keys inside a case's object are ignored like everywhere else.
  EXPECT_TRUE(NVJSON::tryDecode<InputEvent>(view(R"({"releaseAll":{"why":"reset"}})")));
}

}  // namespace
}  // namespace ombrel
