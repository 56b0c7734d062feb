#include "OmbrelKit/stream_messages.h"

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

constexpr auto virtualDisplayRequestFields = [](auto& r, auto&& f) {
  f("width", r.width);
  f("height", r.height);
  f("name", r.name);
};

constexpr auto streamConfigFields = [](auto& r, auto&& f) {
  f("receiverPacing", r.receiverPacing);
  f("displayID", r.displayID);
  f("maxWidth", r.maxWidth);
  f("maxHeight", r.maxHeight);
  f("fps", r.fps);
  f("bitrateKbps", r.bitrateKbps);
  f("codec", r.codec);
  f("adaptiveBitrate", r.adaptiveBitrate);
  f("audio", r.audio);
  f("startBitrateKbps", r.startBitrateKbps);
  f("virtualDisplay", r.virtualDisplay);
};

constexpr auto streamStartedFields = [](auto& r, auto&& f) {
  f("display", r.display);
  f("width", r.width);
  f("height", r.height);
  f("fps", r.fps);
  f("codec", r.codec);
};

constexpr auto bitrateUpdateFields = [](auto& r, auto&& f) {
  f("bitrateKbps", r.bitrateKbps);
  f("adaptive", r.adaptive);
};

constexpr auto hostStatsFields = [](auto& r, auto&& f) {
  f("bitrateKbps", r.bitrateKbps);
  f("encodeFps", r.encodeFps);
  f("skippedFrames", r.skippedFrames);
};

constexpr auto clientStatsFields = [](auto& r, auto&& f) {
  f("rttMs", r.rttMs);
  f("fps", r.fps);
};

constexpr auto pingFields = [](auto& r, auto&& f) { f("t", r.t); };

constexpr auto cursorImageFields = [](auto& r, auto&& f) {
  f("png", r.png);
  f("width", r.width);
  f("height", r.height);
  f("hotX", r.hotX);
  f("hotY", r.hotY);
};

constexpr auto cursorPositionFields = [](auto& r, auto&& f) {
  f("x", r.x);
  f("y", r.y);
  f("visible", r.visible);
};

constexpr auto privacyModeFields = [](auto& r, auto&& f) { f("enabled", r.enabled); };

}  // namespace

NVJSON_RECORD(VirtualDisplayRequest, virtualDisplayRequestFields)
NVJSON_RECORD(StreamConfig, streamConfigFields)
NVJSON_RECORD(StreamStarted, streamStartedFields)
NVJSON_RECORD(BitrateUpdate, bitrateUpdateFields)
NVJSON_RECORD(HostStats, hostStatsFields)
NVJSON_RECORD(ClientStats, clientStatsFields)
NVJSON_RECORD(PingMessage, pingFields)
NVJSON_RECORD(CursorImage, cursorImageFields)
NVJSON_RECORD(CursorPosition, cursorPositionFields)
NVJSON_RECORD(PrivacyMode, privacyModeFields)

namespace VideoReceipt {

Bytes encode(std::uint64_t ptsMicros) { return toBytes(std::to_string(ptsMicros)); }

std::optional<std::uint64_t> decode(ByteView body) {
  if (body.size() > maxBodySize) return std::nullopt;
  return NVJSON::tryDecode<std::uint64_t>(body);
}

}  // namespace VideoReceipt

}  // namespace ombrel
