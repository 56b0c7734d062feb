#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "OmbrelKit/video_codec.h"
#include "OmbrelKit/video_frame.h"
#include "base/bytes.h"

namespace ombrel {

// Packages encoder output as `VideoFrame` values: every Annex-B packet becomes 4-byte
// length-prefixed NAL units; parameter sets are taken out of the stream (the encoder's global
// header, or in-band copies, the newest winning) and attached to every key frame in the order
// VPS, SPS, PPS (hevc) or SPS, PPS (h264); SEI and access unit delimiters are dropped.
//
// Used by one thread at a time (the encoder's output thread).
class VideoFramePackager {
 public:
  VideoFramePackager(VideoCodec codec, std::uint16_t width, std::uint16_t height);

  // Takes the encoder's global header: Annex-B, or an avcC/hvcC record. Returns false (and
  // keeps what it had) when the header is neither.
  bool setHeader(ByteView header);

  // nullopt when the packet holds no picture data (nothing but parameter sets or SEI, or not
  // Annex-B at all).
  std::optional<VideoFrame> package(ByteView annexB, bool isKeyframe, std::uint64_t ptsMicros);

  // The sets a key frame would carry now.
  std::vector<Bytes> parameterSets() const;

 private:
  // Returns true when the unit was a parameter set and has been kept.
  bool keepParameterSet(ByteView unit);

  VideoCodec codec_;
  std::uint16_t width_;
  std::uint16_t height_;
  std::array<Bytes, 3> sets_;
};

}  // namespace ombrel
