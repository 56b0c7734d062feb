#include "OmbrelKit/crypto/aes_gcm.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>

#include "OmbrelKit/crypto/openssl_support.h"

namespace ombrel::crypto {

using detail::algorithms;
using detail::fail;

namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// EVP takes int lengths; frames fit, but a caller's buffer never has to.
template <typename Update>
bool inChunks(ByteView in, std::uint8_t* out, Update update) {
  std::size_t done = 0;
  while (done < in.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(in.size() - done, INT_MAX / 2));
    int written = 0;
    if (update(out + done, &written, in.data() + done, chunk) != 1 || written != chunk) {
      return false;
    }
    done += static_cast<std::size_t>(chunk);
  }
  return true;
}

}  // namespace

// Each direction has its own context with its own key schedule; the decrypting one is made on
// first use, so the key bytes stay (wiped on destruction) until then.
struct AESGCMKey::Contexts {
  std::uint8_t key[aesGCMKeySize];
  CipherCtxPtr encrypt;
  CipherCtxPtr decrypt;

  ~Contexts() { OPENSSL_cleanse(key, sizeof key); }

  EVP_CIPHER_CTX* context(bool encrypting) {
    CipherCtxPtr& slot = encrypting ? encrypt : decrypt;
    if (!slot) {
      CipherCtxPtr made(EVP_CIPHER_CTX_new());
      const int ok = made ? (encrypting ? EVP_EncryptInit_ex2(made.get(), algorithms().aes256gcm,
                                                              key, nullptr, nullptr)
                                        : EVP_DecryptInit_ex2(made.get(), algorithms().aes256gcm,
                                                              key, nullptr, nullptr))
                          : 0;
      if (ok != 1) fail("AES-256-GCM key setup");
      slot = std::move(made);
    }
    return slot.get();
  }
};

AESGCMKey::AESGCMKey(ByteView key) : contexts_(std::make_unique<Contexts>()) {
  if (key.size() != aesGCMKeySize) fail("AES-256-GCM key must be 32 bytes");
  std::copy(key.begin(), key.end(), contexts_->key);
}

AESGCMKey::~AESGCMKey() = default;
AESGCMKey::AESGCMKey(AESGCMKey&&) noexcept = default;
AESGCMKey& AESGCMKey::operator=(AESGCMKey&&) noexcept = default;

void AESGCMKey::seal(ByteView nonce, ByteView plaintext, std::uint8_t* out) {
  seal(nonce, {}, plaintext, out);
}

void AESGCMKey::seal(ByteView nonce, ByteView head, ByteView body, std::uint8_t* out) {
  if (nonce.size() != aesGCMNonceSize) fail("AES-256-GCM nonce must be 12 bytes");
  EVP_CIPHER_CTX* ctx = contexts_->context(true);
  const auto update = [ctx](std::uint8_t* o, int* n, const std::uint8_t* i, int len) {
    return EVP_EncryptUpdate(ctx, o, n, i, len);
  };
  std::uint8_t* const tag = out + head.size() + body.size();
  int finalLength = 0;
  // Only the nonce changes per message; the key schedule stays in the context.
  if (EVP_EncryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
      !inChunks(head, out, update) || !inChunks(body, out + head.size(), update) ||
      EVP_EncryptFinal_ex(ctx, tag, &finalLength) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, aesGCMTagSize, tag) != 1) {
    fail("AES-256-GCM seal");
  }
}

Bytes AESGCMKey::seal(ByteView nonce, ByteView plaintext) {
  Bytes out(plaintext.size() + aesGCMTagSize);
  seal(nonce, plaintext, out.data());
  return out;
}

bool AESGCMKey::open(ByteView nonce, ByteView sealed, std::uint8_t* out) {
  if (nonce.size() != aesGCMNonceSize) fail("AES-256-GCM nonce must be 12 bytes");
  if (sealed.size() < aesGCMTagSize) return false;
  EVP_CIPHER_CTX* ctx = contexts_->context(false);
  const ByteView ciphertext = sealed.first(sealed.size() - aesGCMTagSize);
  // The tag is set from a copy: OpenSSL's control call takes a non-const pointer.
  std::uint8_t tag[aesGCMTagSize];
  std::copy(sealed.end() - aesGCMTagSize, sealed.end(), tag);
  int finalLength = 0;
  if (EVP_DecryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
      !inChunks(ciphertext, out,
                [ctx](std::uint8_t* o, int* n, const std::uint8_t* i, int len) {
                  return EVP_DecryptUpdate(ctx, o, n, i, len);
                }) ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, aesGCMTagSize, tag) != 1) {
    fail("AES-256-GCM open");
  }
  if (EVP_DecryptFinal_ex(ctx, out + ciphertext.size(), &finalLength) != 1) {
    ERR_clear_error();
    return false;
  }
  return true;
}

Bytes AESGCMKey::open(ByteView nonce, ByteView sealed) {
  Bytes out(sealed.size() < aesGCMTagSize ? 0 : sealed.size() - aesGCMTagSize);
  if (!open(nonce, sealed, out.data())) fail("AES-GCM authentication failure");
  return out;
}

}  // namespace ombrel::crypto
