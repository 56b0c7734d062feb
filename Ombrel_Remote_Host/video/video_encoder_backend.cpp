#include "Ombrel_Remote_Host/video/video_encoder_backend.h"

#include "OmbrelKit/nv_error.h"
#include "base/log.h"

namespace ombrel {

VideoEncoderChoice chooseVideoEncoder(const std::vector<VideoEncoderCandidate>& candidates,
                                      VideoEncoderSettings settings) {
  struct Round {
    bool hardware;
    bool lowLatency;
  };
  constexpr Round rounds[] = {{true, false}, {true, true}, {false, false}};
  // -1 stands when there was no candidate at all.
  int status = -1;
  for (const Round& round : rounds) {
    for (const VideoEncoderCandidate& candidate : candidates) {
      if (candidate.hardware != round.hardware) continue;
      if (round.lowLatency && !candidate.hasLowLatencyMode) continue;
      settings.lowLatency = round.lowLatency;
      int result = 0;
      auto backend = candidate.open(settings, result);
      if (backend) {
        return {std::move(backend), candidate.name, round.lowLatency};
      }
      status = result < 0 ? result : -1;
    }
  }
  log::line("Ombrel Remote: no video encoder opened (" + std::to_string(status) + ")");
  throw NVError::invalid("無法建立硬體編碼器 (" + std::to_string(status) + ")");
}

}  // namespace ombrel
