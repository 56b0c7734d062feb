// ImageGuard on untrusted bytes (clipboard images): it must never crash, read out of bounds or
// accept something its own rules refuse.
#include <cstdint>
#include <cstdlib>

#include "OmbrelKit/image_guard.h"
#include "base/log.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (log::setSink([](std::string_view) {}), true);
  (void)quiet;
  if (size > (1 << 20)) return 0;
  ByteView bytes(data, size);
  bool safe = ImageGuard::isSafe(bytes);
  // A smaller limit can only refuse more.
  if (ImageGuard::isSafe(bytes, 64) && !safe) std::abort();
  return 0;
}
