#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace ombrel {

// Float PCM from the audio capture to the wire's 16-bit stereo.
namespace AudioConversion {

// `buffers` holds `bufferCount` channel planes (non-interleaved) or one interleaved buffer with
// `channelsPerFrame` channels. Mono input goes to both channels; 1.0 (and NaN) become 32767,
// -1.0 becomes -32767, values are clipped and truncated toward zero. A null buffer reads as 0.
Bytes toStereoS16LE(const float* const* buffers, int bufferCount, bool interleaved,
                    int channelsPerFrame, std::int64_t frames);

std::int16_t sample(float x);

}  // namespace AudioConversion

}  // namespace ombrel
