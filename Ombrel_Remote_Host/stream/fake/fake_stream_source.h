#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Ombrel_Remote_Host/stream/stream_source.h"

namespace ombrel {

// A StreamSource driven by the test: it records what it is asked, completes start() when told
// (or at once, per Config), and delivers frames and stop reports on the test's thread.
class FakeStreamSource : public StreamSource {
 public:
  struct Config {
    // Complete start() inside the call; otherwise completeStart() does.
    bool completeAtOnce = true;
    // The error start() completes with (nothing = success).
    std::optional<NVError> startError;
  };
  struct StartArgs {
    std::uint32_t displayID = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 0;
    std::int64_t bitrateKbps = 0;
    VideoCodec codec = VideoCodec::hevc;
    bool audio = false;
  };

  FakeStreamSource() : FakeStreamSource(Config()) {}
  explicit FakeStreamSource(Config config) : config_(std::move(config)) {}

  void start(std::uint32_t displayID, std::int64_t width, std::int64_t height, std::int64_t fps,
             std::int64_t bitrateKbps, VideoCodec codec, bool audio,
             Completion completion) override {
    {
      std::lock_guard lock(mutex_);
      startArgs_ = StartArgs{displayID, width, height, fps, bitrateKbps, codec, audio};
      completion_ = std::move(completion);
    }
    if (config_.completeAtOnce) completeStart(config_.startError);
  }
  // Completes a pending start with `error` (a stopped source fails with a cancellation).
  void completeStart(std::optional<NVError> error = std::nullopt) {
    Completion completion;
    {
      std::lock_guard lock(mutex_);
      completion = std::move(completion_);
      completion_ = nullptr;
      if (stopped_ && !error)
        error = NVError::system(std::make_error_code(std::errc::operation_canceled));
    }
    if (completion) completion(std::move(error));
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    ++stopCount_;
  }
  void requestKeyframe() override { ++keyframeRequests_; }
  void setBitrate(std::int64_t kbps) override {
    std::lock_guard lock(mutex_);
    bitrates_.push_back(kbps);
  }
  std::int64_t encodedFrames() const override { return encoded_; }
  std::int64_t skippedFrames() const override { return skipped_; }

  // Counters as the statistics tick reads them.
  void setCounters(std::int64_t encoded, std::int64_t skipped) {
    encoded_ = encoded;
    skipped_ = skipped;
  }
  // One captured picture: asks shouldSkipFrame as the real encode gate does, counts it, and
  // delivers `frame` unless skipped. Returns whether it was encoded.
  bool capture(const VideoFrame& frame) {
    if (shouldSkipFrame && shouldSkipFrame()) {
      ++skipped_;
      return false;
    }
    ++encoded_;
    if (onVideo) onVideo(frame);
    return true;
  }
  void deliverAudio(const AudioFrame& frame) {
    if (onAudio) onAudio(frame);
  }
  void reportStopped(std::optional<NVError> error) {
    if (onStopped) onStopped(std::move(error));
  }

  std::optional<StartArgs> startArgs() const {
    std::lock_guard lock(mutex_);
    return startArgs_;
  }
  bool stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
  }
  int stopCount() const {
    std::lock_guard lock(mutex_);
    return stopCount_;
  }
  int keyframeRequests() const { return keyframeRequests_; }
  std::vector<std::int64_t> bitrates() const {
    std::lock_guard lock(mutex_);
    return bitrates_;
  }

 private:
  Config config_;
  mutable std::mutex mutex_;
  std::optional<StartArgs> startArgs_;
  Completion completion_;
  bool stopped_ = false;
  int stopCount_ = 0;
  std::vector<std::int64_t> bitrates_;
  std::atomic<int> keyframeRequests_{0};
  std::atomic<std::int64_t> encoded_{0};
  std::atomic<std::int64_t> skipped_{0};
};

// A factory that keeps every source it made, in order, for the test to drive.
class FakeStreamSourceFactory {
 public:
  FakeStreamSource::Config config;

  StreamSourceFactory factory() {
    return [this] {
      auto source = std::make_shared<FakeStreamSource>(config);
      std::lock_guard lock(mutex_);
      made_.push_back(source);
      return source;
    };
  }
  std::vector<std::shared_ptr<FakeStreamSource>> made() const {
    std::lock_guard lock(mutex_);
    return made_;
  }
  std::shared_ptr<FakeStreamSource> last() const {
    std::lock_guard lock(mutex_);
    return made_.empty() ? nullptr : made_.back();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeStreamSource>> made_;
};

}  // namespace ombrel
