#include "OmbrelKit/crypto/ed25519.h"

#include <openssl/err.h>

#include "OmbrelKit/crypto/openssl_support.h"

namespace ombrel::crypto {

using detail::dataOf;
using detail::fail;

Ed25519PrivateKey::Ed25519PrivateKey(ByteView seed) {
  key_ = detail::privateKey("ED25519", seed, publicKey_);
}

Ed25519PrivateKey Ed25519PrivateKey::generate() { return detail::generated<Ed25519PrivateKey>(); }

Bytes Ed25519PrivateKey::rawRepresentation() const {
  Bytes seed(ed25519KeySize);
  std::size_t length = seed.size();
  if (EVP_PKEY_get_raw_private_key(key_.get(), seed.data(), &length) != 1 ||
      length != ed25519KeySize) {
    fail("Ed25519 private key");
  }
  return seed;
}

Bytes Ed25519PrivateKey::sign(ByteView message) const {
  detail::MDCtxPtr ctx(EVP_MD_CTX_new());
  Bytes signature(ed25519SignatureSize);
  std::size_t length = signature.size();
  if (!ctx ||
      EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key_.get(), nullptr) !=
          1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &length, dataOf(message), message.size()) != 1 ||
      length != ed25519SignatureSize) {
    fail("Ed25519 signing");
  }
  return signature;
}

bool ed25519Verify(ByteView publicKeyBytes, ByteView message, ByteView signature) {
  if (signature.size() != ed25519SignatureSize) return false;
  detail::PKeyPtr key = detail::publicKey("ED25519", publicKeyBytes);
  detail::MDCtxPtr ctx(EVP_MD_CTX_new());
  const bool valid = key && ctx &&
                     EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr,
                                             key.get(), nullptr) == 1 &&
                     EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                      dataOf(message), message.size()) == 1;
  // A rejected signature leaves reasons on the thread's error queue; they are not errors here.
  if (!valid) ERR_clear_error();
  return valid;
}

}  // namespace ombrel::crypto
