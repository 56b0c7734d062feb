#pragma once

// What a client does with each videoFrame: checks its layout, turns it into an Annex-B access
// unit, and decodes it with libavcodec.
//
// Layout rules checked (a violation is an error the caller reports; the frame is still fed to
// the decoder when its units could be read):
// - the first frame is a key frame;
// - a key frame carries the codec's parameter sets in order (H.264: SPS, PPS; HEVC: VPS, SPS,
//   PPS) and begins a coded picture that starts decoding (H.264 IDR, HEVC IRAP); other frames
//   carry none and hold no such picture;
// - the payload is 4-byte big-endian length-prefixed NAL units that consume it exactly, none
//   empty, none a parameter set.
//
// Threading: one thread at a time (the client's connection queue).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/video_frame.h"
#include "base/bytes.h"

namespace ombrel {

// A decoded picture as 8-bit RGB, rows of width × 3 bytes.
struct DecodedPicture {
  std::int64_t width = 0;
  std::int64_t height = 0;
  Bytes rgb;

  // The colour at (x, y) as 0xRRGGBB.
  std::uint32_t pixel(std::int64_t x, std::int64_t y) const;
};

class StreamReceiver {
 public:
  struct Result {
    std::optional<std::string> layoutError;
    bool decoded = false;  // the decoder returned a picture for this frame
  };

  explicit StreamReceiver(VideoCodec codec);
  ~StreamReceiver();
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;

  Result receive(const VideoFrame& frame);

  // The frame's NAL units (parameter sets first on key frames) with 4-byte start codes.
  static Bytes annexB(const VideoFrame& frame);
  // The layout error of `frame`, nothing when it is well formed; `first` for the stream's first.
  static std::optional<std::string> checkLayout(const VideoFrame& frame, bool first);

  // The newest decoded picture, converted on demand.
  std::optional<DecodedPicture> lastPicture() const;
  std::int64_t decodedFrames() const { return decoded_; }

 private:
  struct Decoder;
  VideoCodec codec_;
  std::unique_ptr<Decoder> decoder_;
  bool first_ = true;
  std::int64_t decoded_ = 0;
};

// How many pictures a decoder gets from an Annex-B elementary stream (a saved --save file), cut
// into access units by libavcodec's parser as a player would.
std::int64_t decodeElementaryStream(VideoCodec codec, ByteView stream);

// A PNG of `picture`; empty on failure.
Bytes encodePicturePNG(const DecodedPicture& picture);

}  // namespace ombrel
