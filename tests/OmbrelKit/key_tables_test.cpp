#include <gtest/gtest.h>

#include "OmbrelKit/hid.h"
#include "OmbrelKit/mac_key_map.h"
#include "OmbrelKit/quality_preset.h"

namespace ombrel {
namespace {

TEST(MacKeyMapTest, ExactlyTheListedUsagesHaveKeys) {
  int withKey = 0;
  for (int usage = 0; usage <= 0xFFFF; ++usage) {
    if (MacKeyMap::virtualKey(static_cast<std::uint16_t>(usage))) ++withKey;
  }
  EXPECT_EQ(withKey, 118);
  EXPECT_EQ(MacKeyMap::entries().size(), 118u);
  for (const auto& entry : MacKeyMap::entries()) {
    EXPECT_EQ(MacKeyMap::virtualKey(entry.hid), entry.virtualKey) << entry.hid;
  }
}

TEST(MacKeyMapTest, IrregularCodes) {
  const std::pair<std::uint16_t, std::optional<std::uint16_t>> table[] = {
      {0x04, 0},   {0x05, 11},  {0x1D, 6},  {0x1E, 18},  {0x23, 22},  {0x27, 29},
      {0x28, 36},  {0x31, 42},  {0x32, 42}, {0x3A, 122}, {0x45, 111}, {0x49, 114},
      {0x4C, 117}, {0x52, 126}, {0x63, 65}, {0x64, 10},  {0x67, 81},  {0x68, 105},
      {0x6F, 90},  {0x7F, 74},  {0x87, 94}, {0x89, 93},  {0x91, 102}, {0xE3, 55},
      {0xE7, 54},  {0x00, {}},  {0x03, {}}, {0x46, {}},  {0x47, {}},  {0x48, {}},
      {0x65, {}},  {0x66, {}},  {0x70, {}}, {0xE8, {}},  {0x104, {}}, {0xFFFF, {}},
  };
  for (auto [usage, key] : table) EXPECT_EQ(MacKeyMap::virtualKey(usage), key) << usage;
}

TEST(HIDTest, FunctionKeysAndModifiers) {
  EXPECT_EQ(HID::fKey(1), HID::f1);
  EXPECT_EQ(HID::fKey(12), 0x45);
  EXPECT_EQ(HID::fKey(13), 0x68);
  EXPECT_EQ(HID::fKey(24), 0x73);
  EXPECT_FALSE(HID::fKey(0));
  EXPECT_FALSE(HID::fKey(25));
  EXPECT_FALSE(HID::fKey(-3));
  for (int u : {0xE0, 0xE3, 0xE7}) EXPECT_TRUE(HID::isModifier(static_cast<std::uint16_t>(u)));
  for (int u : {0xDF, 0xE8, 0x1E0, 0x04}) {
    EXPECT_FALSE(HID::isModifier(static_cast<std::uint16_t>(u))) << u;
  }
}

TEST(HIDTest, CharactersOnAUSLayout) {
  using S = HID::Stroke;
  const std::pair<char32_t, std::optional<S>> table[] = {
      {'a', S{0x04, false}},
      {'A', S{0x04, true}},
      {'z', S{0x1D, false}},
      {'Z', S{0x1D, true}},
      {'1', S{0x1E, false}},
      {'9', S{0x26, false}},
      {'0', S{0x27, false}},
      {'!', S{0x1E, true}},
      {'@', S{0x1F, true}},
      {')', S{0x27, true}},
      {'\n', S{0x28, false}},
      {'\r', S{0x28, false}},
      {'\t', S{0x2B, false}},
      {' ', S{0x2C, false}},
      {'-', S{0x2D, false}},
      {'_', S{0x2D, true}},
      {'+', S{0x2E, true}},
      {'{', S{0x2F, true}},
      {'\\', S{0x31, false}},
      {'|', S{0x31, true}},
      {':', S{0x33, true}},
      {'"', S{0x34, true}},
      {'~', S{0x35, true}},
      {'<', S{0x36, true}},
      {'.', S{0x37, false}},
      {'?', S{0x38, true}},
      {U'\0', {}},
      {U'\x7F', {}},
      {U'é', {}},
      {U'中', {}},
  };
  for (auto [c, stroke] : table) EXPECT_EQ(HID::fromCharacter(c), stroke) << int(c);
  // Every printable ASCII character types with a key the host can post.
  for (char32_t c = 0x20; c < 0x7F; ++c) {
    auto stroke = HID::fromCharacter(c);
    ASSERT_TRUE(stroke.has_value()) << int(c);
    EXPECT_TRUE(MacKeyMap::virtualKey(stroke->usage).has_value()) << int(c);
  }
}

TEST(QualityPresetTest, Table) {
  struct Row {
    QualityPreset preset;
    const char* raw;
    const char* title;
    PixelSize size;
    std::int64_t kbps;
  } rows[] = {
      {QualityPreset::native, "native", "原生解析度（最高 6K）", {6144, 3456}, 90'000},
      {QualityPreset::uhd4k, "uhd4k", "4K 超高畫質", {3840, 2400}, 60'000},
      {QualityPreset::qhd, "qhd", "2K 高畫質", {2560, 1600}, 30'000},
      {QualityPreset::fhd, "fhd", "1080p 流暢", {1920, 1200}, 15'000},
      {QualityPreset::saver, "saver", "省流量 720p", {1280, 800}, 4'000},
  };
  ASSERT_EQ(std::size(rows), allQualityPresets.size());
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& r = rows[i];
    EXPECT_EQ(allQualityPresets[i], r.preset);
    EXPECT_EQ(rawValue(r.preset), r.raw);
    EXPECT_EQ(id(r.preset), r.raw);
    EXPECT_EQ(qualityPreset(r.raw), r.preset);
    EXPECT_EQ(title(r.preset), r.title);
    EXPECT_EQ(maxSize(r.preset), r.size);
    EXPECT_EQ(bitrateKbps(r.preset), r.kbps);
  }
  EXPECT_FALSE(qualityPreset("4k"));
}

}  // namespace
}  // namespace ombrel
