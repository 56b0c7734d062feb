#pragma once

#include <cstdint>
#include <optional>

#include "OmbrelKit/video_codec.h"

namespace ombrel {

// How a stream request turns into numbers: capture size, frame rate and start bit rate.
namespace StreamPlan {

struct Size {
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool operator==(const Size&) const = default;
};

inline constexpr Size h264Cap{1920, 1200};
inline constexpr std::int64_t minFps = 10;
inline constexpr std::int64_t maxFps = 120;

// The largest even size that fits the client's maximum without upscaling the display.
// A nonsensical maximum (zero or negative) still yields the smallest encodable picture.
Size captureSize(std::int64_t pixelWidth, std::int64_t pixelHeight, std::int64_t maxWidth,
                 std::int64_t maxHeight);

// The client's maximum, capped at 1920 x 1200 for H.264.
Size requestedMaximum(VideoCodec codec, std::int64_t maxWidth, std::int64_t maxHeight);

std::int64_t clampFps(std::int64_t fps);

// The bit rate a stream starts at: the start bit rate when one is given and lower.
std::int64_t startBitrate(std::int64_t bitrateKbps, std::optional<std::int64_t> startBitrateKbps);

}  // namespace StreamPlan

}  // namespace ombrel
