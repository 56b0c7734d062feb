#pragma once

#include <cstdint>
#include <vector>

#include "OmbrelKit/video_codec.h"
#include "base/bytes.h"

namespace ombrel {

// One encoded picture as it travels in a videoFrame message:
//   flags u8 (0x01 key frame, 0x02 h264 else hevc) | ptsMicros u64 | width u16 | height u16 |
//   count u8 | count x (u16 length + parameter-set NAL unit) | payload (to the end)
// The payload's NAL units each carry a 4-byte big-endian length.
struct VideoFrame {
  bool isKeyframe = false;
  VideoCodec codec = VideoCodec::hevc;
  std::uint64_t ptsMicros = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::vector<Bytes> parameterSets;  // SPS, PPS for h264; VPS, SPS, PPS for hevc
  Bytes payload;

  // The caller guarantees at most 255 parameter sets of at most 65,535 bytes each.
  Bytes encoded() const;
  // Throws NVError::truncated when the body is too short for what it announces.
  static VideoFrame decode(ByteView body);

  bool operator==(const VideoFrame&) const = default;
};

// PCM audio as it travels in an audioFrame message:
//   sampleRate u32 | channels u8 | pcm (16-bit signed little-endian, interleaved)
struct AudioFrame {
  std::uint32_t sampleRate = 0;
  std::uint8_t channels = 0;
  Bytes pcm;

  Bytes encoded() const;
  static AudioFrame decode(ByteView body);

  bool operator==(const AudioFrame&) const = default;
};

}  // namespace ombrel
