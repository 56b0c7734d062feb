#include "Ombrel_Remote_Host/stream/screen_streamer.h"

#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "Ombrel_Remote_Host/audio/audio_backends.h"
#include "Ombrel_Remote_Host/screen/screen_backends.h"
#include "base/log.h"
#include "base/thread_priority.h"

namespace ombrel {

namespace {

constexpr auto idleWait = std::chrono::milliseconds(100);
constexpr double firstFrameDelay = 0.4;
constexpr double firstFrameRetryDelay = 1.0;
constexpr int firstFrameAttempts = 3;
constexpr double refineStart = 0.25;
constexpr double refineInterval = 0.12;
constexpr double refineIdle = 0.2;
constexpr std::int64_t refinementsPerPicture = 2;

}  // namespace

// The capture thread of one running stream: waits for changes, hands out at most one complete
// picture per frame interval, rebuilds the capturer when the display changes geometry.
class CaptureLoop : public std::enable_shared_from_this<CaptureLoop> {
 public:
  CaptureLoop(std::unique_ptr<ScreenCapturer> capturer, std::uint32_t displayID, std::int64_t fps,
              ScreenStreamer::Environment environment,
              std::function<void(PixelBufferRef)> onPicture, std::function<void(NVError)> onEnded)
      : capturer_(std::move(capturer)),
        displayID_(displayID),
        interval_(1.0 / static_cast<double>(std::max<std::int64_t>(fps, 1))),
        environment_(std::move(environment)),
        onPicture_(std::move(onPicture)),
        onEnded_(std::move(onEnded)) {}

  void start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable()) return;
    // From the loop's own callbacks the thread cannot wait for itself; it ends on its own.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

 private:
  bool stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  void run() {
    raiseThreadPriority(ThreadRole::capture);
    while (!stopping()) {
      if (environment_.ownWindows) capturer_->setExcludedWindows(environment_.ownWindows());
      switch (capturer_->capture(idleWait)) {
        case CaptureResult::ok: {
          onPicture_(capturer_->picture());
          // The minimum frame interval: nothing sooner than 1/fps after the last picture.
          std::unique_lock lock(mutex_);
          wake_.wait_for(lock, std::chrono::duration<double>(interval_), [&] { return stopping_; });
          break;
        }
        case CaptureResult::timeout:
          break;
        case CaptureResult::reinit:
          capturer_ = environment_.openCapturer(displayID_);
          if (!capturer_) return end(NVError::invalid("找不到螢幕"));
          break;
        case CaptureResult::error:
          return end(NVError::system(std::make_error_code(std::errc::io_error)));
      }
    }
  }

  void end(NVError error) {
    if (!stopping()) onEnded_(std::move(error));
  }

  std::unique_ptr<ScreenCapturer> capturer_;  // capture thread only
  const std::uint32_t displayID_;
  const double interval_;
  ScreenStreamer::Environment environment_;
  std::function<void(PixelBufferRef)> onPicture_;
  std::function<void(NVError)> onEnded_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

std::shared_ptr<ScreenStreamer> ScreenStreamer::create(Runtime& runtime, Environment environment) {
  if (!environment.openCapturer) environment.openCapturer = &openScreenCapturer;
  if (!environment.openAudio) {
    environment.openAudio = [&runtime] { return openAudioCapturer(runtime); };
  }
  return std::shared_ptr<ScreenStreamer>(new ScreenStreamer(runtime, std::move(environment)));
}

StreamSourceFactory ScreenStreamer::factory(Runtime& runtime, Environment environment) {
  return [&runtime, environment]() -> std::shared_ptr<StreamSource> {
    return create(runtime, environment);
  };
}

ScreenStreamer::ScreenStreamer(Runtime& runtime, Environment environment)
    : environment_(std::move(environment)),
      videoQueue_(runtime.makeQueue("nerovalde.capture.video")),
      lastFrameTime_(videoQueue_->now()) {}

ScreenStreamer::~ScreenStreamer() {
  endCapture();
  // The encoder's destruction completes its pending pictures and closes it.
}

void ScreenStreamer::endCapture() {
  std::shared_ptr<CaptureLoop> stream;
  std::shared_ptr<Timer> refine;
  std::shared_ptr<Timer> firstFrame;
  std::shared_ptr<AudioCapturer> audio;
  std::thread audioStarter;
  {
    std::lock_guard lock(stopLock_);
    stopped_ = true;
    stream = std::move(stream_);
    refine = std::move(refineTimer_);
    firstFrame = std::move(firstFrameTimer_);
    audio = std::move(audio_);
    audioStarter = std::move(audioStarter_);
  }
  if (refine) refine->cancel();
  if (firstFrame) firstFrame->cancel();
  if (stream) stream->stop();
  // Stopping also cuts short a start still waiting for the audio server.
  if (audio) audio->stop();
  if (audioStarter.joinable()) {
    if (audioStarter.get_id() == std::this_thread::get_id()) {
      audioStarter.detach();
    } else {
      audioStarter.join();
    }
  }
}

NVError ScreenStreamer::cancelled() {
  return NVError::system(std::make_error_code(std::errc::operation_canceled));
}

StreamPlan::Size ScreenStreamer::captureSize(const DisplayInfo& display, std::int64_t maxWidth,
                                             std::int64_t maxHeight) {
  return StreamPlan::captureSize(display.pixelWidth, display.pixelHeight, maxWidth, maxHeight);
}

void ScreenStreamer::start(std::uint32_t displayID, std::int64_t width, std::int64_t height,
                           std::int64_t fps, std::int64_t bitrateKbps, VideoCodec codec, bool audio,
                           Completion completion) {
  {
    std::lock_guard lock(stopLock_);
    if (stopped_) {
      videoQueue_->post([completion] { completion(cancelled()); });
      return;
    }
  }
  width_ = width;
  height_ = height;
  fps_ = fps;
  videoQueue_->post([self = shared_from_this(), displayID, bitrateKbps, codec, audio, completion] {
    self->startOnQueue(displayID, bitrateKbps, codec, completion);
    if (audio) self->startAudio();
  });
}

void ScreenStreamer::startOnQueue(std::uint32_t displayID, std::int64_t bitrateKbps,
                                  VideoCodec codec, const Completion& completion) {
  videoQueue_->assertCurrent();
  auto capturer = environment_.openCapturer(displayID);
  if (!capturer) return completion(NVError::invalid("找不到螢幕"));
  try {
    encoder_ = environment_.encoders.empty()
                   ? std::make_unique<VideoEncoder>(width_, height_, fps_, bitrateKbps, codec)
                   : std::make_unique<VideoEncoder>(width_, height_, fps_, bitrateKbps, codec,
                                                    environment_.encoders);
  } catch (const NVError& error) {
    return completion(error);
  }
  // Set before start by the owner; the encoder calls it on its output thread.
  encoder_->onFrame = onVideo;

  std::weak_ptr<ScreenStreamer> weak = weak_from_this();
  auto loop = std::make_shared<CaptureLoop>(
      std::move(capturer), displayID, fps_, environment_,
      [weak](PixelBufferRef picture) {
        if (auto self = weak.lock()) {
          self->videoQueue_->post([weak, picture] {
            if (auto streamer = weak.lock()) streamer->handlePicture(picture);
          });
        }
      },
      [weak](NVError error) {
        if (auto self = weak.lock(); self && self->onStopped) self->onStopped(std::move(error));
      });
  {
    std::lock_guard lock(stopLock_);
    if (stopped_) return completion(cancelled());
    loop->start();
    stream_ = loop;
  }
  startRefineTimer();
  ensureFirstFrame(displayID, 0);
  completion(std::nullopt);
}

void ScreenStreamer::stop() {
  endCapture();
  videoQueue_->post([self = shared_from_this()] {
    if (self->encoder_) self->encoder_->invalidate();
    self->encoder_.reset();
    self->lastPixelBuffer_.reset();
  });
}

void ScreenStreamer::requestKeyframe() {
  videoQueue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock(); self && self->encoder_) self->encoder_->forceKey = true;
  });
}

void ScreenStreamer::setBitrate(std::int64_t kbps) {
  videoQueue_->post([weak = weak_from_this(), kbps] {
    auto self = weak.lock();
    if (!self || !self->encoder_ || self->encoder_->bitrateKbps == kbps) return;
    self->encoder_->bitrateKbps = kbps;
    self->encoder_->applyBitrate();
  });
}

void ScreenStreamer::startAudio() {
  videoQueue_->assertCurrent();
  if (!onAudio || !environment_.openAudio) return;
  std::lock_guard lock(stopLock_);
  // Only a stream whose video runs gets sound.
  if (stopped_ || !stream_) return;
  audio_ = environment_.openAudio();
  if (!audio_) return;
  audioStarter_ = std::thread([audio = audio_, onAudio = onAudio] {
    auto error =
        audio->start([onAudio](AudioFrame frame) { onAudio(std::move(frame)); },
                     [](const NVError& error) {
                       log::line(std::string("Ombrel Remote: stream audio ended: ") + error.what());
                     });
    if (error && !isAudioCaptureCancelled(*error)) {
      log::line(std::string("Ombrel Remote: stream goes on without audio: ") + error->what());
    }
  });
}

void ScreenStreamer::startRefineTimer() {
  videoQueue_->assertCurrent();
  std::lock_guard lock(stopLock_);
  if (stopped_) return;
  std::weak_ptr<ScreenStreamer> weak = weak_from_this();
  refineTimer_ = videoQueue_->after(refineStart, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->refineTick();
    std::lock_guard lock(self->stopLock_);
    if (self->stopped_) return;
    self->refineTimer_ = self->videoQueue_->every(refineInterval, [weak] {
      if (auto streamer = weak.lock()) streamer->refineTick();
    });
  });
}

void ScreenStreamer::refineTick() {
  videoQueue_->assertCurrent();
  if (!lastPixelBuffer_ || refinementsLeft_ < 1) return;
  if (videoQueue_->now() - lastFrameTime_ <= refineIdle) return;
  --refinementsLeft_;
  encodeIfPossible(lastPixelBuffer_);
}

void ScreenStreamer::ensureFirstFrame(std::uint32_t displayID, int attempt) {
  videoQueue_->assertCurrent();
  double delay = attempt == 0 ? firstFrameDelay : firstFrameRetryDelay;
  std::lock_guard lock(stopLock_);
  if (stopped_) return;
  firstFrameTimer_ = videoQueue_->after(delay, [weak = weak_from_this(), displayID, attempt] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->stopLock_);
      if (!self->stream_) return;
    }
    if (self->lastPixelBuffer_) return;
    PixelBufferRef shot;
    if (auto capturer = self->environment_.openCapturer(displayID)) {
      if (self->environment_.ownWindows) {
        capturer->setExcludedWindows(self->environment_.ownWindows());
      }
      if (capturer->grab() == CaptureResult::ok) shot = capturer->picture();
    }
    if (shot) {
      self->lastPixelBuffer_ = shot;
      self->lastFrameTime_ = self->videoQueue_->now();
      self->refinementsLeft_ = refinementsPerPicture;
      self->encodeIfPossible(shot);
    } else if (attempt + 1 < firstFrameAttempts) {
      self->ensureFirstFrame(displayID, attempt + 1);
    }
  });
}

void ScreenStreamer::handlePicture(PixelBufferRef picture) {
  videoQueue_->assertCurrent();
  {
    std::lock_guard lock(stopLock_);
    if (!stream_) return;  // a picture from a stream that was stopped meanwhile
  }
  lastPixelBuffer_ = std::move(picture);
  lastFrameTime_ = videoQueue_->now();
  refinementsLeft_ = refinementsPerPicture;
  encodeIfPossible(lastPixelBuffer_);
}

void ScreenStreamer::encodeIfPossible(const PixelBufferRef& picture) {
  videoQueue_->assertCurrent();
  if (!encoder_) return;
  if (encoder_->inFlight() != 0) {
    ++skippedByEncoder_;
    refinementsLeft_ = std::max<std::int64_t>(refinementsLeft_, 1);
    return;
  }
  if (shouldSkipFrame && shouldSkipFrame()) {
    ++skipped_;
    refinementsLeft_ = std::max<std::int64_t>(refinementsLeft_, 1);
    return;
  }
  ++encoded_;
  auto pts = static_cast<std::int64_t>(videoQueue_->now() * 1'000'000);
  encoder_->encode(picture, pts);
}

}  // namespace ombrel
