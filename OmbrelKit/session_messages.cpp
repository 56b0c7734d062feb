#include "OmbrelKit/session_messages.h"

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

constexpr auto clientHelloFields = [](auto& r, auto&& f) {
  f("deviceName", r.deviceName);
  f("model", r.model);
  f("protocolVersion", r.protocolVersion);
};

constexpr auto hostHelloFields = [](auto& r, auto&& f) {
  f("name", r.name);
  f("hostID", r.hostID);
  f("os", r.os);
  f("authorized", r.authorized);
  f("displays", r.displays);
  f("protocolVersion", r.protocolVersion);
  f("capabilities", r.capabilities);
  f("addresses", r.addresses);
  f("macAddresses", r.macAddresses);
};

constexpr auto pairRequestFields = [](auto& r, auto&& f) {
  f("deviceName", r.deviceName);
  f("model", r.model);
  f("grantMinutes", r.grantMinutes);
};

}  // namespace

NVJSON_RECORD(ClientHello, clientHelloFields)

NVJSON_RECORD(HostHello, hostHelloFields)

NVJSON_RECORD(PairRequest, pairRequestFields)

// PairResult and ErrorMessage read `code` by hand: an unknown code is no code, not a failure.
void toJSON(nlohmann::json& out, const PairResult& value) {
  NVJSON::write(out, "ok", value.ok);
  NVJSON::write(out, "message", value.message);
  NVJSON::write(out, "code", value.code);
}
void fromJSON(const nlohmann::json& in, PairResult& value) {
  NVJSON::read(in, "ok", value.ok);
  NVJSON::read(in, "message", value.message);
  value.code = readOptionalHostErrorCode(in, "code");
}

void toJSON(nlohmann::json& out, const ErrorMessage& value) {
  NVJSON::write(out, "message", value.message);
  NVJSON::write(out, "code", value.code);
  NVJSON::write(out, "detail", value.detail);
}
void fromJSON(const nlohmann::json& in, ErrorMessage& value) {
  NVJSON::read(in, "message", value.message);
  value.code = readOptionalHostErrorCode(in, "code");
  NVJSON::read(in, "detail", value.detail);
}

}  // namespace ombrel
