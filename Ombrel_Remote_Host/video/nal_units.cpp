#include "Ombrel_Remote_Host/video/nal_units.h"

#include <cstddef>
#include <cstdint>

namespace ombrel::nal {
namespace {

constexpr int h264Sei = 6, h264Sps = 7, h264Pps = 8, h264Aud = 9, h264Idr = 5;
constexpr int hevcVps = 32, hevcPps = 34, hevcAud = 35, hevcSeiPrefix = 39, hevcSeiSuffix = 40,
              hevcIdrRadl = 19, hevcIdrNoLeading = 20;

// Length of the start code at `i`, or 0 when there is none.
std::size_t startCodeAt(ByteView data, std::size_t i) {
  if (i + 3 <= data.size() && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return 3;
  if (i + 4 <= data.size() && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 &&
      data[i + 3] == 1) {
    return 4;
  }
  return 0;
}

// A bounds-checked cursor over a configuration record.
struct Cursor {
  ByteView data;
  std::size_t at = 0;
  bool ok = true;

  std::uint32_t take(std::size_t n) {
    if (!ok || data.size() - at < n) {
      ok = false;
      return 0;
    }
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < n; ++k) v = (v << 8) | data[at + k];
    at += n;
    return v;
  }
  Bytes block(std::size_t n) {
    if (!ok || data.size() - at < n) {
      ok = false;
      return {};
    }
    Bytes out(data.begin() + static_cast<std::ptrdiff_t>(at),
              data.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    return out;
  }
};

std::optional<std::vector<Bytes>> avcCUnits(ByteView record) {
  Cursor c{record};
  if (c.take(1) != 1) return std::nullopt;
  c.take(4);  // profile, compatibility, level, length size
  std::vector<Bytes> units;
  for (int group = 0; group < 2 && c.ok; ++group) {
    // SPS count sits in the low five bits; the PPS count is a whole byte.
    const std::uint32_t count = group == 0 ? (c.take(1) & 0x1F) : c.take(1);
    for (std::uint32_t k = 0; k < count && c.ok; ++k) units.push_back(c.block(c.take(2)));
  }
  if (!c.ok) return std::nullopt;
  return units;
}

std::optional<std::vector<Bytes>> hvcCUnits(ByteView record) {
  Cursor c{record};
  if (c.take(1) != 1) return std::nullopt;
  c.block(21);  // profile, tier, level, chroma, bit depths, frame rate, length size
  const std::uint32_t arrays = c.take(1);
  std::vector<Bytes> units;
  for (std::uint32_t a = 0; a < arrays && c.ok; ++a) {
    c.take(1);  // completeness and type; each unit's own header says the type again
    const std::uint32_t count = c.take(2);
    for (std::uint32_t k = 0; k < count && c.ok; ++k) units.push_back(c.block(c.take(2)));
  }
  if (!c.ok) return std::nullopt;
  return units;
}

}  // namespace

int unitType(VideoCodec codec, ByteView unit) {
  if (unit.empty()) return -1;
  return codec == VideoCodec::h264 ? (unit[0] & 0x1F) : ((unit[0] >> 1) & 0x3F);
}

bool isAnnexB(ByteView data) { return startCodeAt(data, 0) != 0; }

std::vector<ByteView> splitAnnexB(ByteView stream) {
  std::vector<ByteView> units;
  std::size_t begin = 0;
  bool inUnit = false;
  auto close = [&](std::size_t end) {
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) units.push_back(stream.subspan(begin, end - begin));
  };
  for (std::size_t i = 0; i < stream.size();) {
    // Start codes can only begin at a zero byte; skip quickly to the next candidate.
    if (stream[i] != 0) {
      ++i;
      continue;
    }
    const std::size_t code = startCodeAt(stream, i);
    if (code == 0) {
      ++i;
      continue;
    }
    if (inUnit) close(i);
    i += code;
    begin = i;
    inUnit = true;
  }
  if (inUnit) close(stream.size());
  return units;
}

std::optional<std::vector<Bytes>> configurationRecordUnits(VideoCodec codec, ByteView record) {
  return codec == VideoCodec::h264 ? avcCUnits(record) : hvcCUnits(record);
}

std::optional<int> parameterSetSlot(VideoCodec codec, int type) {
  if (codec == VideoCodec::h264) {
    if (type == h264Sps) return 0;
    if (type == h264Pps) return 1;
    return std::nullopt;
  }
  if (type >= hevcVps && type <= hevcPps) return type - hevcVps;
  return std::nullopt;
}

bool isDropped(VideoCodec codec, int type) {
  if (codec == VideoCodec::h264) return type == h264Sei || type == h264Aud;
  return type == hevcAud || type == hevcSeiPrefix || type == hevcSeiSuffix;
}

bool isIdr(VideoCodec codec, int type) {
  if (codec == VideoCodec::h264) return type == h264Idr;
  return type == hevcIdrRadl || type == hevcIdrNoLeading;
}

Bytes toAnnexB(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

std::optional<std::vector<ByteView>> splitLengthPrefixed(ByteView payload) {
  std::vector<ByteView> units;
  std::size_t at = 0;
  while (at < payload.size()) {
    if (payload.size() - at < 4) return std::nullopt;
    const std::size_t length = (std::size_t{payload[at]} << 24) |
                               (std::size_t{payload[at + 1]} << 16) |
                               (std::size_t{payload[at + 2]} << 8) | payload[at + 3];
    at += 4;
    if (payload.size() - at < length) return std::nullopt;
    units.push_back(payload.subspan(at, length));
    at += length;
  }
  return units;
}

}  // namespace ombrel::nal
