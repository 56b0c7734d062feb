#pragma once

#include <memory>

#include "base/bytes.h"

struct evp_pkey_st;

namespace ombrel::crypto {

inline constexpr std::size_t ed25519KeySize = 32;
inline constexpr std::size_t ed25519SignatureSize = 64;

// An Ed25519 signing key (RFC 8032). Immutable once made; copies share the key, and `sign` may
// run on several threads at once.
class Ed25519PrivateKey {
 public:
  // From the 32-byte raw private key (the RFC's seed); other sizes throw NVError::crypto.
  explicit Ed25519PrivateKey(ByteView seed);
  static Ed25519PrivateKey generate();

  // The 32-byte raw public key.
  const Bytes& publicKey() const { return publicKey_; }
  // The 32-byte seed. It is the whole secret: wipe copies after use and never log them.
  Bytes rawRepresentation() const;
  // The 64-byte signature of `message` (deterministic for a key and message).
  Bytes sign(ByteView message) const;

 private:
  std::shared_ptr<evp_pkey_st> key_;
  Bytes publicKey_;
};

// True when `signature` is a valid Ed25519 signature of `message` by `publicKey`. A key or
// signature of the wrong size, or a key that is not a curve point, is simply not valid.
bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature);

}  // namespace ombrel::crypto
