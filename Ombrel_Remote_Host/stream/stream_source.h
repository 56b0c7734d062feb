#pragma once

// What the session's streaming control needs from a screen streamer: capture one display,
// encode it, hand out frames, and take bit-rate and key-frame requests. The X11 screen layer's
// streamer implements it; tests use FakeStreamSource.
//
// Life: created idle by the factory, one per stream -> start() (once) -> running -> stop().
// A start still in progress when stop() comes fails with a cancellation error.
//
// Threading:
// - start(), requestKeyframe(), setBitrate() may be called from any thread and return at once;
//   the completion runs on a thread of the source's choosing.
// - stop() is synchronous, any thread, any number of times; after it returns no callback starts.
// - onVideo runs on the encoder's output thread, onAudio on the audio thread, shouldSkipFrame
//   on the capture thread before each encode, onStopped on whatever thread saw the capture end.
//   Set the callbacks before start().
// - encodedFrames()/skippedFrames() only grow and may be read from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/video_codec.h"
#include "OmbrelKit/video_frame.h"

namespace ombrel {

class StreamSource {
 public:
  using Completion = std::function<void(std::optional<NVError> error)>;

  virtual ~StreamSource() = default;

  virtual void start(std::uint32_t displayID, std::int64_t width, std::int64_t height,
                     std::int64_t fps, std::int64_t bitrateKbps, VideoCodec codec, bool audio,
                     Completion completion) = 0;
  virtual void stop() = 0;
  virtual void requestKeyframe() = 0;
  virtual void setBitrate(std::int64_t kbps) = 0;

  virtual std::int64_t encodedFrames() const = 0;
  virtual std::int64_t skippedFrames() const = 0;

  std::function<void(const VideoFrame&)> onVideo;
  std::function<void(const AudioFrame&)> onAudio;
  std::function<bool()> shouldSkipFrame;
  std::function<void(std::optional<NVError> error)> onStopped;
};

// Makes the streamer of one stream.
using StreamSourceFactory = std::function<std::shared_ptr<StreamSource>()>;

}  // namespace ombrel
