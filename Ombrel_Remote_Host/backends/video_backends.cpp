#include "Ombrel_Remote_Host/linux/libav/libav_video_encoder_backend.h"
#include "Ombrel_Remote_Host/video/video_encoder_backend.h"

namespace ombrel {

// libavcodec serves every desktop session: its hardware encoders need a render node, not a
// display.
std::vector<VideoEncoderCandidate> platformVideoEncoderCandidates(VideoCodec codec) {
  return libavVideoEncoderCandidates(codec);
}

}  // namespace ombrel
