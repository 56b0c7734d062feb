#include "Ombrel_Remote_Host/stream/stream_plan.h"

#include <algorithm>

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

}  // namespace ombrel
