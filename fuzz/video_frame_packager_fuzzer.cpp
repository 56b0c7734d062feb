// Encoder output is not untrusted, but the header and packet parsers must hold for any bytes a
// misbehaving encoder or driver hands over: no read past the end, and every frame they produce
// is fully covered by its length prefixes and free of the units they drop.
#include <cstdint>
#include <cstdlib>

#include "Ombrel_Remote_Host/video/nal_units.h"
#include "Ombrel_Remote_Host/video/video_frame_packager.h"
#include "base/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ombrel::log::setSink([](std::string_view) {});
  if (size < 2 || size > 65536) return 0;
  const ombrel::VideoCodec codec =
      data[0] & 1 ? ombrel::VideoCodec::h264 : ombrel::VideoCodec::hevc;
  const ombrel::ByteView rest(data + 2, size - 2);
  const std::size_t headerSize = std::min<std::size_t>(data[1], rest.size());
  ombrel::VideoFramePackager packager(codec, 64, 32);
  packager.setHeader(rest.first(headerSize));
  const auto frame = packager.package(rest.subspan(headerSize), (data[0] & 2) != 0, 0);
  if (!frame) return 0;
  const auto units = ombrel::nal::splitLengthPrefixed(frame->payload);
  if (!units || units->empty()) std::abort();
  for (ombrel::ByteView unit : *units) {
    const int type = ombrel::nal::unitType(codec, unit);
    if (ombrel::nal::isDropped(codec, type) || ombrel::nal::parameterSetSlot(codec, type)) {
      std::abort();
    }
  }
  return 0;
}
