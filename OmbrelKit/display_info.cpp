#include "OmbrelKit/display_info.h"

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

constexpr auto fields = [](auto& r, auto&& f) {
  f("id", r.id);
  f("name", r.name);
  f("pixelWidth", r.pixelWidth);
  f("pixelHeight", r.pixelHeight);
  f("pointWidth", r.pointWidth);
  f("pointHeight", r.pointHeight);
  f("refreshRate", r.refreshRate);
  f("isMain", r.isMain);
};

}  // namespace

NVJSON_RECORD(DisplayInfo, fields)

}  // namespace ombrel
