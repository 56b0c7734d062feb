#pragma once

// Private to the crypto wrapper: the only header besides the wrapper's own sources that sees
// OpenSSL. Everything else in the code base goes through the wrapper's public headers.

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <string_view>

#include "base/bytes.h"

namespace ombrel::crypto::detail {

// Algorithms fetched once per process. Fetched objects are immutable and safe to share between
// threads; fetching on every call would cost a method-store lookup (and a lock) each time.
struct Algorithms {
  EVP_MD* sha256;
  EVP_CIPHER* aes256gcm;
  EVP_MAC* hmac;
  EVP_KDF* hkdf;
};
const Algorithms& algorithms();

// Throws NVError::crypto with `what` and the newest OpenSSL reason, and clears the thread's
// OpenSSL error queue so that a later failure never reports a stale reason.
[[noreturn]] void fail(std::string_view what);

struct PKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct MDCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;
using MDCtxPtr = std::unique_ptr<EVP_MD_CTX, MDCtxFree>;

// OpenSSL wants a non-null pointer even for an empty input.
const unsigned char* dataOf(ByteView bytes);

// A curve private key ("ED25519" or "X25519") from its 32 raw bytes; stores its raw public key
// in `publicKey`. Throws NVError::crypto for another size.
std::shared_ptr<EVP_PKEY> privateKey(const char* algorithm, ByteView raw, Bytes& publicKey);

// A curve public key from its 32 raw bytes; null for another size.
PKeyPtr publicKey(const char* algorithm, ByteView raw);

// A fresh random private key of type Key (constructible from 32 raw bytes).
template <typename Key>
Key generated();

}  // namespace ombrel::crypto::detail
