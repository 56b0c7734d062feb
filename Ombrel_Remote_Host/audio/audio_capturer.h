#pragma once

#include <functional>
#include <optional>
#include <system_error>

#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/video_frame.h"

namespace ombrel {

// The desktop's mixed output ("what the speakers play"), delivered as 16-bit stereo AudioFrames
// for a stream.
//
// Allowed state transitions:
//    idle -> running    start() succeeded
//    idle -> stopped    start() failed, or stop() came first or during start()
//    running -> stopped stop()
// A running capturer whose audio server or source goes away reports onStopped once, delivers
// nothing more and stays running until its owner calls stop(); it never restarts by itself.
//
// Threading contract:
// - start() blocks until audio flows or capture has failed (bounded by the backend's timeout).
//   It may be called once; a second call fails.
// - stop() may be called from any thread at any moment, any number of times, including from
//   inside onAudio/onStopped. Once it returns, no callback starts any more, and one running on
//   another thread has finished.
// - onAudio and onStopped are called one at a time on the backend's delivery queue (the
//   Linux backend's "nerovalde.capture.audio"), never on the caller's thread; the owner hops to
//   its own queue from there. onAudio may be called before start() returns.
class AudioCapturer {
 public:
  using OnAudio = std::function<void(AudioFrame)>;
  using OnStopped = std::function<void(const NVError&)>;

  virtual ~AudioCapturer() = default;

  // Empty when capture runs; otherwise why it could not start (the stream then goes on without
  // audio; the caller decides). onStopped may be empty.
  virtual std::optional<NVError> start(OnAudio onAudio, OnStopped onStopped) = 0;
  virtual void stop() = 0;
};

// What start() returns when stop() came first or interrupted it.
inline NVError audioCaptureCancelled() {
  return NVError::system(std::make_error_code(std::errc::operation_canceled));
}

inline bool isAudioCaptureCancelled(const NVError& error) {
  return error.kind() == NVError::Kind::system &&
         error.code() == std::make_error_code(std::errc::operation_canceled);
}

}  // namespace ombrel
