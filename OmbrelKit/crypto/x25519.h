#pragma once

#include <memory>

#include "base/bytes.h"

struct evp_pkey_st;

namespace ombrel::crypto {

inline constexpr std::size_t x25519KeySize = 32;

// An X25519 key-agreement private key (RFC 7748). Immutable once made; copies share the key.
class X25519PrivateKey {
 public:
  // From 32 raw bytes (clamped by the algorithm); other sizes throw NVError::crypto.
  explicit X25519PrivateKey(ByteView raw);
  static X25519PrivateKey generate();

  // The 32-byte raw public key.
  const Bytes& publicKey() const { return publicKey_; }
  // The 32-byte shared secret with `peerPublicKey`. Throws NVError::crypto when the peer key is
  // not 32 bytes or is a low-order point (the result would be all zeros and carry no secret).
  Bytes sharedSecret(ByteView peerPublicKey) const;

 private:
  std::shared_ptr<evp_pkey_st> key_;
  Bytes publicKey_;
};

}  // namespace ombrel::crypto
