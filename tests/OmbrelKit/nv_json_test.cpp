#include "OmbrelKit/nv_json.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ombrel {
namespace {

struct Sample {
  std::int64_t count = 0;
  std::uint32_t id = 0;
  double ratio = 0;
  std::string name;
  Bytes blob;
  std::optional<bool> flag;
  std::vector<std::int64_t> list;
};

void toJSON(NVJSON::Json& j, const Sample& s) {
  NVJSON::write(j, "count", s.count);
  NVJSON::write(j, "id", s.id);
  NVJSON::write(j, "ratio", s.ratio);
  NVJSON::write(j, "name", s.name);
  NVJSON::write(j, "blob", s.blob);
  NVJSON::write(j, "flag", s.flag);
  NVJSON::write(j, "list", s.list);
}

void fromJSON(const NVJSON::Json& j, Sample& s) {
  NVJSON::read(j, "count", s.count);
  NVJSON::read(j, "id", s.id);
  NVJSON::read(j, "ratio", s.ratio);
  NVJSON::read(j, "name", s.name);
  NVJSON::read(j, "blob", s.blob);
  NVJSON::read(j, "flag", s.flag);
  NVJSON::read(j, "list", s.list);
}

TEST(NVJSONTest, EncodesCompactWithBase64AndOmitsAbsentOptionals) {
  Sample s{.count = -3, .id = 7, .ratio = 0.5, .name = "名", .blob = {1, 2, 3}, .list = {1}};
  auto body = toString(NVJSON::encode(s));
  EXPECT_EQ(body.find(' '), std::string::npos);
  EXPECT_EQ(body.find("flag"), std::string::npos);
  EXPECT_NE(body.find("\"blob\":\"AQID\""), std::string::npos);
  EXPECT_NE(body.find("\"count\":-3"), std::string::npos);
  auto back = NVJSON::decode<Sample>(toBytes(body));
  EXPECT_EQ(back.name, "名");
  EXPECT_EQ(back.blob, (Bytes{1, 2, 3}));
  EXPECT_FALSE(back.flag.has_value());
}

TEST(NVJSONTest, NonFiniteNumberGivesEmptyBody) {
  Sample s;
  s.ratio = std::nan("");
  EXPECT_TRUE(NVJSON::encode(s).empty());
  s.ratio = INFINITY;
  EXPECT_TRUE(NVJSON::encode(s).empty());
}

TEST(NVJSONTest, StrictDecoding) {
  const char* base = R"("id":1,"ratio":1,"name":"n","blob":"","list":[])";
  auto decodes = [&](const std::string& prefix) {
    return NVJSON::tryDecode<Sample>(toBytes("{" + prefix + base + "}")).has_value();
  };
  EXPECT_TRUE(decodes(R"("count":5,"unknown":{"x":1},)"));
  EXPECT_TRUE(decodes(R"("count":5,"flag":null,)"));
  EXPECT_FALSE(decodes(""));                        // missing required field
  EXPECT_FALSE(decodes(R"("count":1.5,)"));         // Int must be an integer
  EXPECT_FALSE(decodes(R"("count":"5",)"));         // mistyped
  EXPECT_FALSE(decodes(R"("count":5,"flag":1,)"));  // mistyped optional
  EXPECT_FALSE(NVJSON::tryDecode<Sample>(
      toBytes(R"({"count":1,"id":-1,"ratio":1,"name":"n","blob":"","list":[]})")));
  EXPECT_FALSE(NVJSON::tryDecode<Sample>(
      toBytes(R"({"count":1,"id":4294967296,"ratio":1,"name":"n","blob":"","list":[]})")));
  EXPECT_FALSE(NVJSON::tryDecode<Sample>(
      toBytes(R"({"count":1,"id":1,"ratio":1,"name":"n","blob":"AQ=","list":[]})")));
  EXPECT_FALSE(NVJSON::tryDecode<Sample>(toBytes("[]")));
  EXPECT_FALSE(NVJSON::tryDecode<Sample>(toBytes("")));
  EXPECT_FALSE(NVJSON::tryDecode<Sample>(toBytes(std::string(10000, '['))));
}

TEST(Base64Test, StrictRoundTrip) {
  for (std::size_t n = 0; n < 8; ++n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(0xF0 + i);
    EXPECT_EQ(base64::decode(base64::encode(b)), b);
  }
  EXPECT_FALSE(base64::decode("QQ"));
  EXPECT_FALSE(base64::decode("Q=Q="));
  EXPECT_FALSE(base64::decode("QQ==QQ=="));
  EXPECT_FALSE(base64::decode("QQ-_"));
  EXPECT_EQ(base64::decode("QQ=="), Bytes{'A'});
}

}  // namespace
}  // namespace ombrel
