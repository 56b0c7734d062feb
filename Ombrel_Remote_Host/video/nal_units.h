#pragma once

#include <optional>
#include <vector>

#include "OmbrelKit/video_codec.h"
#include "base/bytes.h"

namespace ombrel {

// Turns what libavcodec's encoders produce (Annex-B byte streams, and for the global header
// either Annex-B or an avcC/hvcC record) into the stream's form: parameter sets as bare NAL
// units, and a payload of NAL units that each carry a 4-byte big-endian length.
namespace nal {

// NAL unit type from the unit's first header byte(s); -1 for an empty unit.
int unitType(VideoCodec codec, ByteView unit);

// The NAL units of an Annex-B stream (3- or 4-byte start codes), without their start codes.
// Bytes before the first start code are not a unit and are skipped; trailing zero bytes of a
// unit belong to the next start code and are trimmed.
std::vector<ByteView> splitAnnexB(ByteView stream);

// True when `data` begins with an Annex-B start code.
bool isAnnexB(ByteView data);

// The NAL units of an avcC (h264) or hvcC (hevc) configuration record; nullopt when the
// record is malformed.
std::optional<std::vector<Bytes>> configurationRecordUnits(VideoCodec codec, ByteView record);

// Where a parameter set goes in a key frame's list (VPS, SPS, PPS for hevc; SPS, PPS for
// h264), or nullopt for any other unit.
std::optional<int> parameterSetSlot(VideoCodec codec, int type);

// Units the client never needs: supplemental enhancement information and access unit
// delimiters.
bool isDropped(VideoCodec codec, int type);

// The first slice of a picture that can be decoded on its own (IDR for h264; IDR_W_RADL or
// IDR_N_LP for hevc).
bool isIdr(VideoCodec codec, int type);

// Annex-B from bare units (used to feed decoders and fakes).
Bytes toAnnexB(const std::vector<Bytes>& units);
// The units of a 4-byte length-prefixed payload; nullopt when a length runs past the end.
std::optional<std::vector<ByteView>> splitLengthPrefixed(ByteView payload);

}  // namespace nal
}  // namespace ombrel
