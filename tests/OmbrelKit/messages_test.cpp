#include "OmbrelKit/messages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace ombrel {
namespace {

using NVJSON::Json;

template <typename T>
Json encodedJSON(const T& value) {
  auto body = NVJSON::encode(value);
  EXPECT_FALSE(body.empty());
  return NVJSON::parse(body);
}

template <typename T>
void expectRoundTrip(const T& value) {
  auto back = NVJSON::tryDecode<T>(NVJSON::encode(value));
  ASSERT_TRUE(back.has_value()) << toString(NVJSON::encode(value));
  EXPECT_EQ(*back, value) << toString(NVJSON::encode(value));
}

template <typename T>
std::optional<T> decodeText(std::string_view text) {
  return NVJSON::tryDecode<T>(view(text));
}

TEST(MessageTypeTest, KnownAndUnknownCodes) {
  std::set<int> known;
  for (auto type : allMessageTypes) {
    known.insert(rawValue(type));
    EXPECT_EQ(messageType(rawValue(type)), type);
  }
  EXPECT_EQ(known.size(), allMessageTypes.size());
  const std::set<int> expected = {1,  2,  3,  4,  10, 11, 12, 13, 14, 15, 16, 17, 20,
                                  21, 22, 30, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49,
                                  54, 55, 56, 57, 58, 60, 61, 50, 51, 52, 53, 99};
  EXPECT_EQ(known, expected);
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(messageType(static_cast<std::uint8_t>(code)).has_value(), expected.contains(code))
        << code;
  }
  EXPECT_EQ(rawValue(MessageType::ping), 50);
  EXPECT_EQ(rawValue(MessageType::error), 99);
}

DisplayInfo sampleDisplay() {
  return {.id = 4'000'000'000u,
          .name = "螢幕 1",
          .pixelWidth = 3840,
          .pixelHeight = 2160,
          .pointWidth = 1920,
          .pointHeight = 1080,
          .refreshRate = 59.94,
          .isMain = true};
}

TEST(MessagesTest, EveryRecordRoundTrips) {
  expectRoundTrip(sampleDisplay());
  expectRoundTrip(ClientHello{.deviceName = "iPad", .model = "iPad14,1", .protocolVersion = 2});
  expectRoundTrip(HostHello{.name = "書房",
                            .hostID = "1234 5678 9012",
                            .os = "Linux 6.1",
                            .authorized = true,
                            .displays = {sampleDisplay()},
                            .protocolVersion = 2,
                            .capabilities = {"hevc", "h264"},
                            .addresses = std::vector<std::string>{"192.168.1.2:47800"}});
  expectRoundTrip(PairRequest{.deviceName = "d", .model = "m", .grantMinutes = 30});
  expectRoundTrip(PairResult{.ok = false, .message = "拒絕", .code = HostErrorCode::pairingBusy});
  expectRoundTrip(ErrorMessage{.message = "m", .code = HostErrorCode::noDisplay, .detail = "x"});
  expectRoundTrip(StreamConfig{.receiverPacing = true,
                               .displayID = 7,
                               .maxWidth = 2560,
                               .maxHeight = 1600,
                               .fps = 120,
                               .bitrateKbps = 30000,
                               .codec = VideoCodec::h264,
                               .adaptiveBitrate = true,
                               .audio = true,
                               .startBitrateKbps = 8000,
                               .virtualDisplay = VirtualDisplayRequest{1280, 800, "虛擬"}});
  expectRoundTrip(StreamStarted{sampleDisplay(), 1920, 1080, 60, VideoCodec::hevc});
  expectRoundTrip(BitrateUpdate{.bitrateKbps = 5000, .adaptive = true});
  expectRoundTrip(HostStats{.bitrateKbps = 1, .encodeFps = 59.5, .skippedFrames = 3});
  expectRoundTrip(ClientStats{.rttMs = 12.25, .fps = 60});
  expectRoundTrip(PingMessage{.t = 1'700'000'000.123456});
  expectRoundTrip(CursorImage{.png = {0x89, 'P'}, .width = 16, .height = 16, .hotX = 1, .hotY = 2});
  expectRoundTrip(CursorPosition{.x = 0.25, .y = 0.75, .visible = true});
  expectRoundTrip(ClipboardMessage{.text = "剪貼簿\n\"quoted\""});
  expectRoundTrip(PrivacyMode{.enabled = true});
  expectRoundTrip(WakeRequest{.macAddresses = {"aa:bb:cc:dd:ee:ff"}});
  expectRoundTrip(FileOffer{.id = "id", .name = "報告.pdf", .size = 5'000'000'000});
  expectRoundTrip(FileDone{.id = "id"});
  expectRoundTrip(FileResult{.id = "id", .name = "n", .ok = false, .message = "失敗"});
  expectRoundTrip(AIRequest{.id = 9,
                            .kind = AIRequest::Kind::uiTree,
                            .displayID = 1,
                            .maxSize = 1600,
                            .agentName = "agent"});
  UINode leaf{.role = "Button", .title = "OK", .frame = std::vector<double>{1.5, 2, 30, 20}};
  expectRoundTrip(AIResponse{.id = 9,
                             .ok = true,
                             .png = Bytes{1, 2, 3},
                             .pointWidth = 1440,
                             .pointHeight = 900,
                             .app = "Files",
                             .tree = UINode{.role = "Window", .children = std::vector{leaf}},
                             .displays = std::vector{sampleDisplay()}});
}

TEST(MessagesTest, UnauthorizedHostHelloHasEmptyListsAndNoAddresses) {
  HostHello hello{.name = "h",
                  .hostID = "1234 5678 9012",
                  .os = "Linux 6.1",
                  .authorized = false,
                  .protocolVersion = 2};
  auto j = encodedJSON(hello);
  EXPECT_EQ(j["displays"], Json::array());
  EXPECT_EQ(j["capabilities"], Json::array());
  EXPECT_FALSE(j.contains("addresses"));
  EXPECT_FALSE(j.contains("macAddresses"));
  EXPECT_EQ(j["authorized"], false);
  EXPECT_EQ(j["protocolVersion"], 2);
  EXPECT_EQ(j.size(), 7u);
}

TEST(MessagesTest, StreamConfigOptionalFields) {
  constexpr std::string_view required =
      R"("maxWidth":1920,"maxHeight":1080,"bitrateKbps":20000,"codec":"hevc",)"
      R"("adaptiveBitrate":true,"audio":false)";
  auto config = decodeText<StreamConfig>("{\"fps\":60," + std::string(required) + "}");
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->fps, 60);
  EXPECT_FALSE(config->receiverPacing || config->displayID || config->startBitrateKbps ||
               config->virtualDisplay);

  EXPECT_FALSE(decodeText<StreamConfig>("{" + std::string(required) + "}"));  // no fps
  std::string unknownCodec = "{\"fps\":60," + std::string(required) + "}";
  unknownCodec.replace(unknownCodec.find("hevc"), 4, "av1");
  EXPECT_FALSE(decodeText<StreamConfig>(unknownCodec));
  // A virtual display request missing its name makes the whole config undecodable.
  EXPECT_FALSE(decodeText<StreamConfig>("{\"fps\":60," + std::string(required) +
                                        R"(,"virtualDisplay":{"width":1,"height":1}})"));

  auto j = encodedJSON(*config);
  for (const char* key : {"receiverPacing", "displayID", "startBitrateKbps", "virtualDisplay"}) {
    EXPECT_FALSE(j.contains(key)) << key;
  }
  EXPECT_EQ(j["codec"], "hevc");
}

TEST(MessagesTest, HostErrorCodeRawValues) {
  const std::pair<HostErrorCode, const char*> table[] = {
      {HostErrorCode::refused, "refused"},
      {HostErrorCode::lanOnly, "lan_only"},
      {HostErrorCode::notAccepting, "not_accepting"},
      {HostErrorCode::supportActive, "support_active"},
      {HostErrorCode::pairingBusy, "pairing_busy"},
      {HostErrorCode::rateLimited, "rate_limited"},
      {HostErrorCode::noDisplay, "no_display"},
      {HostErrorCode::screenPermission, "screen_permission"},
      {HostErrorCode::captureFailed, "capture_failed"},
      {HostErrorCode::captureStopped, "capture_stopped"},
      {HostErrorCode::virtualDisplayFallback, "virtual_display_fallback"},
  };
  for (auto [code, raw] : table) {
    EXPECT_EQ(rawValue(code), raw);
    EXPECT_EQ(hostErrorCode(raw), code);
    EXPECT_EQ(encodedJSON(ErrorMessage{.message = "m", .code = code})["code"], raw);
  }
}

TEST(MessagesTest, UnknownErrorCodeReadsAsNoCode) {
  auto error = decodeText<ErrorMessage>(R"({"message":"稍後再試","code":"quota_exceeded"})");
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "稍後再試");
  EXPECT_FALSE(error->code.has_value());
  auto result = decodeText<PairResult>(R"({"ok":false,"code":"future"})");
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->code.has_value());
  // Still a typed field: a number where the string belongs fails the message.
  EXPECT_FALSE(decodeText<ErrorMessage>(R"({"message":"m","code":5})"));
  EXPECT_EQ(decodeText<ErrorMessage>(R"({"message":"m","code":"lan_only"})")->code,
            HostErrorCode::lanOnly);
}

TEST(MessagesTest, EnumerationsRejectUnknownValues) {
  EXPECT_FALSE(decodeText<AIRequest>(R"({"id":1,"kind":"shell"})"));
  EXPECT_EQ(decodeText<AIRequest>(R"({"id":1,"kind":"goodbye"})")->kind, AIRequest::Kind::goodbye);
  EXPECT_EQ(encodedJSON(AIRequest{.id = 1, .kind = AIRequest::Kind::uiTree})["kind"], "uiTree");
  EXPECT_FALSE(decodeText<DisplayInfo>(
      R"({"id":-1,"name":"","pixelWidth":1,"pixelHeight":1,"pointWidth":1,"pointHeight":1,)"
      R"("refreshRate":60,"isMain":true})"));
}

TEST(MessagesTest, VideoReceiptBody) {
  EXPECT_EQ(toString(VideoReceipt::encode(1234567)), "1234567");
  EXPECT_EQ(VideoReceipt::decode(view("18446744073709551615")), UINT64_MAX);
  EXPECT_EQ(VideoReceipt::decode(view(" 42 ")), 42u);
  EXPECT_EQ(VideoReceipt::decode(view(std::string(30, ' ') + "42")), 42u);  // 32 bytes
  EXPECT_FALSE(VideoReceipt::decode(view(std::string(31, ' ') + "42")));    // 33 bytes
  for (auto bad : {"-1", "1.5", "\"42\"", "", "18446744073709551616", "{}"}) {
    EXPECT_FALSE(VideoReceipt::decode(view(bad))) << bad;
  }
}

TEST(MessagesTest, UITreeDepthIsBounded) {
  auto chain = [](int levels) {
    Json node = {{"role", "Leaf"}};
    for (int i = 1; i < levels; ++i) node = Json{{"role", "Group"}, {"children", {node}}};
    return node;
  };
  UINode node;
  EXPECT_NO_THROW(fromJSON(chain(UINode::maxDecodeDepth), node));
  EXPECT_EQ(node.children->front().role, "Group");
  EXPECT_THROW(fromJSON(chain(UINode::maxDecodeDepth + 1), node), NVError);
  // On the wire the JSON parser's nesting limit already stops much shallower documents.
  EXPECT_FALSE(NVJSON::tryDecode<UINode>(NVJSON::dump(chain(40))));
  EXPECT_TRUE(NVJSON::tryDecode<UINode>(NVJSON::dump(chain(13))));
  EXPECT_FALSE(decodeText<UINode>(R"({"role":"a","children":[{"title":"no role"}]})"));
  EXPECT_FALSE(decodeText<UINode>(R"({"role":"a","children":{}})"));
}

TEST(FileChunkTest, Layout) {
  const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
  FileChunk chunk{.id = id, .data = {1, 2, 3}};
  auto body = chunk.encoded();
  EXPECT_EQ(body.size(), 39u);
  EXPECT_EQ(toString(ByteView(body).first(36)), id);
  EXPECT_EQ(FileChunk::decode(body), chunk);

  auto idOnly = FileChunk::decode(view(id));
  ASSERT_TRUE(idOnly.has_value());
  EXPECT_TRUE(idOnly->data.empty());
  EXPECT_FALSE(FileChunk::decode(view(id).first(35)));
  EXPECT_THROW((FileChunk{.id = "short", .data = {1}}.encoded()), std::length_error);
}

}  // namespace
}  // namespace ombrel
