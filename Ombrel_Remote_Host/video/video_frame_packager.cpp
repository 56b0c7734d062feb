#include "Ombrel_Remote_Host/video/video_frame_packager.h"

#include "Ombrel_Remote_Host/video/nal_units.h"

namespace ombrel {

VideoFramePackager::VideoFramePackager(VideoCodec codec, std::uint16_t width, std::uint16_t height)
    : codec_(codec), width_(width), height_(height) {}

bool VideoFramePackager::keepParameterSet(ByteView unit) {
  const auto slot = nal::parameterSetSlot(codec_, nal::unitType(codec_, unit));
  if (!slot) return false;
  sets_[static_cast<std::size_t>(*slot)].assign(unit.begin(), unit.end());
  return true;
}

bool VideoFramePackager::setHeader(ByteView header) {
  if (nal::isAnnexB(header)) {
    for (ByteView unit : nal::splitAnnexB(header)) keepParameterSet(unit);
    return true;
  }
  const auto units = nal::configurationRecordUnits(codec_, header);
  if (!units) return false;
  for (const Bytes& unit : *units) keepParameterSet(unit);
  return true;
}

std::vector<Bytes> VideoFramePackager::parameterSets() const {
  std::vector<Bytes> out;
  for (const Bytes& set : sets_) {
    if (!set.empty()) out.push_back(set);
  }
  return out;
}

std::optional<VideoFrame> VideoFramePackager::package(ByteView annexB, bool isKeyframe,
                                                      std::uint64_t ptsMicros) {
  if (!nal::isAnnexB(annexB)) return std::nullopt;
  Bytes payload;
  payload.reserve(annexB.size() + 16);
  for (ByteView unit : nal::splitAnnexB(annexB)) {
    if (keepParameterSet(unit)) continue;
    if (nal::isDropped(codec_, nal::unitType(codec_, unit))) continue;
    const auto length = static_cast<std::uint32_t>(unit.size());
    payload.insert(
        payload.end(),
        {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
         static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    payload.insert(payload.end(), unit.begin(), unit.end());
  }
  if (payload.empty()) return std::nullopt;
  return VideoFrame{.isKeyframe = isKeyframe,
                    .codec = codec_,
                    .ptsMicros = ptsMicros,
                    .width = width_,
                    .height = height_,
                    .parameterSets = isKeyframe ? parameterSets() : std::vector<Bytes>{},
                    .payload = std::move(payload)};
}

}  // namespace ombrel
