#include "OmbrelKit/crypto/openssl_support.h"

#include <openssl/err.h>

#include <string>

#include "OmbrelKit/crypto/ed25519.h"
#include "OmbrelKit/crypto/random.h"
#include "OmbrelKit/crypto/secure_memory.h"
#include "OmbrelKit/crypto/x25519.h"
#include "OmbrelKit/nv_error.h"

namespace ombrel::crypto::detail {

const Algorithms& algorithms() {
  static const Algorithms fetched = [] {
    Algorithms a{
        .sha256 = EVP_MD_fetch(nullptr, "SHA2-256", nullptr),
        .aes256gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr),
        .hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr),
        .hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr),
    };
    if (!a.sha256 || !a.aes256gcm || !a.hmac || !a.hkdf) {
      fail("the OpenSSL default provider lacks SHA-256, AES-256-GCM, HMAC or HKDF");
    }
    return a;
  }();
  return fetched;
}

void fail(std::string_view what) {
  std::string text(what);
  unsigned long code = ERR_peek_last_error();
  if (code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    text += " (";
    text += reason;
    text += ")";
  }
  ERR_clear_error();
  throw NVError::crypto(std::move(text));
}

const unsigned char* dataOf(ByteView bytes) {
  static const unsigned char empty = 0;
  return bytes.empty() ? &empty : bytes.data();
}

std::shared_ptr<EVP_PKEY> privateKey(const char* algorithm, ByteView raw, Bytes& publicKey) {
  if (raw.size() != 32) fail(std::string(algorithm) + " private key must be 32 bytes");
  std::shared_ptr<EVP_PKEY> key(
      EVP_PKEY_new_raw_private_key_ex(nullptr, algorithm, nullptr, raw.data(), raw.size()),
      PKeyFree{});
  if (!key) fail(std::string(algorithm) + " private key");
  publicKey.resize(32);
  std::size_t length = publicKey.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length) != 1 || length != 32) {
    fail(std::string(algorithm) + " public key");
  }
  return key;
}

PKeyPtr publicKey(const char* algorithm, ByteView raw) {
  if (raw.size() != 32) return nullptr;
  return PKeyPtr(
      EVP_PKEY_new_raw_public_key_ex(nullptr, algorithm, nullptr, raw.data(), raw.size()));
}

template <typename Key>
Key generated() {
  Bytes seed = randomBytes(32);
  Key key(seed);
  wipe(seed);
  return key;
}
template Ed25519PrivateKey generated<Ed25519PrivateKey>();
template X25519PrivateKey generated<X25519PrivateKey>();

}  // namespace ombrel::crypto::detail
