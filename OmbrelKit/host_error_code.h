#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace ombrel {

// Why the host refused or stopped something; travels as its raw string in the `code` field of
// pairResult and error messages so clients can react without parsing the localized text.
enum class HostErrorCode {
  refused,
  lanOnly,
  notAccepting,
  supportActive,
  pairingBusy,
  rateLimited,
  noDisplay,
  screenPermission,
  captureFailed,
  captureStopped,
  virtualDisplayFallback,
};

std::string_view rawValue(HostErrorCode code);
std::optional<HostErrorCode> hostErrorCode(std::string_view raw);

void readValue(const nlohmann::json& in, HostErrorCode& out);
nlohmann::json writeValue(HostErrorCode code);

// The optional `code` field of `object`. A code this side does not know (a newer peer's) reads
// as no code rather than failing the whole message; a non-string value is still an error.
std::optional<HostErrorCode> readOptionalHostErrorCode(const nlohmann::json& object,
                                                       const char* key);

}  // namespace ombrel
