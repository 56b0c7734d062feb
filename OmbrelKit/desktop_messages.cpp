#include "OmbrelKit/desktop_messages.h"

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

constexpr auto clipboardFields = [](auto& r, auto&& f) { f("text", r.text); };

constexpr auto wakeRequestFields = [](auto& r, auto&& f) { f("macAddresses", r.macAddresses); };

constexpr auto fileOfferFields = [](auto& r, auto&& f) {
  f("id", r.id);
  f("name", r.name);
  f("size", r.size);
};

constexpr auto fileDoneFields = [](auto& r, auto&& f) { f("id", r.id); };

constexpr auto fileResultFields = [](auto& r, auto&& f) {
  f("id", r.id);
  f("name", r.name);
  f("ok", r.ok);
  f("message", r.message);
};

}  // namespace

NVJSON_RECORD(ClipboardMessage, clipboardFields)
NVJSON_RECORD(WakeRequest, wakeRequestFields)
NVJSON_RECORD(FileOffer, fileOfferFields)
NVJSON_RECORD(FileDone, fileDoneFields)
NVJSON_RECORD(FileResult, fileResultFields)

}  // namespace ombrel
