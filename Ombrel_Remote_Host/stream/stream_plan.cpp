#include "Ombrel_Remote_Host/stream/stream_plan.h"

#include <algorithm>
#include <cmath>

namespace ombrel {

StreamPlan::Size StreamPlan::captureSize(std::int64_t pixelWidth, std::int64_t pixelHeight,
                                         std::int64_t maxWidth, std::int64_t maxHeight) {
  if (pixelWidth <= 0 || pixelHeight <= 0) return {};
  double scale = std::min({static_cast<double>(maxWidth) / static_cast<double>(pixelWidth),
                           static_cast<double>(maxHeight) / static_cast<double>(pixelHeight), 1.0});
  auto even = [](double v) {
    auto n = static_cast<std::int64_t>(v);
    return std::max<std::int64_t>(n & ~std::int64_t{1}, 2);
  };
  return {even(scale * static_cast<double>(pixelWidth)),
          even(scale * static_cast<double>(pixelHeight))};
}

StreamPlan::Size StreamPlan::requestedMaximum(VideoCodec codec, std::int64_t maxWidth,
                                              std::int64_t maxHeight) {
  if (codec != VideoCodec::h264) return {maxWidth, maxHeight};
  return {std::min(maxWidth, h264Cap.width), std::min(maxHeight, h264Cap.height)};
}

std::int64_t StreamPlan::clampFps(std::int64_t fps) { return std::clamp(fps, minFps, maxFps); }

std::int64_t StreamPlan::startBitrate(std::int64_t bitrateKbps,
                                      std::optional<std::int64_t> startBitrateKbps) {
  return startBitrateKbps ? std::min(bitrateKbps, *startBitrateKbps) : bitrateKbps;
}

std::int16_t AudioConversion::sample(float x) {
  if (std::isnan(x) || x >= 1.0f) return 32767;
  return static_cast<std::int16_t>(std::max(x, -1.0f) * 32767.0f);
}

Bytes AudioConversion::toStereoS16LE(const float* const* buffers, int bufferCount, bool interleaved,
                                     int channelsPerFrame, std::int64_t frames) {
  Bytes out;
  if (frames <= 0 || bufferCount <= 0 || channelsPerFrame <= 0) return out;
  out.resize(static_cast<std::size_t>(frames) * 4);
  auto read = [&](int channel, std::int64_t i) -> float {
    if (interleaved) {
      const float* data = buffers[0];
      int c = channel == 0 ? 0 : std::min(channelsPerFrame, 2) - 1;
      return data ? data[i * channelsPerFrame + c] : 0.0f;
    }
    const float* data = buffers[std::min(channel, bufferCount - 1)];
    return data ? data[i] : 0.0f;
  };
  for (std::int64_t i = 0; i < frames; ++i) {
    for (int channel = 0; channel < 2; ++channel) {
      auto v = static_cast<std::uint16_t>(sample(read(channel, i)));
      std::size_t at = static_cast<std::size_t>(i) * 4 + static_cast<std::size_t>(channel) * 2;
      out[at] = static_cast<std::uint8_t>(v & 0xFF);
      out[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
  }
  return out;
}

}  // namespace ombrel
