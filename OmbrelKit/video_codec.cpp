#include "OmbrelKit/video_codec.h"

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {

void readValue(const nlohmann::json& in, VideoCodec& out) {
  NVJSON::readStringRaw(in, out, videoCodec);
}

nlohmann::json writeValue(VideoCodec codec) { return std::string(rawValue(codec)); }

}  // namespace ombrel
