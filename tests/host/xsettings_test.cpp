// Reading one integer out of an XSETTINGS property, written by a client we do not control.
#include "Ombrel_Remote_Host/linux/x11/xsettings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrel {
namespace {

class Doc {
 public:
  explicit Doc(bool bigEndian) : be_(bigEndian) {}

  Doc& integer(const std::string& name, int32_t value) {
    header(0, name);
    u32(static_cast<uint32_t>(value));
    ++count_;
    return *this;
  }
  Doc& string(const std::string& name, const std::string& value) {
    header(1, name);
    u32(value.size());
    body_.insert(body_.end(), value.begin(), value.end());
    body_.resize(body_.size() + (4 - value.size() % 4) % 4);
    ++count_;
    return *this;
  }
  Doc& colour(const std::string& name) {
    header(2, name);
    body_.resize(body_.size() + 8, 0x7F);
    ++count_;
    return *this;
  }
  std::vector<uint8_t> bytes() {
    std::vector<uint8_t> out = {uint8_t(be_ ? 1 : 0), 0, 0, 0};
    std::swap(out, body_);
    u32(7);  // serial
    u32(count_);
    std::swap(out, body_);
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
  }

 private:
  void header(uint8_t type, const std::string& name) {
    body_.push_back(type);
    body_.push_back(0);
    const uint16_t n = name.size();
    if (be_) {
      body_.push_back(n >> 8), body_.push_back(n & 0xFF);
    } else {
      body_.push_back(n & 0xFF), body_.push_back(n >> 8);
    }
    body_.insert(body_.end(), name.begin(), name.end());
    body_.resize(body_.size() + (4 - name.size() % 4) % 4);
    u32(0);  // last change serial
  }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) body_.push_back(uint8_t(v >> (be_ ? 24 - 8 * i : 8 * i)));
  }

  bool be_;
  uint32_t count_ = 0;
  std::vector<uint8_t> body_;
};

TEST(XSettingsTest, FindsTheIntegerPastOtherSettingsInEitherByteOrder) {
  for (bool be : {false, true}) {
    auto data = Doc(be)
                    .string("Net/ThemeName", "Adwaita")
                    .colour("Gtk/Colour")
                    .integer("Net/DoubleClick", 1)
                    .integer("Net/DoubleClickTime", 320)
                    .bytes();
    EXPECT_EQ(XSettings::integer(data, "Net/DoubleClickTime"), 320) << be;
    EXPECT_EQ(XSettings::integer(data, "Net/DoubleClick"), 1) << be;
    EXPECT_FALSE(XSettings::integer(data, "Net/ThemeName")) << "a string is no integer";
    EXPECT_FALSE(XSettings::integer(data, "Net/CursorBlinkTime"));
  }
}

TEST(XSettingsTest, MalformedDataGivesNothing) {
  const auto good = Doc(false).string("Net/ThemeName", "Adwaita").integer("Net/X", 5).bytes();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    std::vector<uint8_t> truncated(good.begin(), good.begin() + cut);
    EXPECT_FALSE(XSettings::integer(truncated, "Net/X")) << cut;
  }
  auto huge = Doc(false).string("Net/A", "x").integer("Net/X", 5).bytes();
  huge[28] = huge[29] = huge[30] = huge[31] = 0xFF;  // the string claims 4 GiB
  EXPECT_FALSE(XSettings::integer(huge, "Net/X"));
  auto unknownType = good;
  unknownType[12] = 9;
  EXPECT_FALSE(XSettings::integer(unknownType, "Net/X"));
}

}  // namespace
}  // namespace ombrel
