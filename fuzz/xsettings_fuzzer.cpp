// The XSETTINGS property is written by another X client; its reader must survive anything.
#include <cstddef>
#include <cstdint>
#include <span>

#include "Ombrel_Remote_Host/linux/x11/xsettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  (void)ombrel::XSettings::integer(std::span<const uint8_t>(data, size), "Net/DoubleClickTime");
  return 0;
}
