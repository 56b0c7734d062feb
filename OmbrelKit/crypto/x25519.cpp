#include "OmbrelKit/crypto/x25519.h"

#include "OmbrelKit/crypto/openssl_support.h"

namespace ombrel::crypto {

using detail::fail;

X25519PrivateKey::X25519PrivateKey(ByteView raw) {
  key_ = detail::privateKey("X25519", raw, publicKey_);
}

X25519PrivateKey X25519PrivateKey::generate() { return detail::generated<X25519PrivateKey>(); }

Bytes X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
  detail::PKeyPtr peer = detail::publicKey("X25519", peerPublicKey);
  if (!peer) fail("invalid X25519 public key");
  detail::PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
  Bytes secret(x25519KeySize);
  std::size_t length = secret.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != x25519KeySize) {
    fail("X25519 key agreement failed: invalid public key");
  }
  return secret;
}

}  // namespace ombrel::crypto
