#pragma once

#include <memory>

#include "base/bytes.h"

namespace ombrel::crypto {

inline constexpr std::size_t aesGCMKeySize = 32;
inline constexpr std::size_t aesGCMNonceSize = 12;
inline constexpr std::size_t aesGCMTagSize = 16;

// AES-256-GCM under one key, with no associated data. Sealed output is ciphertext ‖ 16-byte tag.
// The key schedule is computed once and the cipher contexts are kept, so each message costs only
// its nonce setup and the bulk work.
//
// Threading: not thread-safe (the contexts are reused); one owner at a time. Move-only.
class AESGCMKey {
 public:
  // Throws NVError::crypto unless `key` is 32 bytes.
  explicit AESGCMKey(ByteView key);
  ~AESGCMKey();
  AESGCMKey(AESGCMKey&&) noexcept;
  AESGCMKey& operator=(AESGCMKey&&) noexcept;

  // Writes plaintext.size() + 16 bytes to `out` (which must not overlap `plaintext` partially;
  // exact overlap is fine). `nonce` must be 12 bytes.
  void seal(ByteView nonce, ByteView plaintext, std::uint8_t* out);
  Bytes seal(ByteView nonce, ByteView plaintext);
  // Seals the plaintext head ‖ body, read from two places, so a caller never has to join them
  // first. Writes head.size() + body.size() + 16 bytes to `out` (no overlap with either part).
  void seal(ByteView nonce, ByteView head, ByteView body, std::uint8_t* out);

  // Decrypts ciphertext ‖ tag into `out` (sealed.size() - 16 bytes; `out` may be sealed.data()
  // itself, but no other overlap). Returns false when `sealed` is shorter than a tag or fails
  // authentication; `out` then holds garbage to be discarded.
  [[nodiscard]] bool open(ByteView nonce, ByteView sealed, std::uint8_t* out);
  // Throws NVError::crypto on an authentication failure (or input shorter than a tag).
  Bytes open(ByteView nonce, ByteView sealed);

 private:
  struct Contexts;
  std::unique_ptr<Contexts> contexts_;
};

}  // namespace ombrel::crypto
