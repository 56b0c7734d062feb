#pragma once

// The screen layer's ScreenStreamer as the streaming control's StreamSource. The streamer's
// callbacks forward to the source's, so the owner sets them on the source as for any other.

#include <memory>

#include "Ombrel_Remote_Host/screen/screen_streamer.h"
#include "Ombrel_Remote_Host/stream/stream_source.h"

namespace ombrel {

class ScreenStreamSource final : public StreamSource {
 public:
  explicit ScreenStreamSource(ScreenStreamer::Environment environment);
  ~ScreenStreamSource() override;

  // One ScreenStreamer per stream, made in `environment`.
  static StreamSourceFactory factory(ScreenStreamer::Environment environment);

  void start(std::uint32_t displayID, std::int64_t width, std::int64_t height, std::int64_t fps,
             std::int64_t bitrateKbps, VideoCodec codec, bool audio,
             Completion completion) override;
  void stop() override { streamer_->stop(); }
  void requestKeyframe() override { streamer_->requestKeyframe(); }
  void setBitrate(std::int64_t kbps) override { streamer_->setBitrate(kbps); }
  std::int64_t encodedFrames() const override { return streamer_->encodedFrames.load(); }
  std::int64_t skippedFrames() const override { return streamer_->skippedFrames.load(); }

 private:
  std::shared_ptr<ScreenStreamer> streamer_;
};

}  // namespace ombrel
