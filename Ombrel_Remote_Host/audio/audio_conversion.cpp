#include "Ombrel_Remote_Host/audio/audio_conversion.h"

#include <algorithm>
#include <cmath>

namespace ombrel {

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
