#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "OmbrelKit/display_info.h"
#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/video_codec.h"
#include "OmbrelKit/video_frame.h"
#include "Ombrel_Remote_Host/audio/audio_capturer.h"
#include "Ombrel_Remote_Host/screen/screen_capturer.h"
#include "Ombrel_Remote_Host/stream/stream_plan.h"
#include "Ombrel_Remote_Host/stream/stream_source.h"
#include "Ombrel_Remote_Host/video/pixel_buffer.h"
#include "Ombrel_Remote_Host/video/video_encoder.h"
#include "base/runtime.h"
#include "base/serial_queue.h"
#include "base/timer.h"

namespace ombrel {

class CaptureLoop;
class PictureCopies;

// The desktop's StreamSource: captures one display and feeds its complete frames to a
// VideoEncoder; the encoded frames go to `onVideo`. On top of the capture it seeds a first frame
// from a screenshot (an idle screen delivers nothing) and re-encodes the last frame twice once the
// screen has gone idle, so that a low-bit-rate picture sharpens after motion stops.
//
// Threading:
//   - `videoQueue` ("nerovalde.capture.video") owns the last picture, its time, the pending
//     refinements, the encoder's control fields and `start`'s work; `start`, `requestKeyframe`
//     and `setBitrate` post there. Counters are atomics, read by the statistics timer anywhere.
//   - A capture thread per running stream waits for changes on the display (at most one
//     picture per 1/fps) and posts each complete picture to `videoQueue`.
//   - `onVideo` runs on the encoder's output thread; `onStopped` on the capture thread;
//     `onAudio` on the audio capturer's delivery queue ("nerovalde.capture.audio").
//   - `stop()` may be called from any thread (not from the callbacks), any number of times.
//     Dropping the last reference stops the capture as well.
//
// States: idle -> starting -> running -> stopped; idle/starting -> stopped. `stopped` is never
// cleared; a `start` that notices it fails with a cancellation error and leaves nothing running.
//
// Audio: a stream started with `audio` and an `onAudio` also captures the desktop's sound
// (16-bit stereo AudioFrames). The audio capture starts on a thread of its own once the video
// runs, so a slow or absent audio server never delays the picture; when it cannot start, or
// its server goes away later, the stream goes on without sound (logged, not reported: the
// picture is what the client's error codes are about).
class ScreenStreamer final : public StreamSource,
                             public std::enable_shared_from_this<ScreenStreamer> {
 public:
  struct Environment {
    // Opens a capturer for a display id; by default the platform's (openScreenCapturer).
    std::function<std::unique_ptr<ScreenCapturer>(std::uint32_t)> openCapturer;
    // Encoder candidates; empty means the platform's for the codec.
    std::vector<VideoEncoderCandidate> encoders;
    // The host's own windows, painted black in every picture.
    std::function<std::vector<std::uint64_t>()> ownWindows;
    // Opens the audio capture of a stream that wants sound; by default the platform's
    // (openAudioCapturer). An empty capturer: no sound.
    std::function<std::shared_ptr<AudioCapturer>()> openAudio;
  };

  // `runtime` (its clock, queues and timers) must outlive the streamer.
  static std::shared_ptr<ScreenStreamer> create(Runtime& runtime, Environment environment);
  // One streamer per stream, each made in `environment`.
  static StreamSourceFactory factory(Runtime& runtime, Environment environment);
  ~ScreenStreamer() override;
  ScreenStreamer(const ScreenStreamer&) = delete;
  ScreenStreamer& operator=(const ScreenStreamer&) = delete;

  // Completes (on videoQueue) with nullopt once capture runs, else with the error:
  // "找不到螢幕" for an unknown display, the encoder's creation error, or a cancellation
  // (NVError::system(operation_canceled)) when stop() came first.
  void start(std::uint32_t displayID, std::int64_t width, std::int64_t height, std::int64_t fps,
             std::int64_t bitrateKbps, VideoCodec codec, bool audio,
             Completion completion) override;
  void stop() override;
  void requestKeyframe() override;
  void setBitrate(std::int64_t kbps) override;
  std::int64_t encodedFrames() const override { return encoded_.load(); }
  std::int64_t skippedFrames() const override { return skipped_.load(); }
  // Pictures that found the encoder still busy with the one before.
  std::int64_t skippedByEncoder() const { return skippedByEncoder_.load(); }

  static StreamPlan::Size captureSize(const DisplayInfo& display, std::int64_t maxWidth,
                                      std::int64_t maxHeight);

  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  std::int64_t fps() const { return fps_; }
  const std::shared_ptr<SerialQueue>& videoQueue() const { return videoQueue_; }

 private:
  ScreenStreamer(Runtime& runtime, Environment environment);
  static NVError cancelled();
  // Marks the streamer stopped, cancels the refinement timer and ends the capture thread.
  void endCapture();

  void startOnQueue(std::uint32_t displayID, std::int64_t bitrateKbps, VideoCodec codec,
                    const Completion& completion);
  void startAudio();
  void startRefineTimer();
  void refineTick();
  void ensureFirstFrame(std::uint32_t displayID, int attempt);
  void handlePicture(PixelBufferRef picture);
  void encodeIfPossible(const PixelBufferRef& picture);

  Environment environment_;
  std::atomic<std::int64_t> width_{0};
  std::atomic<std::int64_t> height_{0};
  std::atomic<std::int64_t> fps_{60};
  std::atomic<std::int64_t> encoded_{0};
  std::atomic<std::int64_t> skipped_{0};
  std::atomic<std::int64_t> skippedByEncoder_{0};

  std::mutex stopLock_;
  bool stopped_ = false;                    // stopLock_
  std::shared_ptr<CaptureLoop> stream_;     // stopLock_
  std::shared_ptr<Timer> refineTimer_;      // stopLock_
  std::shared_ptr<Timer> firstFrameTimer_;  // stopLock_
  std::shared_ptr<AudioCapturer> audio_;    // stopLock_
  std::thread audioStarter_;                // stopLock_

  std::shared_ptr<SerialQueue> videoQueue_;
  // Shared with the capture thread, which fills them.
  const std::shared_ptr<PictureCopies> copies_;
  // videoQueue_ only:
  std::unique_ptr<VideoEncoder> encoder_;
  PixelBufferRef lastPixelBuffer_;
  double lastFrameTime_ = 0;
  std::int64_t refinementsLeft_ = 0;
};

}  // namespace ombrel
