#include "Ombrel_Remote_Host/stream/screen_stream_source.h"

#include <utility>

namespace ombrel {

ScreenStreamSource::ScreenStreamSource(ScreenStreamer::Environment environment)
    : streamer_(ScreenStreamer::create(std::move(environment))) {}

ScreenStreamSource::~ScreenStreamSource() { streamer_->stop(); }

StreamSourceFactory ScreenStreamSource::factory(ScreenStreamer::Environment environment) {
  return [environment]() -> std::shared_ptr<StreamSource> {
    return std::make_shared<ScreenStreamSource>(environment);
  };
}

void ScreenStreamSource::start(std::uint32_t displayID, std::int64_t width, std::int64_t height,
                               std::int64_t fps, std::int64_t bitrateKbps, VideoCodec codec,
                               bool audio, Completion completion) {
  // The callbacks are set on this object before start; they live as long as the streamer does,
  // and the streamer's own are cleared with it, so plain copies are enough.
  if (onVideo) {
    streamer_->onVideo = [callback = onVideo](VideoFrame frame) { callback(frame); };
  }
  if (onAudio) {
    streamer_->onAudio = [callback = onAudio](AudioFrame frame) { callback(frame); };
  }
  streamer_->onStopped = onStopped;
  streamer_->shouldSkipFrame = shouldSkipFrame;
  streamer_->start(displayID, width, height, fps, bitrateKbps, codec, audio, std::move(completion));
}

}  // namespace ombrel
