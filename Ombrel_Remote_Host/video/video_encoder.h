#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "OmbrelKit/video_codec.h"
#include "OmbrelKit/video_frame.h"
#include "Ombrel_Remote_Host/video/pixel_buffer.h"
#include "Ombrel_Remote_Host/video/video_encoder_backend.h"
#include "Ombrel_Remote_Host/video/video_frame_packager.h"
#include "base/clock.h"

namespace ombrel {

// Encodes captured pictures to H.264 or HEVC for one stream and hands each as a `VideoFrame`
// to `onFrame`, with the parameter sets attached to every key frame.
//
// Threading:
//   - Construction, `encode`, `applyBitrate`, `forceKey`, `bitrateKbps` and `invalidate` belong
//     to the owner's sequence (the capture's video queue). Set `onFrame` before the first
//     `encode`.
//   - Conversion and coding run on the encoder's own output thread, which also calls `onFrame`;
//     `encode` only queues the picture and returns. `onFrame` must not call back into the
//     encoder's teardown (it would wait for itself).
//   - `inFlight()` (pictures queued or being coded) is the one value shared between the two
//     sides; it is kept under `inFlightLock_`. The capture submits a new picture only when it
//     reads 0, so a picture leaves the count once the encoder has been asked for its output,
//     even when that failed or the encoder kept the picture back.
//
// States: running (after construction) -> invalidated (`invalidate()` or destruction: every
// queued picture is still encoded and emitted, then the encoder is closed). Invalidated encoders
// ignore `encode` and `applyBitrate`.
class VideoEncoder {
 public:
  // Opens an encoder by `chooseVideoEncoder` over `candidates` (by default the libavcodec ones
  // for `codec`). Throws NVError::invalid("無法建立硬體編碼器 (<status>)") when none opens.
  VideoEncoder(std::int64_t width, std::int64_t height, std::int64_t fps, std::int64_t bitrateKbps,
               VideoCodec codec);
  // `clock` (by default the steady clock) spaces out rate changes of encoders that reopen.
  VideoEncoder(std::int64_t width, std::int64_t height, std::int64_t fps, std::int64_t bitrateKbps,
               VideoCodec codec, const std::vector<VideoEncoderCandidate>& candidates,
               std::shared_ptr<const Clock> clock = nullptr);
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Queues one picture (any size; it is scaled to width × height) with its presentation time.
  void encode(PixelBufferRef picture, std::int64_t ptsMicros);
  // Pushes `bitrateKbps` into the encoder; pictures queued after this call are coded with it.
  // An encoder that must reopen for it (a key frame each time) takes at most one change per
  // `minReopenInterval`: later changes wait, the latest one wins, and it is applied before the
  // first picture once the interval is over.
  void applyBitrate();
  static constexpr double minReopenInterval = 3.0;  // seconds
  // Completes every queued picture (emitting it), then closes the encoder.
  void invalidate();

  std::int64_t inFlight() const;
  const std::int64_t width;
  const std::int64_t height;
  const VideoCodec codec;
  // True at creation, so the first frame is a key frame; set by the owner to ask for another.
  bool forceKey = true;
  std::function<void(VideoFrame)> onFrame;
  std::int64_t bitrateKbps;
  // True when the encoder was opened with its low-latency rate control.
  bool lowLatencyMode() const { return lowLatencyMode_; }
  // Which encoder runs ("libx264", "hevc_nvenc", ...), for logs and statistics.
  const std::string& encoderName() const { return encoderName_; }

  // NEROVALDE_DEBUG equals "1" exactly; read once per process.
  static bool debug();

 private:
  // A picture to encode, or (with `bitrate`) a rate change, kept in the order they were asked for.
  struct Job {
    std::optional<std::int64_t> bitrate;
    PixelBufferRef picture;
    std::int64_t ptsMicros = 0;
    bool forceKey = false;
    std::chrono::steady_clock::time_point start;
  };

  void run();
  void applyRate(std::int64_t kbps);
  void noteStart(std::int64_t ptsMicros, std::chrono::steady_clock::time_point start);
  void emit(std::vector<EncodedPacket>& packets);
  void noteDelay(std::chrono::steady_clock::time_point start);

  bool lowLatencyMode_ = false;
  std::string encoderName_;
  std::unique_ptr<VideoEncoderBackend> backend_;  // output thread only
  std::shared_ptr<const Clock> clock_;
  // The rate the backend runs at, and when it last reopened (output thread only).
  std::int64_t appliedKbps_ = 0;
  double lastReopen_ = 0;
  VideoFramePackager packager_;  // output thread only
  // (presentation time, start) of pictures in the encoder, oldest first (output thread only).
  std::deque<std::pair<std::int64_t, std::chrono::steady_clock::time_point>> starts_;
  std::vector<double> debugDelays_;  // milliseconds, output thread only

  mutable std::mutex inFlightLock_;
  std::int64_t inFlight_ = 0;

  std::mutex queueLock_;
  std::condition_variable queueChanged_;
  std::deque<Job> jobs_;
  bool closing_ = false;
  bool invalidated_ = false;  // owner's sequence only
  std::thread thread_;
};

}  // namespace ombrel
