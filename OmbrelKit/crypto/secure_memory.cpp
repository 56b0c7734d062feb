#include "OmbrelKit/crypto/secure_memory.h"

#include <openssl/crypto.h>

namespace ombrel::crypto {

void wipe(Bytes& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace ombrel::crypto
