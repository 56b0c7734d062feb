// Clipboard images in formats other than PNG come from any X client; their decoder must survive
// anything. The first byte picks the format.
#include <cstddef>
#include <cstdint>
#include <span>

extern "C" {
#include <libavutil/log.h>
}

#include "Ombrel_Remote_Host/linux/libav/libav_image_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)quiet;
  const auto& types = ombrel::libavImageTypes();
  if (types.empty()) return 0;
  (void)ombrel::decodeImage(std::span<const uint8_t>(data + 1, size - 1),
                            types[data[0] % types.size()], 1 << 20);
  return 0;
}
