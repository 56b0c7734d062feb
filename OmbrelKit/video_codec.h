#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace ombrel {

// The video codecs of the stream; raw values travel in JSON ("hevc", "h264").
enum class VideoCodec { hevc, h264 };

inline std::string_view rawValue(VideoCodec codec) {
  return codec == VideoCodec::hevc ? "hevc" : "h264";
}

inline std::optional<VideoCodec> videoCodec(std::string_view raw) {
  if (raw == "hevc") return VideoCodec::hevc;
  if (raw == "h264") return VideoCodec::h264;
  return std::nullopt;
}

// JSON form: the raw value; an unknown string fails to decode.
void readValue(const nlohmann::json& in, VideoCodec& out);
nlohmann::json writeValue(VideoCodec codec);

}  // namespace ombrel
