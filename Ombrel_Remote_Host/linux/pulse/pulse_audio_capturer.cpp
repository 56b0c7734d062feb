#include "Ombrel_Remote_Host/linux/pulse/pulse_audio_capturer.h"

#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "Ombrel_Remote_Host/audio/audio_conversion.h"
#include "base/log.h"
#include "base/thread_priority.h"

namespace ombrel {

namespace {

constexpr std::uint32_t captureRate = 48000;
constexpr std::uint8_t captureChannels = 2;
constexpr const char* defaultMonitor = "@DEFAULT_MONITOR@";

PulseAudioCapturer* from(void* userdata) { return static_cast<PulseAudioCapturer*>(userdata); }

pa_usec_t toMicros(double seconds) {
  return seconds > 0 ? static_cast<pa_usec_t>(std::llround(seconds * 1e6)) : 0;
}

NVError failure(std::string_view text, int error) {
  return NVError::invalid(std::string(text) + pa_strerror(error));
}

}  // namespace

std::shared_ptr<PulseAudioCapturer> PulseAudioCapturer::create(Runtime& runtime, Config config) {
  return std::shared_ptr<PulseAudioCapturer>(new PulseAudioCapturer(runtime, std::move(config)));
}

PulseAudioCapturer::PulseAudioCapturer(Runtime& runtime, Config config)
    : config_(std::move(config)), queue_(runtime.makeQueue("nerovalde.capture.audio")) {}

PulseAudioCapturer::~PulseAudioCapturer() {
  // Callbacks hold only weak references, so nothing of ours runs on queue_ now; the owner's
  // callbacks die with the object.
  {
    std::unique_lock lock(mutex_);
    phase_ = Phase::stopped;
    active_ = false;
  }
  shutdownMainloop();
  if (mainloop_) pa_threaded_mainloop_free(mainloop_);
}

std::optional<NVError> PulseAudioCapturer::start(OnAudio onAudio, OnStopped onStopped) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::stopped) return audioCaptureCancelled();
    if (phase_ != Phase::idle) return NVError::invalid("系統音訊擷取已經啟動");
    mainloop_ = pa_threaded_mainloop_new();
    if (!mainloop_) {
      phase_ = Phase::stopped;
      return failure(noServerText, PA_ERR_INTERNAL);
    }
    pa_threaded_mainloop_set_name(mainloop_, queue_->label().c_str());
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
      phase_ = Phase::stopped;
      return failure(noServerText, PA_ERR_INTERNAL);
    }
    mainloopRunning_ = true;
    phase_ = Phase::starting;
    startInProgress_ = true;
    // queue_ reads them only after active_ is set, which happens later on this thread.
    onAudio_ = std::move(onAudio);
    onStopped_ = std::move(onStopped);
  }

  pa_threaded_mainloop_lock(mainloop_);
  auto result = connectLocked();
  if (result) disconnectLocked();
  std::string source = source_;
  pa_threaded_mainloop_unlock(mainloop_);

  std::unique_lock lock(mutex_);
  startInProgress_ = false;
  startFinished_.notify_all();
  if (!result && phase_ == Phase::starting) {
    phase_ = Phase::running;
    sourceName_ = source;
    log::line("Ombrel Remote: capturing system audio from " + source);
    return std::nullopt;
  }
  // A stop() that came meanwhile waits for us and then tears down; otherwise it is ours to do.
  bool cancelled = phase_ == Phase::stopped;
  phase_ = Phase::stopped;
  lock.unlock();
  if (!cancelled) {
    shutdownMainloop();
    releaseCallbacks();
  }
  if (cancelled) return audioCaptureCancelled();
  log::line("Ombrel Remote: system audio unavailable: " + result->errorDescription());
  return result;
}

void PulseAudioCapturer::stop() {
  {
    std::unique_lock lock(mutex_);
    if (phase_ != Phase::stopped) {
      phase_ = Phase::stopped;
      if (startInProgress_) {
        pa_threaded_mainloop_lock(mainloop_);
        cancelled_ = true;
        active_ = false;
        pa_threaded_mainloop_signal(mainloop_, 0);
        pa_threaded_mainloop_unlock(mainloop_);
        startFinished_.wait(lock, [&] { return !startInProgress_; });
      }
    }
    active_ = false;
  }
  shutdownMainloop();
  releaseCallbacks();
}

std::string PulseAudioCapturer::sourceName() const {
  std::lock_guard lock(mutex_);
  return sourceName_;
}

void PulseAudioCapturer::shutdownMainloop() {
  {
    std::lock_guard lock(mutex_);
    if (!std::exchange(mainloopRunning_, false)) return;
  }
  pa_threaded_mainloop_lock(mainloop_);
  disconnectLocked();
  pa_threaded_mainloop_unlock(mainloop_);
  pa_threaded_mainloop_stop(mainloop_);
}

void PulseAudioCapturer::releaseCallbacks() {
  if (queue_->isCurrent()) {
    // Called from inside a callback: the running one must outlive its own call.
    queue_->post([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->callbackLock_);
        self->onAudio_ = nullptr;
        self->onStopped_ = nullptr;
      }
    });
  } else {
    // Also waits for a callback running right now, so none runs after stop() returns. The lock,
    // not a wait for queue_: stop() comes from other queues (a session's), and waiting there for
    // queue_ to get a pool thread could leave the pool without one.
    std::lock_guard lock(callbackLock_);
    onAudio_ = nullptr;
    onStopped_ = nullptr;
  }
}

bool PulseAudioCapturer::waitLocked(const std::function<bool()>& done) {
  while (!done()) {
    if (cancelled_ || timedOut_) return false;
    pa_threaded_mainloop_wait(mainloop_);
  }
  return !cancelled_ && !timedOut_;
}

NVError PulseAudioCapturer::waitFailureLocked() const {
  return cancelled_ ? audioCaptureCancelled() : NVError::invalid(std::string(timeoutText));
}

std::optional<NVError> PulseAudioCapturer::connectLocked() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  context_ = pa_context_new(api, "Ombrel Remote");
  if (!context_) return failure(noServerText, PA_ERR_INTERNAL);
  pa_context_set_state_callback(
      context_, [](pa_context*, void* self) { from(self)->contextStateChanged(); }, this);
  deadline_ = pa_context_rttime_new(
      context_, pa_rtclock_now() + toMicros(config_.connectTimeout),
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* self = from(userdata);
        self->timedOut_ = true;
        pa_threaded_mainloop_signal(self->mainloop_, 0);
      },
      this);

  // Never spawn a server: a desktop without one streams without audio.
  const char* server = config_.server.empty() ? nullptr : config_.server.c_str();
  if (pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return failure(noServerText, pa_context_errno(context_));
  }
  auto contextSettled = [&] {
    auto state = pa_context_get_state(context_);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  };
  if (!waitLocked(contextSettled)) return waitFailureLocked();
  if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
    return failure(noServerText, pa_context_errno(context_));
  }

  source_ = config_.source.empty() ? defaultMonitorLocked() : config_.source;
  if (cancelled_ || timedOut_) return waitFailureLocked();

  pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, captureRate, captureChannels};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  stream_ = pa_stream_new(context_, "系統音訊", &sampleSpec, &map);
  if (!stream_) return failure(streamFailedText, pa_context_errno(context_));
  pa_stream_set_state_callback(
      stream_, [](pa_stream*, void* self) { from(self)->streamStateChanged(); }, this);
  pa_stream_set_read_callback(
      stream_, [](pa_stream*, std::size_t, void* self) { from(self)->readable(); }, this);

  // Small fragments keep the audio close to the picture; maxlength stays the server's choice.
  pa_buffer_attr attr;
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize =
      static_cast<std::uint32_t>(pa_usec_to_bytes(toMicros(config_.fragmentSeconds), &sampleSpec));
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                              PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
  if (pa_stream_connect_record(stream_, source_.c_str(), &attr, flags) < 0) {
    return failure(streamFailedText, pa_context_errno(context_));
  }
  auto streamSettled = [&] {
    auto state = pa_stream_get_state(stream_);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  };
  if (!waitLocked(streamSettled)) return waitFailureLocked();
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
    bool serverGone = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    return failure(serverGone ? noServerText : streamFailedText, pa_context_errno(context_));
  }

  // The server converts to what was asked; anything else would be misread, so refuse it.
  const pa_sample_spec* actual = pa_stream_get_sample_spec(stream_);
  if (!actual || actual->format != PA_SAMPLE_FLOAT32LE || actual->channels == 0 ||
      pa_frame_size(actual) > partial_.size()) {
    return failure(streamFailedText, PA_ERR_NOTSUPPORTED);
  }
  rate_ = actual->rate;
  channels_ = actual->channels;
  frameBytes_ = pa_frame_size(actual);

  api->time_free(deadline_);
  deadline_ = nullptr;
  connected_ = true;
  active_ = true;
  return std::nullopt;
}

std::string PulseAudioCapturer::defaultMonitorLocked() {
  struct Lookup {
    PulseAudioCapturer* self;
    bool done = false;
    std::string sink;
    std::string monitor;
  } lookup{this};
  auto run = [&](pa_operation* operation) {
    if (!operation) return;
    lookup.done = false;
    if (!waitLocked([&] { return lookup.done; })) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  };

  run(pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* lookup = static_cast<Lookup*>(userdata);
        if (info && info->default_sink_name) lookup->sink = info->default_sink_name;
        lookup->done = true;
        pa_threaded_mainloop_signal(lookup->self->mainloop_, 0);
      },
      &lookup));
  if (lookup.sink.empty()) return defaultMonitor;

  run(pa_context_get_sink_info_by_name(
      context_, lookup.sink.c_str(),
      [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* lookup = static_cast<Lookup*>(userdata);
        if (eol == 0 && info && info->monitor_source_name) {
          lookup->monitor = info->monitor_source_name;
          return;
        }
        lookup->done = true;
        pa_threaded_mainloop_signal(lookup->self->mainloop_, 0);
      },
      &lookup));
  if (!lookup.monitor.empty()) return lookup.monitor;
  return lookup.sink + ".monitor";
}

void PulseAudioCapturer::disconnectLocked() {
  connected_ = false;
  if (stream_) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  if (deadline_) {
    pa_threaded_mainloop_get_api(mainloop_)->time_free(deadline_);
    deadline_ = nullptr;
  }
  if (context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  partialBytes_ = 0;
}

void PulseAudioCapturer::contextStateChanged() {
  pa_threaded_mainloop_signal(mainloop_, 0);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    reportLocked(serverGoneText, pa_context_errno(context_));
  }
}

void PulseAudioCapturer::streamStateChanged() {
  pa_threaded_mainloop_signal(mainloop_, 0);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
    reportLocked(serverGoneText, pa_context_errno(context_));
  }
}

void PulseAudioCapturer::reportLocked(std::string_view text, int error) {
  // Only failures of a running capture are reported; start() handles its own.
  if (!connected_ || reported_) return;
  reported_ = true;
  auto stopped = failure(text, error);
  log::line("Ombrel Remote: system audio capture ended: " + stopped.errorDescription());
  queue_->post([weak = weak_from_this(), stopped = std::move(stopped)] {
    if (auto self = weak.lock()) self->deliverStopped(stopped);
  });
}

void PulseAudioCapturer::readable() {
  // Data can come before start() has read the stream's format; it waits in the server's buffer.
  if (!connected_) return;
  // The mainloop thread reads the sound off the server: raised like the picture's threads, once
  // per thread (each capturer has its own mainloop thread).
  static thread_local bool raised = false;
  if (!std::exchange(raised, true)) raiseThreadPriority(ThreadRole::audio);
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) return;
    if (data) {
      consume(static_cast<const std::uint8_t*>(data), bytes);
    } else {
      // A hole: audio was lost, so a frame begun before it cannot be finished.
      partialBytes_ = 0;
    }
    pa_stream_drop(stream_);
  }
}

void PulseAudioCapturer::consume(const std::uint8_t* data, std::size_t bytes) {
  bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0;
  if (partialBytes_ == 0 && aligned && bytes % frameBytes_ == 0) {
    convert(reinterpret_cast<const float*>(data), bytes / frameBytes_);
    return;
  }
  // Chunks that split a frame or sit unaligned go through scratch_, which keeps its capacity.
  std::size_t frames = (partialBytes_ + bytes) / frameBytes_;
  if (frames > 0) {
    scratch_.resize(frames * frameBytes_ / sizeof(float));
    auto* out = reinterpret_cast<std::uint8_t*>(scratch_.data());
    std::memcpy(out, partial_.data(), partialBytes_);
    std::size_t taken = frames * frameBytes_ - partialBytes_;
    std::memcpy(out + partialBytes_, data, taken);
    data += taken;
    bytes -= taken;
    partialBytes_ = 0;
    convert(scratch_.data(), frames);
  }
  std::memcpy(partial_.data() + partialBytes_, data, bytes);
  partialBytes_ += bytes;
}

void PulseAudioCapturer::convert(const float* samples, std::size_t frames) {
  if (!active_.load(std::memory_order_relaxed)) return;
  const float* buffers[] = {samples};
  AudioFrame frame{rate_, captureChannels,
                   AudioConversion::toStereoS16LE(buffers, 1, true, channels_,
                                                  static_cast<std::int64_t>(frames))};
  queue_->post([weak = weak_from_this(), frame = std::move(frame)]() mutable {
    if (auto self = weak.lock()) self->deliver(std::move(frame));
  });
}

void PulseAudioCapturer::deliver(AudioFrame frame) {
  std::lock_guard lock(callbackLock_);
  if (active_ && onAudio_) onAudio_(std::move(frame));
}

void PulseAudioCapturer::deliverStopped(const NVError& error) {
  std::lock_guard lock(callbackLock_);
  if (active_ && onStopped_) onStopped_(error);
}

}  // namespace ombrel
