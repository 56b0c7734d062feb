#include "Ombrel_Remote_Host/audio/audio_backends.h"

#include "Ombrel_Remote_Host/linux/pulse/pulse_audio_capturer.h"

namespace ombrel {

// The sound server belongs to the login, not to the display: one backend serves every desktop
// session.
std::shared_ptr<AudioCapturer> openAudioCapturer(Runtime& runtime) {
  return PulseAudioCapturer::create(runtime, {});
}

}  // namespace ombrel
