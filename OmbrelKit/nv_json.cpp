#include "OmbrelKit/nv_json.h"

#include <cmath>

namespace ombrel::NVJSON {

void fail(const std::string& what) { throw NVError::invalid(what); }

bool allFinite(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_float:
      return std::isfinite(value.get<double>());
    case Json::value_t::object:
    case Json::value_t::array:
      for (const auto& element : value) {
        if (!allFinite(element)) return false;
      }
      return true;
    default:
      return true;
  }
}

Bytes dump(const Json& value) {
  try {
    // Strings that reach here came from valid JSON or from our own code; replacing an invalid
    // sequence keeps one bad byte from costing the whole message.
    return toBytes(value.dump(-1, ' ', false, Json::error_handler_t::replace));
  } catch (const std::exception&) {
    return {};
  }
}

Json parse(ByteView bytes) {
  // Peers choose the nesting; bound it so no reader of the tree can be driven arbitrarily deep.
  constexpr int kMaxDepth = 64;
  auto limitDepth = [](int depth, Json::parse_event_t, Json&) {
    if (depth > kMaxDepth) throw NVError::invalid("JSON nesting too deep");
    return true;
  };
  try {
    return Json::parse(bytes.begin(), bytes.end(), limitDepth);
  } catch (const Json::exception& e) {
    throw NVError::invalid(e.what());
  }
}

}  // namespace ombrel::NVJSON
