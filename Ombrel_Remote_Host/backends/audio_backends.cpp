#include "Ombrel_Remote_Host/audio/audio_backends.h"

#if OMBREL_HAVE_LINUX_PULSE
#include "Ombrel_Remote_Host/linux/pulse/pulse_audio_capturer.h"
#endif

namespace ombrel {

// The sound server belongs to the login, not to the display: one backend serves every desktop
// session.
std::shared_ptr<AudioCapturer> openAudioCapturer(Runtime& runtime) {
#if OMBREL_HAVE_LINUX_PULSE
  return PulseAudioCapturer::create(runtime, {});
#else
  (void)runtime;
  return nullptr;
#endif
}

}  // namespace ombrel
