#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "Ombrel_Remote_Host/audio/audio_capturer.h"

namespace ombrel {

// An AudioCapturer the test drives: start() succeeds or fails as configured, deliver() and
// serverGone() stand in for the audio server. Callbacks run synchronously on the thread that
// calls deliver()/serverGone(), which plays the part of the delivery queue; like the real
// backend, nothing is delivered before start() or after stop(), and onStopped comes at most once.
class FakeAudioCapturer : public AudioCapturer {
 public:
  struct Config {
    std::optional<NVError> startError;  // start() fails with this when set
  };

  FakeAudioCapturer() : FakeAudioCapturer(Config()) {}
  explicit FakeAudioCapturer(Config config) : config_(std::move(config)) {}

  std::optional<NVError> start(OnAudio onAudio, OnStopped onStopped) override {
    std::lock_guard lock(mutex_);
    ++startCount_;
    if (state_ == State::stopped) return audioCaptureCancelled();
    if (state_ == State::running) return NVError::invalid("audio capture already started");
    if (config_.startError) {
      state_ = State::stopped;
      return config_.startError;
    }
    state_ = State::running;
    onAudio_ = std::move(onAudio);
    onStopped_ = std::move(onStopped);
    return std::nullopt;
  }

  void stop() override {
    std::lock_guard lock(mutex_);
    ++stopCount_;
    state_ = State::stopped;
    onAudio_ = nullptr;
    onStopped_ = nullptr;
  }

  // Delivers one frame as the audio server would; false when nothing is listening.
  bool deliver(AudioFrame frame) {
    std::unique_lock lock(mutex_);
    if (state_ != State::running || reported_ || !onAudio_) return false;
    auto callback = onAudio_;
    lock.unlock();
    callback(std::move(frame));
    return true;
  }

  // The audio server went away: onStopped once, then silence.
  void serverGone(NVError error) {
    std::unique_lock lock(mutex_);
    if (state_ != State::running || reported_) return;
    reported_ = true;
    auto callback = onStopped_;
    lock.unlock();
    if (callback) callback(error);
  }

  bool running() const {
    std::lock_guard lock(mutex_);
    return state_ == State::running;
  }
  int startCount() const {
    std::lock_guard lock(mutex_);
    return startCount_;
  }
  int stopCount() const {
    std::lock_guard lock(mutex_);
    return stopCount_;
  }

 private:
  enum class State { idle, running, stopped };

  mutable std::mutex mutex_;
  Config config_;
  State state_ = State::idle;
  bool reported_ = false;
  int startCount_ = 0;
  int stopCount_ = 0;
  OnAudio onAudio_;
  OnStopped onStopped_;
};

}  // namespace ombrel
