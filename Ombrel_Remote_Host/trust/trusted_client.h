#pragma once

// One paired device, as the host remembers it.

#include <optional>
#include <string>

#include "OmbrelKit/nv_json.h"
#include "base/bytes.h"

namespace ombrel {

// Dates of trusted clients are seconds since 2001-01-01 00:00:00 UTC, the scale they are stored
// in, so that a list read back compares equal to the list written.
namespace ReferenceDate {
inline constexpr double unixOffset = 978307200.0;
inline double fromUnix(double unixSeconds) { return unixSeconds - unixOffset; }
inline double toUnix(double referenceSeconds) { return referenceSeconds + unixOffset; }
}  // namespace ReferenceDate

struct TrustedClient {
  Bytes publicKey;                  // the long-term key the client proved in the handshake
  std::string name;                 // the cleaned device name at pairing time
  double addedAt = 0;               // ReferenceDate seconds
  std::optional<double> expiresAt;  // end of a time-limited grant; absent for permanent trust

  bool operator==(const TrustedClient&) const = default;
};

// {"publicKey": Base64, "name": text, "addedAt": number, "expiresAt": number (omitted when
// absent)}.
void toJSON(NVJSON::Json& out, const TrustedClient& client);
void fromJSON(const NVJSON::Json& in, TrustedClient& client);

}  // namespace ombrel
