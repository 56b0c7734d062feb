#include "Ombrel_Remote_Host/trust/trusted_client.h"

namespace ombrel {

void toJSON(NVJSON::Json& out, const TrustedClient& client) {
  NVJSON::write(out, "publicKey", client.publicKey);
  NVJSON::write(out, "name", client.name);
  NVJSON::write(out, "addedAt", client.addedAt);
  NVJSON::write(out, "expiresAt", client.expiresAt);
}

void fromJSON(const NVJSON::Json& in, TrustedClient& client) {
  NVJSON::read(in, "publicKey", client.publicKey);
  NVJSON::read(in, "name", client.name);
  NVJSON::read(in, "addedAt", client.addedAt);
  NVJSON::read(in, "expiresAt", client.expiresAt);
}

}  // namespace ombrel
