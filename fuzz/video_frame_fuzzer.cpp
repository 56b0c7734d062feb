// VideoFrame and AudioFrame decoding of untrusted bodies. Whatever decodes must encode back to
// the same bytes (with the flag bits the encoder never sets cleared), so neither layout can lose
// or invent data.
#include <cstdint>
#include <cstdlib>

#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/video_frame.h"
#include "base/log.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (log::setSink([](std::string_view) {}), true);
  (void)quiet;
  if (size > (1 << 20)) return 0;
  ByteView body(data, size);

  try {
    auto frame = VideoFrame::decode(body);
    Bytes canonical(body.begin(), body.end());
    canonical[0] &= 0x03;
    if (frame.encoded() != canonical) std::abort();
  } catch (const NVError&) {
  }

  try {
    auto audio = AudioFrame::decode(body);
    if (audio.encoded() != Bytes(body.begin(), body.end())) std::abort();
  } catch (const NVError&) {
  }
  return 0;
}
