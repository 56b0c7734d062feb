#include "OmbrelKit/crypto/digest.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include "OmbrelKit/crypto/openssl_support.h"

namespace ombrel::crypto {

using detail::algorithms;
using detail::fail;

namespace {

struct MacCtxFree {
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};

// OpenSSL's parameter arrays take non-const pointers even for inputs it only reads.
void* mutableData(ByteView bytes) {
  static unsigned char empty = 0;
  return bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
}

}  // namespace

Bytes sha256(std::initializer_list<ByteView> parts) {
  detail::MDCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex2(ctx.get(), algorithms().sha256, nullptr) != 1) fail("SHA-256");
  for (ByteView part : parts) {
    if (EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) fail("SHA-256");
  }
  Bytes out(sha256Size);
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr) != 1) fail("SHA-256");
  return out;
}

Bytes hmacSHA256(ByteView key, std::initializer_list<ByteView> parts) {
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(algorithms().hmac));
  char digest[] = "SHA2-256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (!ctx || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1) fail("HMAC-SHA-256");
  for (ByteView part : parts) {
    if (EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1) fail("HMAC-SHA-256");
  }
  Bytes out(sha256Size);
  std::size_t written = 0;
  if (EVP_MAC_final(ctx.get(), out.data(), &written, out.size()) != 1 || written != sha256Size) {
    fail("HMAC-SHA-256");
  }
  return out;
}

Bytes hkdfSHA256(ByteView inputKey, ByteView salt, ByteView info, std::size_t outputLength) {
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(algorithms().hkdf));
  char digest[] = "SHA2-256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableData(inputKey), inputKey.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableData(info), info.size()),
      OSSL_PARAM_construct_end(),
  };
  Bytes out(outputLength);
  if (!ctx || EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    fail("HKDF-SHA-256");
  }
  return out;
}

}  // namespace ombrel::crypto
