#if OMBREL_HAVE_LINUX_LIBAV
#include "Ombrel_Remote_Host/linux/libav/libav_video_encoder_backend.h"
#endif
#include "Ombrel_Remote_Host/video/video_encoder_backend.h"

namespace ombrel {

// libavcodec serves every desktop session: its hardware encoders need a render node, not a
// display. Without it no encoder opens, and a stream start says so.
std::vector<VideoEncoderCandidate> platformVideoEncoderCandidates(VideoCodec codec) {
#if OMBREL_HAVE_LINUX_LIBAV
  return libavVideoEncoderCandidates(codec);
#else
  (void)codec;
  return {};
#endif
}

}  // namespace ombrel
