#include "OmbrelKit/host_error_code.h"

#include <array>
#include <utility>

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

using enum HostErrorCode;

constexpr std::array<std::pair<HostErrorCode, std::string_view>, 11> kRawValues = {{
    {refused, "refused"},
    {lanOnly, "lan_only"},
    {notAccepting, "not_accepting"},
    {supportActive, "support_active"},
    {pairingBusy, "pairing_busy"},
    {rateLimited, "rate_limited"},
    {noDisplay, "no_display"},
    {screenPermission, "screen_permission"},
    {captureFailed, "capture_failed"},
    {captureStopped, "capture_stopped"},
    {virtualDisplayFallback, "virtual_display_fallback"},
}};

}  // namespace

std::string_view rawValue(HostErrorCode code) {
  for (const auto& [c, raw] : kRawValues) {
    if (c == code) return raw;
  }
  return {};
}

std::optional<HostErrorCode> hostErrorCode(std::string_view raw) {
  for (const auto& [c, r] : kRawValues) {
    if (r == raw) return c;
  }
  return std::nullopt;
}

void readValue(const nlohmann::json& in, HostErrorCode& out) {
  NVJSON::readStringRaw(in, out, hostErrorCode);
}

nlohmann::json writeValue(HostErrorCode code) { return std::string(rawValue(code)); }

std::optional<HostErrorCode> readOptionalHostErrorCode(const nlohmann::json& object,
                                                       const char* key) {
  std::optional<std::string> raw;
  NVJSON::read(object, key, raw);
  if (!raw) return std::nullopt;
  return hostErrorCode(*raw);
}

}  // namespace ombrel
