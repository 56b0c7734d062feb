#pragma once

#include <memory>

#include "Ombrel_Remote_Host/audio/audio_capturer.h"
#include "base/runtime.h"

namespace ombrel {

// The audio platform chooser. Declared here, beside the seam it returns, and defined in
// backends/: the layers above reach the desktop's sound only through it, never through a
// backend's own header.

// A capturer, not started yet, of what the desktop plays: PulseAudio (or PipeWire's pulse
// server) on the default sink's monitor, in X11 and Wayland sessions alike. Whether a server
// answers is learnt from start(). `runtime` must outlive the capturer.
std::shared_ptr<AudioCapturer> openAudioCapturer(Runtime& runtime);

}  // namespace ombrel
