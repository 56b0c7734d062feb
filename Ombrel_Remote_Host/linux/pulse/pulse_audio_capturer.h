#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Ombrel_Remote_Host/audio/audio_capturer.h"
#include "base/runtime.h"

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;

namespace ombrel {

// AudioCapturer on libpulse: records the monitor source of the default sink (PulseAudio, or
// PipeWire's pulse server) as float32le 48 kHz stereo in ~10 ms fragments and converts every
// chunk to 16-bit stereo.
//
// The capture runs on libpulse's threaded mainloop; its thread only peeks, converts and posts,
// and the frames are handed to onAudio on the SerialQueue "nerovalde.capture.audio", so no
// owner code ever runs on (or under the lock of) the mainloop thread. That is what lets stop()
// and the destructor run from inside a callback.
//
// The server is never spawned; without one start() fails with `noServerText`. Failures while
// running (server gone, source removed) reach onStopped once. The stream does not keep an idle
// sink from suspending, so silence need not be captured and sent. Playback of the host itself is
// not excluded: a monitor source carries the mix, not its parts.
//
// Lock order: mutex_ before the mainloop lock; the mainloop thread takes neither mutex_ nor the
// delivery queue, so no wait here can close a cycle with it. callbackLock_ is held while the
// owner's callback runs and taken by stop() from other threads, never with another lock held.
class PulseAudioCapturer final : public AudioCapturer,
                                 public std::enable_shared_from_this<PulseAudioCapturer> {
 public:
  struct Config {
    std::string server;  // a libpulse server string; empty for the usual lookup (PULSE_SERVER, ...)
    std::string source;  // a source name; empty for the monitor of the default sink
    double connectTimeout = 5.0;  // seconds for connecting and opening the stream
    double fragmentSeconds = 0.01;
  };

  // Texts of the errors start() returns and onStopped reports (Traditional Chinese, as they may
  // reach the client); the server's own reason follows the colon.
  static constexpr std::string_view noServerText = "無法連接音訊伺服器：";
  static constexpr std::string_view timeoutText = "音訊伺服器沒有回應";
  static constexpr std::string_view streamFailedText = "無法擷取系統音訊：";
  static constexpr std::string_view serverGoneText = "系統音訊擷取中斷：";

  static std::shared_ptr<PulseAudioCapturer> create(Runtime& runtime, Config config);
  ~PulseAudioCapturer() override;
  PulseAudioCapturer(const PulseAudioCapturer&) = delete;
  PulseAudioCapturer& operator=(const PulseAudioCapturer&) = delete;

  std::optional<NVError> start(OnAudio onAudio, OnStopped onStopped) override;
  void stop() override;

  // The source being recorded once start() succeeded (for the log and tests).
  std::string sourceName() const;
  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

 private:
  PulseAudioCapturer(Runtime& runtime, Config config);

  enum class Phase { idle, starting, running, stopped };

  // With the mainloop lock held (start's thread or the mainloop thread):
  std::optional<NVError> connectLocked();
  bool waitLocked(const std::function<bool()>& done);
  NVError waitFailureLocked() const;
  std::string defaultMonitorLocked();
  void disconnectLocked();
  void contextStateChanged();
  void streamStateChanged();
  void readable();
  void consume(const std::uint8_t* data, std::size_t bytes);
  void convert(const float* samples, std::size_t frames);
  void reportLocked(std::string_view text, int error);

  // On queue_:
  void deliver(AudioFrame frame);
  void deliverStopped(const NVError& error);

  // Disconnects and joins the mainloop thread; never on that thread.
  void shutdownMainloop();
  void releaseCallbacks();

  Config config_;
  std::shared_ptr<SerialQueue> queue_;

  mutable std::mutex mutex_;
  std::condition_variable startFinished_;
  Phase phase_ = Phase::idle;
  bool startInProgress_ = false;
  bool mainloopRunning_ = false;
  std::string sourceName_;
  // Made by start() before its thread runs and freed by the destructor, so the mainloop thread
  // and every caller may use it without mutex_.
  pa_threaded_mainloop* mainloop_ = nullptr;

  // Guarded by the mainloop lock.
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_time_event* deadline_ = nullptr;
  bool cancelled_ = false;
  bool timedOut_ = false;
  bool connected_ = false;  // the stream is up; failures from now on go to onStopped
  bool reported_ = false;
  std::string source_;
  std::uint32_t rate_ = 0;
  int channels_ = 0;
  std::size_t frameBytes_ = 0;
  // A frame split across chunks, and room to realign it (reused, so chunks do not allocate).
  std::array<std::uint8_t, 128> partial_{};  // PA_CHANNELS_MAX float samples
  std::size_t partialBytes_ = 0;
  std::vector<float> scratch_;

  // Set when frames may flow to the owner; cleared by stop() before it drains the queue.
  std::atomic<bool> active_{false};
  // Called on queue_ and cleared by stop(), both under callbackLock_.
  std::mutex callbackLock_;
  OnAudio onAudio_;
  OnStopped onStopped_;
};

}  // namespace ombrel
